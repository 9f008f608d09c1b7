// Text and path routines.
#include "store/text_utils.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <vector>

#include "platform/ascii.h"
#include "platform/escape.h"
#include "platform/random.h"

namespace kestrune {
namespace {

constexpr std::string_view kNameCharacters = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr int kMaxCreateAttempts = 100;

// One character, uniform over the 36: bytes of 252 and above are drawn again so that
// every character has exactly 7 of the accepted byte values.
char RandomNameCharacter() {
  constexpr unsigned kAccepted = 252;
  static_assert(kAccepted % kNameCharacters.size() == 0);
  while (true) {
    std::array<std::uint8_t, 1> byte{};
    FillRandom(byte);
    if (byte[0] < kAccepted) return kNameCharacters[byte[0] % kNameCharacters.size()];
  }
}

bool HasPattern(const std::filesystem::path& path) {
  return path.filename().string().find_first_of("*?") != std::string::npos;
}

std::filesystem::path Absolute(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute;
}

// The entries of the pattern's directory whose names match its last component.
std::vector<std::filesystem::directory_entry> MatchingEntries(
    const std::filesystem::path& pattern) {
  std::vector<std::filesystem::directory_entry> entries;
  const std::string name_pattern = pattern.filename().string();
  std::error_code error;
  std::filesystem::directory_iterator it(pattern.parent_path(), error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (MatchesFilePattern(it->path().filename().string(), name_pattern)) entries.push_back(*it);
  }
  return entries;
}

bool AnyFileWithBase(const std::filesystem::path& directory, std::string_view base) {
  std::error_code error;
  std::filesystem::directory_iterator it(directory, error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name.size() > base.size() && name.compare(0, base.size(), base) == 0 &&
        name[base.size()] == '.') {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string UniqueBaseName(const std::filesystem::path& directory) {
  while (true) {
    std::string name;
    for (std::size_t i = 0; i < kUniqueBaseNameLength; ++i) name += RandomNameCharacter();
    if (!AnyFileWithBase(directory, name)) return name;
  }
}

UniqueFile CreateUniqueFile(const std::filesystem::path& directory, std::string_view extension) {
  for (int attempt = 0; attempt < kMaxCreateAttempts; ++attempt) {
    UniqueFile file;
    file.base_name = UniqueBaseName(directory);
    file.path = directory / (file.base_name + std::string(extension));
    int fd = ::open(file.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      return file;
    }
    if (errno != EEXIST) {
      throw std::system_error(errno, std::generic_category(),
                              "cannot create " + file.path.string());
    }
  }
  throw std::system_error(EEXIST, std::generic_category(),
                          "no free file name in " + directory.string());
}

std::string ProperCase(std::string_view text) {
  std::string result = AsciiLower(text);
  for (std::size_t i = 0; i < result.size(); ++i) {
    bool starts_word =
        i == 0 || std::string_view(" \\\"=_.").find(result[i - 1]) != std::string_view::npos;
    if (starts_word) result[i] = AsciiUpperChar(result[i]);
  }
  return result;
}

std::string TextToHtml(std::string_view text) {
  std::string escaped = HtmlEscape(text);
  std::string html;
  html.reserve(escaped.size());
  for (char c : escaped) {
    if (c == '\r') {
      html += "<br>";
    } else {
      html += c;
    }
  }
  return html;
}

bool FindText(std::string_view needle, std::string_view text, int& position) {
  position = 0;
  if (needle.empty()) return false;
  std::size_t found = text.find(needle);
  if (found == std::string_view::npos) return false;
  position = static_cast<int>(found) + 1;
  return true;
}

std::string AddTrailingBackslash(std::string_view path) {
  std::string result(path);
  if (result.empty() || result.back() != '/') result += '/';
  return result;
}

std::string RemoveTrailingBackslash(std::string_view path) {
  if (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return std::string(path);
}

std::int64_t FileSizeOf(const std::filesystem::path& path) {
  const std::filesystem::path absolute = Absolute(path);
  std::error_code error;
  if (HasPattern(absolute)) {
    std::int64_t total = 0;
    for (const auto& entry : MatchingEntries(absolute)) {
      if (entry.is_regular_file(error)) {
        std::uintmax_t size = entry.file_size(error);
        if (!error) total += static_cast<std::int64_t>(size);
      }
    }
    return total;
  }
  std::filesystem::file_status status = std::filesystem::status(absolute, error);
  if (error || !std::filesystem::exists(status)) return -1;
  if (!std::filesystem::is_regular_file(status)) return 0;
  std::uintmax_t size = std::filesystem::file_size(absolute, error);
  return error ? -1 : static_cast<std::int64_t>(size);
}

bool FileExists(const std::filesystem::path& path) {
  if (HasPattern(path)) return !MatchingEntries(Absolute(path)).empty();
  std::error_code error;
  return std::filesystem::exists(path, error) && !std::filesystem::is_directory(path, error);
}

bool DirectoryExists(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

bool CopyMatchingFiles(const std::filesystem::path& source_pattern,
                       const std::filesystem::path& destination) {
  std::error_code error;
  std::filesystem::create_directories(destination, error);
  if (!DirectoryExists(destination)) return false;
  bool all_copied = true;
  for (const auto& entry : MatchingEntries(Absolute(source_pattern))) {
    if (!entry.is_regular_file(error)) continue;
    std::filesystem::copy_file(entry.path(), destination / entry.path().filename(),
                               std::filesystem::copy_options::overwrite_existing, error);
    if (error) all_copied = false;
  }
  return all_copied;
}

bool MatchesFilePattern(std::string_view name, std::string_view pattern) {
  if (pattern == "*.*" || pattern == "*") return true;
  // Iterative glob with backtracking to the last "*".
  std::size_t n = 0, p = 0, star = std::string_view::npos, star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++n;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_n = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace kestrune
