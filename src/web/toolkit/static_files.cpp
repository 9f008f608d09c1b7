// File lookup and HTTP date helpers for the file commands of the listener.
#include "web/toolkit/static_files.h"

#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "platform/internet_date.h"
#include "platform/mime_types.h"
#include "web/toolkit/multipart.h"

namespace kestrune {
namespace fs = std::filesystem;

namespace {

bool IsInside(const fs::path& file, const fs::path& dir) {
  auto d = dir.begin();
  auto f = file.begin();
  for (; d != dir.end(); ++d, ++f) {
    if (d->empty()) continue;  // trailing separator
    if (f == file.end() || *f != *d) return false;
  }
  return f != file.end();
}

long long HundredThousandthsOfDay(SystemTime when) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
  // 1/100000 day = 864 ms.
  return ms >= 0 ? ms / 864 : -((-ms + 863) / 864);
}

}  // namespace

std::optional<fs::path> ResolveServedFile(const fs::path& dir, std::string_view argument,
                                          bool allow_sub_folders) {
  const std::string decoded = DecodePercentEscapes(argument, false);
  fs::path relative;
  int segments = 0;
  std::string_view rest = decoded;
  for (;;) {
    const auto slash = rest.find('/');
    const std::string_view segment = rest.substr(0, slash);
    if (segment.empty() || segment == "." || segment == ".." ||
        segment.find('\\') != std::string_view::npos ||
        segment.find('\0') != std::string_view::npos) {
      return std::nullopt;
    }
    relative /= std::string(segment);
    ++segments;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  if (segments > 1 && !allow_sub_folders) return std::nullopt;

  std::error_code error;
  const fs::path root = fs::canonical(dir, error);
  if (error) return std::nullopt;
  const fs::path file = fs::canonical(root / relative, error);
  if (error || !IsInside(file, root) || !fs::is_regular_file(file, error)) return std::nullopt;
  return file;
}

std::string ContentTypeForFile(std::string_view file_name) {
  const fs::path path{std::string(file_name)};
  std::string extension = AsciiUpper(path.extension().string());
  if (extension == ".TMP") {
    const std::string stem = path.filename().string();
    extension = "." + AsciiUpper(stem.substr(0, 3));
  }
  if (extension == ".JPG" || extension == ".JPEG") return "image/jpeg";
  if (extension == ".GIF") return "image/gif";
  if (extension == ".ICO") return "image/x-ico";
  if (extension == ".HTML" || extension == ".HTM") return "text/html";
  if (extension == ".JS") return "application/x-javascript";
  if (extension == ".PDF") return "application/pdf";
  if (extension == ".ZIP") return "application/zip";
  if (extension == ".EXE") return "application/octet-stream";
  if (extension.size() < 2) return {};
  return MimeTypes::System().Lookup(extension);
}

std::string FormatHttpDate(SystemTime when) {
  return FormatRfc1123Date(std::chrono::floor<std::chrono::seconds>(when));
}

bool NotModifiedSince(SystemTime modified, std::string_view if_modified_since) {
  if (TrimBlanks(if_modified_since).empty()) return false;
  const auto since = ParseInternetDate(if_modified_since);
  if (!since) return false;
  // Last-Modified goes out in whole seconds; compare the file's time at that precision
  // so that a browser echoing it back gets its 304.
  const auto whole_seconds = std::chrono::floor<std::chrono::seconds>(modified);
  return HundredThousandthsOfDay(whole_seconds) <= HundredThousandthsOfDay(*since);
}

SystemTime FileModificationTime(const fs::path& file) {
  return std::chrono::time_point_cast<std::chrono::system_clock::duration>(
      std::chrono::file_clock::to_sys(fs::last_write_time(file)));
}

}  // namespace kestrune
