// The fields and uploads of one request. The fields are parsed when first asked for; the
// uploads are written to temporary files only by Take, which the dispatcher calls once
// the request has passed the session (or authentication) checks. The files are deleted
// when the request ends.
#pragma once

#include <filesystem>
#include <vector>

#include "web/toolkit/http_message.h"
#include "web/toolkit/multipart.h"
#include "web/toolkit/posted_form.h"

namespace kestrune {

class PendingPost {
 public:
  PendingPost(const HttpRequest& request, std::filesystem::path upload_dir);
  ~PendingPost();
  PendingPost(const PendingPost&) = delete;
  PendingPost& operator=(const PendingPost&) = delete;

  // The posted fields; nothing is stored.
  const PostedForm& Fields();
  // The fields with the uploads stored.
  PostedForm Take();

 private:
  void Parse();
  std::filesystem::path Store(std::string_view bytes);

  const HttpRequest& request_;
  std::filesystem::path upload_dir_;
  bool parsed_ = false;
  PostedForm form_;
  std::vector<FormPart> uploads_;  // point into the request body
  std::vector<std::filesystem::path> stored_;
};

}  // namespace kestrune
