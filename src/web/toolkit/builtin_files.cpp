// Loading of the built-in images and scripts, keyed by upper-cased base name.
#include "web/toolkit/builtin_files.h"

#include "platform/read_file.h"
#include "web/toolkit/http_message.h"
#include "web/toolkit/static_files.h"

namespace kestrune {
namespace fs = std::filesystem;

namespace {

std::string BaseName(std::string_view file_name) {
  return AsciiUpper(file_name.substr(0, file_name.find('.')));
}

}  // namespace

BuiltinFiles::BuiltinFiles(const fs::path& resource_dir)
    : images_(Load(resource_dir / "gfx")), scripts_(Load(resource_dir / "js")) {}

std::map<std::string, BuiltinFiles::File> BuiltinFiles::Load(const fs::path& dir) {
  std::map<std::string, File> files;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    files.emplace(BaseName(name), File{name, ReadWholeFile(entry.path())});
  }
  return files;
}

const BuiltinFiles::File* BuiltinFiles::Image(std::string_view name) const {
  const auto found = images_.find(BaseName(name));
  return found == images_.end() ? nullptr : &found->second;
}

const BuiltinFiles::File* BuiltinFiles::Script(std::string_view name) const {
  const auto found = scripts_.find(BaseName(name));
  return found == scripts_.end() ? nullptr : &found->second;
}

const BuiltinFiles::File* BuiltinFiles::Icon() const { return Image("favicon"); }

}  // namespace kestrune
