// Content types by file extension, read from the system's table (/etc/mime.types on
// Debian), which plays the part of the platform's content-type registry.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kestrune {

class MimeTypes {
 public:
  // Reads the table once; a missing or unreadable file gives an empty table.
  explicit MimeTypes(const std::filesystem::path& table_file = "/etc/mime.types");

  // Content type for an extension given with or without its dot, in any letter case;
  // empty when the table knows none.
  std::string Lookup(std::string_view extension) const;

  // The process-wide table read from /etc/mime.types on first use.
  static const MimeTypes& System();

 private:
  std::unordered_map<std::string, std::string> by_extension_;
};

}  // namespace kestrune
