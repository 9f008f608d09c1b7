#include "web/toolkit/file_answers.h"

#include <ctime>

#include "platform/read_file.h"
#include "web/toolkit/download_answer.h"
#include "web/toolkit/static_files.h"

namespace kestrune {
namespace fs = std::filesystem;
using std::chrono::system_clock;

namespace {

// True when a validator the browser sent names the current copy: If-None-Match wins over
// If-Modified-Since when both are present.
bool StillFresh(const HttpRequest& request, std::string_view etag, SystemTime modified) {
  const std::string tags = request.Header("If-None-Match");
  if (!TrimBlanks(tags).empty()) {
    std::string_view rest = tags;
    while (!rest.empty()) {
      const auto comma = rest.find(',');
      std::string_view tag = TrimBlanks(rest.substr(0, comma));
      if (tag == "*") return true;
      if (tag.starts_with("W/")) tag.remove_prefix(2);
      std::string_view mine = etag;
      if (mine.starts_with("W/")) mine.remove_prefix(2);
      if (tag == mine) return true;
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
    return false;
  }
  return NotModifiedSince(modified, request.Header("If-Modified-Since"));
}

std::string Hex(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return out;
}

// The Expires text for answers made now: formatted once a second per thread, which
// costs less than a small file's whole answer otherwise.
const std::string& ExpiresIn(int hours) {
  thread_local std::time_t made_at = 0;
  thread_local int made_for = -1;
  thread_local std::string text;
  const auto now = system_clock::now();
  const std::time_t second = system_clock::to_time_t(now);
  if (second != made_at || hours != made_for) {
    text = FormatHttpDate(now + std::chrono::hours(hours));
    made_at = second;
    made_for = hours;
  }
  return text;
}

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
  builtin_etag_ =
      "W/\"b" + Hex(static_cast<std::uint64_t>(system_clock::to_time_t(builtin_reference_))) + "\"";
}

std::optional<fs::path> FileAnswers::ResolveStatic(std::string_view argument) const {
  const bool sub_folders = controller_.AllowSubFolders;
  std::optional<fs::path> file = ResolveServedFile(controller_.FilesDir, argument, sub_folders);
  if (!file && !controller_.InstalledFilesDir.empty()) {
    file = ResolveServedFile(controller_.InstalledFilesDir, argument, sub_folders);
  }
  return file;
}

std::shared_ptr<const FileAnswers::CachedFile> FileAnswers::Cached(
    const std::string& key, const std::optional<fs::path>& file) const {
  std::error_code error;
  if (!file) return nullptr;
  const auto size = fs::file_size(*file, error);
  if (error || size > kMaxCachedFileBytes) return nullptr;
  const auto modified = fs::last_write_time(*file, error);
  if (error) return nullptr;
  {
    std::lock_guard guard(cache_lock_);
    const auto found = cache_.find(key);
    if (found != cache_.end() && found->second.file->path == *file &&
        found->second.file->modified == modified && found->second.file->size == size) {
      found->second.checked = std::chrono::steady_clock::now();
      return found->second.file;
    }
  }
  auto loaded = std::make_shared<CachedFile>();
  loaded->path = *file;
  loaded->modified = modified;
  loaded->body = ReadWholeFile(*file);
  // Changed between the look and the read: serve what was read, keep nothing.
  const bool steady = loaded->body.size() == size;
  loaded->size = loaded->body.size();
  loaded->type = ContentTypeForFile(file->filename().string());
  if (loaded->type.empty()) loaded->type = "application/octet-stream";
  const SystemTime when = std::chrono::time_point_cast<system_clock::duration>(
      std::chrono::file_clock::to_sys(modified));
  loaded->last_modified = FormatHttpDate(when);
  loaded->etag = "W/\"" + Hex(loaded->size) + "-" +
                 Hex(static_cast<std::uint64_t>(modified.time_since_epoch().count())) + "\"";
  std::lock_guard guard(cache_lock_);
  auto& slot = cache_[key];
  if (slot.file) cached_bytes_ -= slot.file->body.size();
  if (!steady || cached_bytes_ + loaded->body.size() > kMaxCachedBytes) {
    cache_.erase(key);
    return loaded;
  }
  slot.file = loaded;
  slot.checked = std::chrono::steady_clock::now();
  cached_bytes_ += loaded->body.size();
  return loaded;
}

HttpResponse FileAnswers::Static(const HttpRequest& request, std::string_view argument,
                                 bool cacheable) const {
  const std::string key(argument);
  std::shared_ptr<const CachedFile> cached;
  {
    std::lock_guard guard(cache_lock_);
    const auto found = cache_.find(key);
    if (found != cache_.end() &&
        std::chrono::steady_clock::now() - found->second.checked < kRecheckInterval) {
      cached = found->second.file;
    }
  }
  if (!cached) {
    const std::optional<fs::path> file = ResolveStatic(argument);
    cached = Cached(key, file);
    if (!cached) return FileAnswer(request, file, cacheable);
  }
  HttpResponse response;
  response.SetHeader("X-Content-Type-Options", "nosniff");
  const SystemTime modified = std::chrono::time_point_cast<system_clock::duration>(
      std::chrono::file_clock::to_sys(cached->modified));
  if (StillFresh(request, cached->etag, modified)) {
    response.status = 304;
    response.reason = "Not modified";
  } else {
    response.body = cached->body;
    response.SetHeader("Content-Type", cached->type);
  }
  response.SetHeader("Last-Modified", cached->last_modified);
  response.SetHeader("ETag", cached->etag);
  // Not to be kept: the browser asks again each time and gets a 304 while it is current.
  if (!cacheable) response.SetHeader("Cache-Control", "no-cache");
  AddCacheHeaders(request, cacheable, response);
  return response;
}

HttpResponse FileAnswers::CacheFile(const HttpRequest& request,
                                    const std::optional<fs::path>& file) const {
  HttpResponse response = FileAnswer(request, file, false);
  response.SetHeader("Cache-Control", "private, no-store");
  // A cache file (a print copy, an upload) is shown as a document of its own: it may
  // style itself and show inline images, but never run script or load anything else.
  response.SetHeader("Content-Security-Policy", std::string(kCacheFilePolicy));
  // Shown in the browser under its own (random) name, never offered as another file.
  if (file && response.status == 200) {
    response.SetHeader("Content-Disposition",
                       ContentDispositionFor(false, file->filename().string()));
  }
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
    std::error_code error;
    if (fs::file_size(*file, error) > kMaxCachedFileBytes && !error) {
      response.body_file = FileBody::Open(*file);
    } else {
      response.body = ReadWholeFile(*file);
    }
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
  if (StillFresh(request, builtin_etag_, builtin_reference_)) {
    response.status = 304;
    response.reason = "Not modified";
  } else {
    response.body = file->content;
    response.SetHeader("Content-Type",
                       content_type.empty() ? "application/octet-stream" : content_type);
  }
  response.SetHeader("Last-Modified", FormatHttpDate(builtin_reference_));
  response.SetHeader("ETag", builtin_etag_);
  AddCacheHeaders(request, true, response);
  return response;
}

void FileAnswers::AddCacheHeaders(const HttpRequest& request, bool cacheable,
                                  HttpResponse& response) const {
  if (cacheable) {
    response.SetHeader("Expires", ExpiresIn(controller_.CacheExpiry));
    response.SetHeader(
        "Cache-Control",
        "public, max-age=" + std::to_string(std::max(0, controller_.CacheExpiry) * 3600));
  } else if (!request.secure) {
    response.SetHeader("Pragma", "no-cache");
  }
}

}  // namespace kestrune
