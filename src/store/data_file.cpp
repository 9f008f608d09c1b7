// Reading data files and their locked, merging save (see data_file.h).
#include "store/data_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/atomic_file.h"
#include "platform/file_lock.h"
#include "platform/read_file.h"
#include "store/zlb_archive.h"

namespace kestrune {
namespace {

[[noreturn]] void ThrowErrno(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() { Reset(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

FileStamp StampFromStat(const struct stat& info) {
  FileStamp stamp;
  stamp.exists = true;
  stamp.device = info.st_dev;
  stamp.inode = info.st_ino;
  stamp.size = info.st_size;
  stamp.mtime_ns = std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec;
  return stamp;
}

}  // namespace

bool IsSameDataFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  return FileLockKey(a) == FileLockKey(b);
}

FileStamp StampOf(const std::filesystem::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return FileStamp{};
    ThrowErrno(errno, "Cannot examine " + file.string());
  }
  return StampFromStat(info);
}

std::optional<std::vector<std::uint8_t>> ReadDataFile(const std::filesystem::path& file,
                                                      FileStamp* stamp) {
  if (stamp != nullptr) *stamp = FileStamp{};
  struct stat info {};
  std::optional<std::string> content;
  try {
    content = ReadFileIfExists(file, kMaxDataFileBytes, &info);
  } catch (const FileTooLargeError& error) {
    throw DamagedFileError(error.what());
  }
  if (!content) return std::nullopt;
  if (stamp != nullptr) *stamp = StampFromStat(info);
  return std::vector<std::uint8_t>(content->begin(), content->end());
}

bool CreatePrivateDirectories(const std::filesystem::path& directory) {
  std::error_code error;
  if (std::filesystem::is_directory(directory, error)) return true;
  const std::filesystem::path normal = directory.lexically_normal();
  std::filesystem::path parent = normal.parent_path();
  // "a/b/" normalises to "a/b/" whose parent_path is "a/b": step over the empty name.
  if (!normal.has_filename()) parent = parent.parent_path();
  if (!parent.empty() && parent != normal && !CreatePrivateDirectories(parent)) return false;
  if (::mkdir(normal.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return std::filesystem::is_directory(directory, error);
}

std::optional<std::vector<std::uint8_t>> DataFile::Read() {
  FileStamp stamp;
  auto bytes = ReadDataFile(file_, &stamp);
  stamp_ = stamp;
  return bytes;
}

void DataFile::Modify(const ChangeFunction& change) {
  Modify(change, [] { return Flush::kDurable; });
}

void DataFile::Modify(const ChangeFunction& change, const std::function<Flush()>& flush) {
  const FileLock lock(file_);
  CurrentFile current;
  if (StampOf(file_) != stamp_) {
    current.changed = true;
    current.bytes = ReadDataFile(file_);
  }
  const std::vector<std::uint8_t> image = change(current);
  stamp_ = StampFromStat(ReplaceFileAtomically(file_, image, 0600, flush()));
}

}  // namespace kestrune
