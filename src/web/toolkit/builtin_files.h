// The toolkit's built-in files served under "/gfx/", "/js/" and "/favicon.ico": its
// images, client scripts and icon, read once from the installation's resource
// directory (gfx/ and js/) when the server starts.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

namespace kestrune {

class BuiltinFiles {
 public:
  struct File {
    std::string file_name;  // as stored, e.g. "IWCommon.js"
    std::string content;
  };

  explicit BuiltinFiles(const std::filesystem::path& resource_dir);

  // An image by its name before the first "." (case-insensitive), or nullptr.
  const File* Image(std::string_view name) const;
  // A script by its name before the first "." (case-insensitive), or nullptr.
  const File* Script(std::string_view name) const;
  const File* Icon() const;

 private:
  static std::map<std::string, File> Load(const std::filesystem::path& dir);

  std::map<std::string, File> images_;
  std::map<std::string, File> scripts_;
};

}  // namespace kestrune
