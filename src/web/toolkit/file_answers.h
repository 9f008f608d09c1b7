// The answers that carry files: installed static files ("/files/", "/filesnc/"), a
// session's cache files ("/cache/user/...", once the dispatcher has checked the owner)
// and the built-in images, scripts and icon; with their 404, 304 and cache headers.
// Installed files are answered from memory: a small file is read once and kept with
// its headers; its path and modification time are checked again on disk at most once
// a second (kRecheckInterval), so an edited file is served stale for a second at most.
// Files past kMaxCachedFileBytes are sent from disk.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "web/toolkit/builtin_files.h"
#include "web/toolkit/http_message.h"
#include "web/toolkit/server_controller.h"

namespace kestrune {

class FileAnswers {
 public:
  static constexpr std::chrono::seconds kRecheckInterval{1};
  static constexpr std::uintmax_t kMaxCachedFileBytes = 256 * 1024;
  static constexpr std::size_t kMaxCachedBytes = 32 * 1024 * 1024;

  explicit FileAnswers(const TIWServerController& controller);

  // A file of the files folder (or the installed one), cacheable or not.
  HttpResponse Static(const HttpRequest& request, std::string_view argument, bool cacheable) const;
  // A file of a session's cache folder, none when refused: private, and shown as a
  // document that may never run script or load anything.
  HttpResponse CacheFile(const HttpRequest& request,
                         const std::optional<std::filesystem::path>& file) const;
  HttpResponse Image(const HttpRequest& request, std::string_view name) const;
  HttpResponse Script(const HttpRequest& request, std::string_view name) const;
  HttpResponse Icon(const HttpRequest& request) const;

  // "Expires" for a cacheable answer; "Pragma: no-cache" on plain HTTP otherwise.
  void AddCacheHeaders(const HttpRequest& request, bool cacheable, HttpResponse& response) const;

 private:
  HttpResponse NotFound(const HttpRequest& request) const;
  HttpResponse FileAnswer(const HttpRequest& request,
                          const std::optional<std::filesystem::path>& file, bool cacheable) const;
  HttpResponse Builtin(const HttpRequest& request, const BuiltinFiles::File* file,
                       std::string content_type) const;

  struct CachedFile {
    std::filesystem::path path;
    std::filesystem::file_time_type modified;
    std::uintmax_t size = 0;
    std::string body;
    std::string type;
    std::string last_modified;
    std::string etag;
  };
  struct CacheSlot {
    std::shared_ptr<const CachedFile> file;
    std::chrono::steady_clock::time_point checked;
  };
  // The installed file a URL argument names, from memory when it is small; none when
  // it is missing or too big to keep.
  std::shared_ptr<const CachedFile> Cached(const std::string& key,
                                           const std::optional<std::filesystem::path>& file) const;
  std::optional<std::filesystem::path> ResolveStatic(std::string_view argument) const;

  const TIWServerController& controller_;
  BuiltinFiles builtins_;
  std::chrono::system_clock::time_point builtin_reference_;
  std::string builtin_etag_;
  mutable std::mutex cache_lock_;
  mutable std::unordered_map<std::string, CacheSlot> cache_;
  mutable std::size_t cached_bytes_ = 0;
};

}  // namespace kestrune
