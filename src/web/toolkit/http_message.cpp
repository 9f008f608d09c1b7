// Small helpers on the toolkit's request and response records.
#include "web/toolkit/http_message.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace kestrune {

namespace {

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

FileBody::FileBody(int fd) : fd_(fd) {
  struct stat info {};
  if (fd_ >= 0 && fstat(fd_, &info) == 0) size_ = static_cast<std::uint64_t>(info.st_size);
}

FileBody::~FileBody() {
  if (fd_ >= 0) close(fd_);
}

int FileBody::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

std::shared_ptr<FileBody> FileBody::Open(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) ThrowErrno("open");
  auto body = std::make_shared<FileBody>(fd);
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    throw std::system_error(std::make_error_code(std::errc::invalid_argument), "not a file");
  }
  // Reads of a regular file do not block; the flag only kept open() from waiting on a FIFO.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return body;
}

std::shared_ptr<FileBody> FileBody::Spill(std::string_view bytes,
                                          const std::filesystem::path& dir) {
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    // A file system without unnamed files: a named one, removed at once.
    std::string name = (dir / "spillXXXXXX").string();
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) ThrowErrno("mkostemp");
    unlink(name.c_str());
  }
  auto body = std::make_shared<FileBody>(fd);
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) ThrowErrno("write");
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  if (lseek(fd, 0, SEEK_SET) != 0) ThrowErrno("lseek");
  return std::make_shared<FileBody>(body->Release());
}

std::string ReplaceIgnoreCase(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (std::size_t hit = FindIgnoringAsciiCase(text, from, 0); hit != std::string_view::npos;
       hit = FindIgnoringAsciiCase(text, from, start)) {
    out.append(text.substr(start, hit - start));
    out.append(to);
    start = hit + from.size();
  }
  out.append(text.substr(start));
  return out;
}

namespace {

std::string FindHeader(const HeaderList& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (EqualsIgnoringAsciiCase(key, name)) return value;
  }
  return {};
}

}  // namespace

std::string HttpRequest::Header(std::string_view name) const { return FindHeader(headers, name); }

std::string_view HttpRequest::Path() const {
  const std::string_view all = target;
  return all.substr(0, all.find('?'));
}

std::string_view HttpRequest::Query() const {
  const auto mark = target.find('?');
  return mark == std::string::npos ? std::string_view() : std::string_view(target).substr(mark + 1);
}

void HttpResponse::SetHeader(std::string_view name, std::string value) {
  std::erase_if(headers,
                [&](const auto& header) { return EqualsIgnoringAsciiCase(header.first, name); });
  headers.emplace_back(std::string(name), std::move(value));
}

void HttpResponse::AddHeader(std::string name, std::string value) {
  headers.emplace_back(std::move(name), std::move(value));
}

std::string HttpResponse::Header(std::string_view name) const { return FindHeader(headers, name); }

}  // namespace kestrune
