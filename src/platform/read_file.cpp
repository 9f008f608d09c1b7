#include "platform/read_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kestrune {
namespace {

[[noreturn]] void ThrowErrno(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::optional<std::string> ReadFileIfExists(const std::filesystem::path& file,
                                            std::size_t max_bytes, struct stat* info) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer forever
  // (and a device could block); what is opened is checked before anything is read.
  FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    ThrowErrno(errno, "Cannot open " + file.string());
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) ThrowErrno(errno, "Cannot examine " + file.string());
  if (!S_ISREG(status.st_mode)) ThrowErrno(EINVAL, file.string() + " is not a regular file");
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ThrowErrno(errno, "Cannot read " + file.string());
  }
  if (static_cast<std::uint64_t>(status.st_size) > max_bytes) {
    throw FileTooLargeError(file.string() + " is too large");
  }
  // The size is a first guess: a file that grows while it is read is read to its end,
  // within the bound.
  std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) bytes.resize(bytes.size() + 4096);
    const ssize_t result = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
    if (result < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno, "Cannot read " + file.string());
    }
    if (result == 0) break;
    filled += static_cast<std::size_t>(result);
    if (filled > max_bytes) throw FileTooLargeError(file.string() + " is too large");
  }
  bytes.resize(filled);
  if (info != nullptr) *info = status;
  return bytes;
}

std::string ReadWholeFile(const std::filesystem::path& file) {
  auto content = ReadFileIfExists(file);
  if (!content) ThrowErrno(ENOENT, "Cannot read " + file.string());
  return std::move(*content);
}

}  // namespace kestrune
