// Locked reading and atomic replacing of data files (see data_file.h).
#include "store/data_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <system_error>

#include "platform/random.h"
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
  // Closes now and reports close's own error (a delayed write error shows up here).
  int Close() {
    const int result = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return result;
  }
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

// A file's absolute normalised path, the same for different spellings of one path.
std::string PathKey(const std::filesystem::path& file) {
  std::error_code error;
  std::filesystem::path key = std::filesystem::weakly_canonical(file, error);
  if (error) key = std::filesystem::absolute(file, error).lexically_normal();
  return key.string();
}

// The process-wide mutex of a data file, keyed by PathKey. Entries live as long as the
// process; there are a few per user.
std::mutex& PathMutex(const std::filesystem::path& file) {
  static std::mutex registry_mutex;
  static std::map<std::string, std::unique_ptr<std::mutex>> registry;
  const std::string key = PathKey(file);
  const std::lock_guard guard(registry_mutex);
  auto& entry = registry[key];
  if (!entry) entry = std::make_unique<std::mutex>();
  return *entry;
}

void WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t result = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (result < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category());
    }
    written += static_cast<std::size_t>(result);
  }
}

void SyncDirectory(const std::filesystem::path& directory) {
  FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 || ::fsync(fd.get()) != 0) {
    ThrowErrno(errno, "Cannot sync directory " + directory.string());
  }
}

}  // namespace

struct DataFileLock::State {
  std::unique_lock<std::mutex> in_process;
  int lock_fd = -1;
};

DataFileLock::DataFileLock(const std::filesystem::path& file) : state_(std::make_unique<State>()) {
  state_->in_process = std::unique_lock(PathMutex(file));
  const std::string lock_path = file.string() + ".lock";
  const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) ThrowErrno(errno, "Cannot open lock file " + lock_path);
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      const int error = errno;
      ::close(fd);
      ThrowErrno(error, "Cannot lock " + lock_path);
    }
  }
  state_->lock_fd = fd;
}

DataFileLock::~DataFileLock() {
  // Closing the descriptor releases the flock; the mutex is released after it.
  ::close(state_->lock_fd);
}

bool IsSameDataFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  return PathKey(a) == PathKey(b);
}

FileStamp StampOf(const std::filesystem::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return FileStamp{};
    ThrowErrno(errno, "Cannot examine " + file.string());
  }
  return StampFromStat(info);
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::filesystem::path& file,
                                                       FileStamp* stamp) {
  if (stamp != nullptr) *stamp = FileStamp{};
  FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    ThrowErrno(errno, "Cannot open " + file.string());
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) ThrowErrno(errno, "Cannot examine " + file.string());
  if (!S_ISREG(info.st_mode)) ThrowErrno(EINVAL, file.string() + " is not a regular file");
  if (static_cast<std::uint64_t>(info.st_size) > kMaxDataFileBytes) {
    throw DamagedFileError(file.string() + " is too large");
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size));
  std::size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) {
      if (bytes.size() >= kMaxDataFileBytes)
        throw DamagedFileError(file.string() + " is too large");
      bytes.resize(bytes.size() + 4096);
    }
    const ssize_t result = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
    if (result < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno, "Cannot read " + file.string());
    }
    if (result == 0) break;
    filled += static_cast<std::size_t>(result);
  }
  bytes.resize(filled);
  if (stamp != nullptr) *stamp = StampFromStat(info);
  return bytes;
}

FileStamp WriteFileAtomically(const std::filesystem::path& file,
                              std::span<const std::uint8_t> bytes) {
  const std::filesystem::path temporary = file.string() + "." + RandomHex(6) + ".tmp";
  FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.get() < 0) ThrowErrno(errno, "Cannot create " + temporary.string());
  try {
    WriteAll(fd.get(), bytes);
    if (::fsync(fd.get()) != 0) throw std::system_error(errno, std::generic_category());
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) throw std::system_error(errno, std::generic_category());
    if (fd.Close() != 0) throw std::system_error(errno, std::generic_category());
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
      throw std::system_error(errno, std::generic_category());
    }
    const FileStamp stamp = StampFromStat(info);
    SyncDirectory(file.has_parent_path() ? file.parent_path() : std::filesystem::path("."));
    return stamp;
  } catch (const std::system_error& error) {
    fd.Reset();
    ::unlink(temporary.c_str());
    throw std::system_error(error.code(), "Cannot write " + file.string());
  }
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
  auto bytes = ReadWholeFile(file_, &stamp);
  stamp_ = stamp;
  return bytes;
}

void DataFile::Modify(const ChangeFunction& change) {
  const DataFileLock lock(file_);
  CurrentFile current;
  if (StampOf(file_) != stamp_) {
    current.changed = true;
    current.bytes = ReadWholeFile(file_);
  }
  const std::vector<std::uint8_t> image = change(current);
  stamp_ = WriteFileAtomically(file_, image);
}

}  // namespace kestrune
