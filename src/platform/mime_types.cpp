// Parser of the mime.types format: "type ext1 ext2 ..." per line, "#" comments.
#include "platform/mime_types.h"

#include <fstream>
#include <sstream>

namespace kestrune {
namespace {

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

MimeTypes::MimeTypes(const std::filesystem::path& table_file) {
  std::ifstream in(table_file);
  std::string line;
  while (std::getline(in, line)) {
    const auto hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string type;
    if (!(words >> type)) continue;
    std::string extension;
    while (words >> extension) {
      // The first mention of an extension wins, as in the file's own convention.
      by_extension_.emplace(LowerAscii(extension), type);
    }
  }
}

std::string MimeTypes::Lookup(std::string_view extension) const {
  if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
  const auto found = by_extension_.find(LowerAscii(extension));
  return found == by_extension_.end() ? std::string() : found->second;
}

const MimeTypes& MimeTypes::System() {
  static const MimeTypes table;
  return table;
}

}  // namespace kestrune
