#include "web/toolkit/pending_post.h"

#include <stdexcept>
#include <system_error>

#include "platform/atomic_file.h"
#include "platform/random.h"

namespace kestrune {
namespace fs = std::filesystem;

PendingPost::PendingPost(const HttpRequest& request, fs::path upload_dir)
    : request_(request), upload_dir_(std::move(upload_dir)) {}

PendingPost::~PendingPost() {
  for (const auto& path : stored_) {
    std::error_code ignored;
    fs::remove(path, ignored);
  }
}

const PostedForm& PendingPost::Fields() {
  Parse();
  return form_;
}

PostedForm PendingPost::Take() {
  Parse();
  PostedForm post = std::move(form_);
  for (const FormPart& part : uploads_) {
    UploadedFile file;
    file.field_name = part.name;
    file.client_file_name = part.file_name;
    file.content_type = part.content_type;
    file.temp_path = Store(part.data);
    file.size = part.data.size();
    post.files.push_back(std::move(file));
  }
  uploads_.clear();
  form_ = {};
  return post;
}

void PendingPost::Parse() {
  if (parsed_) return;
  parsed_ = true;
  // Actions and control values come only in a POST body: a link or an image of any page
  // can make a browser send a GET with the session's cookies.
  if (!EqualsIgnoringAsciiCase(request_.method, "POST")) return;
  const auto boundary = MultipartBoundary(request_.Header("Content-Type"));
  if (!boundary) {
    form_.fields = ParseUrlEncoded(request_.body);
    return;
  }
  for (FormPart& part : ParseMultipart(request_.body, *boundary)) {
    if (!part.is_file) {
      form_.fields.emplace_back(part.name, std::string(part.data));
      continue;
    }
    // The field itself carries the file name, as the browser's file input does.
    form_.fields.emplace_back(part.name, part.file_name);
    if (part.file_name.empty() && part.data.empty()) continue;  // no file chosen
    uploads_.push_back(std::move(part));
  }
}

// The cache folder is served, so the name is unguessable (128 random bits) and the file
// readable by this program alone.
fs::path PendingPost::Store(std::string_view bytes) {
  const fs::path path = upload_dir_ / ("upload" + RandomHex(16) + ".tmp");
  try {
    fs::create_directories(upload_dir_);
    WriteNewFile(path, bytes, 0600);
  } catch (const std::system_error& error) {
    // The browser is told why, not where the server keeps its files.
    throw std::runtime_error("Cannot store an uploaded file: " + error.code().message());
  }
  stored_.push_back(path);
  return path;
}

}  // namespace kestrune
