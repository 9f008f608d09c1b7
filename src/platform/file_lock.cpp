// flock on "<file>.lock" behind a process-wide mutex per path, and the plain flock of a
// descriptor with a bounded wait.
#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <system_error>
#include <thread>

namespace kestrune {
namespace {

// The process-wide mutex of a file, keyed by FileLockKey. Entries live as long as the
// process; there are a few per user.
std::mutex& PathMutex(const std::filesystem::path& file) {
  static std::mutex registry_mutex;
  static std::map<std::string, std::unique_ptr<std::mutex>> registry;
  const std::string key = FileLockKey(file);
  const std::lock_guard guard(registry_mutex);
  auto& entry = registry[key];
  if (!entry) entry = std::make_unique<std::mutex>();
  return *entry;
}

}  // namespace

int TakeExclusiveFlock(const std::filesystem::path& file, std::chrono::milliseconds wait,
                       const std::atomic<bool>* stop) {
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open " + file.string());
  }
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    const int error = errno;
    if (error != EWOULDBLOCK && error != EINTR) {
      ::close(fd);
      throw std::system_error(error, std::generic_category(), "cannot lock " + file.string());
    }
    if (std::chrono::steady_clock::now() >= deadline || (stop != nullptr && stop->load())) {
      ::close(fd);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string FileLockKey(const std::filesystem::path& file) {
  std::error_code error;
  std::filesystem::path key = std::filesystem::weakly_canonical(file, error);
  if (error) key = std::filesystem::absolute(file, error).lexically_normal();
  return key.string();
}

FileLock::FileLock(const std::filesystem::path& file) : in_process_(PathMutex(file)) {
  const std::string lock_path = file.string() + ".lock";
  const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open lock file " + lock_path);
  }
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      const int error = errno;
      ::close(fd);
      throw std::system_error(error, std::generic_category(), "cannot lock " + lock_path);
    }
  }
  fd_ = fd;
}

FileLock::~FileLock() {
  // Closing the descriptor releases the flock; the mutex is released after it.
  ::close(fd_);
}

}  // namespace kestrune
