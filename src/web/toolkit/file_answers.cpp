#include "web/toolkit/file_answers.h"

#include <ctime>

#include "platform/read_file.h"
#include "web/toolkit/static_files.h"

namespace kestrune {
namespace fs = std::filesystem;
using std::chrono::system_clock;

namespace {

constexpr std::string_view kCacheFilePolicy =
    "default-src 'none'; style-src 'unsafe-inline'; img-src data:; "
    "sandbox allow-modals allow-popups allow-popups-to-escape-sandbox";

}  // namespace

FileAnswers::FileAnswers(const TIWServerController& controller)
    : controller_(controller), builtins_(controller.ResourceDir) {
  // Built-ins count as changed at midnight of the day the server started.
  const std::time_t now = system_clock::to_time_t(system_clock::now());
  std::tm local{};
  localtime_r(&now, &local);
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_isdst = -1;  // midnight may lie on the other side of a daylight-saving change
  builtin_reference_ = system_clock::from_time_t(std::mktime(&local));
}

HttpResponse FileAnswers::Static(const HttpRequest& request, std::string_view argument,
                                 bool cacheable) const {
  const bool sub_folders = controller_.AllowSubFolders;
  std::optional<fs::path> file = ResolveServedFile(controller_.FilesDir, argument, sub_folders);
  if (!file && !controller_.InstalledFilesDir.empty()) {
    file = ResolveServedFile(controller_.InstalledFilesDir, argument, sub_folders);
  }
  return FileAnswer(request, file, cacheable);
}

HttpResponse FileAnswers::CacheFile(const HttpRequest& request,
                                    const std::optional<fs::path>& file) const {
  HttpResponse response = FileAnswer(request, file, false);
  response.SetHeader("Cache-Control", "private, no-store");
  // A cache file (a print copy, an upload) is shown as a document of its own: it may
  // style itself and show inline images, but never run script or load anything else.
  response.SetHeader("Content-Security-Policy", std::string(kCacheFilePolicy));
  return response;
}

HttpResponse FileAnswers::Image(const HttpRequest& request, std::string_view name) const {
  const BuiltinFiles::File* file = builtins_.Image(name);
  std::string type = ContentTypeForFile(name);
  if (type.empty() && file != nullptr) type = ContentTypeForFile(file->file_name);
  return Builtin(request, file, type);
}

HttpResponse FileAnswers::Script(const HttpRequest& request, std::string_view name) const {
  if (const auto version = name.find(controller_.Version);
      !controller_.Version.empty() && version != std::string_view::npos) {
    name = name.substr(0, version);
  }
  return Builtin(request, builtins_.Script(name), "application/x-javascript");
}

HttpResponse FileAnswers::Icon(const HttpRequest& request) const {
  return Builtin(request, builtins_.Icon(), "image/x-ico");
}

HttpResponse FileAnswers::NotFound(const HttpRequest& request) const {
  HttpResponse response;
  response.SetHeader("X-Content-Type-Options", "nosniff");
  response.status = 404;
  response.reason = "File not found";
  response.SetHeader("Content-Type", "text/html");
  response.body = "File not found";
  AddCacheHeaders(request, false, response);
  return response;
}

// A file's answer: 404, 304 or the bytes. A type the extension does not tell is sent as
// plain bytes, and no file answer may be sniffed into something the browser would run.
HttpResponse FileAnswers::FileAnswer(const HttpRequest& request,
                                     const std::optional<fs::path>& file, bool cacheable) const {
  if (!file) return NotFound(request);
  HttpResponse response;
  response.SetHeader("X-Content-Type-Options", "nosniff");
  const SystemTime modified = FileModificationTime(*file);
  if (NotModifiedSince(modified, request.Header("If-Modified-Since"))) {
    response.status = 304;
    response.reason = "Not modified";
  } else {
    response.body = ReadWholeFile(*file);
    std::string type = ContentTypeForFile(file->filename().string());
    if (type.empty()) type = "application/octet-stream";
    response.SetHeader("Content-Type", type);
  }
  response.SetHeader("Last-Modified", FormatHttpDate(modified));
  AddCacheHeaders(request, cacheable, response);
  return response;
}

HttpResponse FileAnswers::Builtin(const HttpRequest& request, const BuiltinFiles::File* file,
                                  std::string content_type) const {
  if (file == nullptr) return NotFound(request);
  HttpResponse response;
  response.SetHeader("X-Content-Type-Options", "nosniff");
  if (NotModifiedSince(builtin_reference_, request.Header("If-Modified-Since"))) {
    response.status = 304;
    response.reason = "Not modified";
  } else {
    response.body = file->content;
    response.SetHeader("Content-Type",
                       content_type.empty() ? "application/octet-stream" : content_type);
  }
  response.SetHeader("Last-Modified", FormatHttpDate(builtin_reference_));
  AddCacheHeaders(request, true, response);
  return response;
}

void FileAnswers::AddCacheHeaders(const HttpRequest& request, bool cacheable,
                                  HttpResponse& response) const {
  if (cacheable) {
    response.SetHeader("Expires", FormatHttpDate(system_clock::now() +
                                                 std::chrono::hours(controller_.CacheExpiry)));
  } else if (!request.secure) {
    response.SetHeader("Pragma", "no-cache");
  }
}

}  // namespace kestrune
