// One form post as the listener decoded it: the fields in the order the browser sent
// them and the uploaded files. The listener deletes the files' temporary copies when
// the request ends, so nothing of an upload outlives the request unless it was saved.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune {

struct UploadedFile {
  std::string field_name;        // the file input's NAME
  std::string client_file_name;  // the file name the browser sent
  std::string content_type;
  std::filesystem::path temp_path;  // the uploaded bytes, valid during the request
  std::uintmax_t size = 0;
};

struct PostedForm {
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<UploadedFile> files;

  // The first upload posted under that field name (case-insensitive), or nullptr.
  const UploadedFile* FindFile(std::string_view field_name) const;
  // True when the post carries at least one field of that name (exact match).
  bool HasField(std::string_view name) const;
};

}  // namespace kestrune
