// Temporary file, fsync, rename, fsync of the directory; and new scratch files.
#include "platform/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <system_error>
#include <unordered_set>

#include "platform/random.h"

namespace kestrune {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what, const std::filesystem::path& path) {
  throw std::system_error(errno, std::generic_category(), what + " " + path.string());
}

void WriteAll(int fd, std::span<const std::uint8_t> bytes, const std::filesystem::path& file) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      ThrowErrno("cannot write", file);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
}

constexpr std::size_t kTempRandomBytes = 6;

std::atomic<std::uint64_t> fsync_count{0};

int CountedFsync(int fd) {
  fsync_count.fetch_add(1, std::memory_order_relaxed);
  return ::fsync(fd);
}

// Whether name is a temporary of the file named file_name: "<file_name>.<12 hex>.tmp".
bool IsTemporaryOf(std::string_view name, std::string_view file_name) {
  constexpr std::string_view kSuffix = ".tmp";
  constexpr std::size_t kHexDigits = 2 * kTempRandomBytes;
  if (name.size() != file_name.size() + 1 + kHexDigits + kSuffix.size() ||
      !name.starts_with(file_name) || name[file_name.size()] != '.' || !name.ends_with(kSuffix)) {
    return false;
  }
  const std::string_view hex = name.substr(file_name.size() + 1, kHexDigits);
  return hex.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

// Temporaries of file left by a writer that was killed between creating and renaming
// one. A temporary younger than kStaleAfter may still be another writer's at work (one
// that saves without the file's lock), so it is left alone.
void RemoveStaleTemporaries(const std::filesystem::path& file) {
  constexpr auto kStaleAfter = std::chrono::minutes(1);
  // A killed writer's temporaries are left behind once, by a process that is gone, so
  // the first save of a file in this process clears them; later saves skip the listing,
  // which in a mail store of many thousand messages would cost more than the save.
  static std::mutex swept_mutex;
  static std::unordered_set<std::string> swept;
  {
    const std::lock_guard lock(swept_mutex);
    if (!swept.insert(file.lexically_normal().string()).second) return;
  }
  const std::string file_name = file.filename().string();
  std::filesystem::path directory = file.parent_path();
  if (directory.empty()) directory = ".";
  std::error_code error;
  std::filesystem::directory_iterator entries(directory, error);
  if (error) return;
  const auto now = std::filesystem::file_time_type::clock::now();
  for (const auto& entry : entries) {
    if (!IsTemporaryOf(entry.path().filename().native(), file_name)) continue;
    std::error_code ignored;
    if (!entry.is_regular_file(ignored) || ignored) continue;
    const auto written = entry.last_write_time(ignored);
    if (!ignored && now - written > kStaleAfter) std::filesystem::remove(entry.path(), ignored);
  }
}

}  // namespace

std::uint64_t ReplaceFsyncCount() { return fsync_count.load(std::memory_order_relaxed); }

struct stat ReplaceFileAtomically(const std::filesystem::path& file,
                                  std::span<const std::uint8_t> bytes, mode_t mode, Flush flush) {
  RemoveStaleTemporaries(file);
  std::filesystem::path temp = file;
  temp += "." + RandomHex(kTempRandomBytes) + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) ThrowErrno("cannot create", temp);
  struct stat written {};
  try {
    WriteAll(fd, bytes, temp);
    if (flush == Flush::kDurable && CountedFsync(fd) != 0) ThrowErrno("cannot write", temp);
    if (::fstat(fd, &written) != 0) ThrowErrno("cannot examine", temp);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) ThrowErrno("cannot write", temp);
    if (::rename(temp.c_str(), file.c_str()) != 0) ThrowErrno("cannot replace", file);
  } catch (...) {
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    throw;
  }
  if (flush == Flush::kUnflushed) return written;
  std::filesystem::path directory = file.parent_path();
  if (directory.empty()) directory = ".";
  const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    CountedFsync(dir);
    ::close(dir);
  }
  return written;
}

struct stat ReplaceFileAtomically(const std::filesystem::path& file, std::string_view bytes,
                                  mode_t mode, Flush flush) {
  return ReplaceFileAtomically(
      file, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), mode,
      flush);
}

void WriteNewFile(const std::filesystem::path& file, std::string_view bytes, mode_t mode) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) ThrowErrno("cannot create", file);
  try {
    WriteAll(fd, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
             file);
  } catch (...) {
    ::close(fd);
    ::unlink(file.c_str());
    throw;
  }
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(file.c_str());
    errno = error;
    ThrowErrno("cannot write", file);
  }
}

}  // namespace kestrune
