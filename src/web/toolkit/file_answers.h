// The answers that carry files: installed static files ("/files/", "/filesnc/"), a
// session's cache files ("/cache/user/...", once the dispatcher has checked the owner)
// and the built-in images, scripts and icon; with their 404, 304 and cache headers.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "web/toolkit/builtin_files.h"
#include "web/toolkit/http_message.h"
#include "web/toolkit/server_controller.h"

namespace kestrune {

class FileAnswers {
 public:
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

  const TIWServerController& controller_;
  BuiltinFiles builtins_;
  std::chrono::system_clock::time_point builtin_reference_;
};

}  // namespace kestrune
