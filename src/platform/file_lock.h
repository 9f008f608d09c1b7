// The lock every writer of a shared file takes around its read-change-replace: the data
// files and the settings file. Other processes (the command line next to the server)
// are kept out by an flock on "<file>.lock"; threads of this process by a mutex per
// file, taken first, so they queue in the process instead of in the kernel.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>

namespace kestrune {

// Holds the lock of one file for its lifetime: first the process-wide mutex of the
// file's path (FileLockKey), then an exclusive flock on "<file>.lock" (created mode
// 0600; the lock file stays). Not reentrant: a thread must not lock the same file twice.
// Throws std::system_error when the lock file cannot be opened or locked.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& file);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  std::unique_lock<std::mutex> in_process_;  // released after the flock
  int fd_ = -1;
};

// An exclusive flock on `file` itself (opened, or created mode 0600; never through a
// symbolic link), for locks held by a descriptor alone: two descriptors exclude each
// other within one process as across processes. Waits at most `wait` (zero: not at
// all), giving up early when *stop turns true. The descriptor that holds it (closing it
// drops the lock), or -1 when another holder kept it. Throws std::system_error when the
// file cannot be opened or locked.
int TakeExclusiveFlock(const std::filesystem::path& file, std::chrono::milliseconds wait,
                       const std::atomic<bool>* stop = nullptr);

// The absolute normalised path of file (after resolving "." / ".." and symbolic links
// where the file system allows): the same for every spelling of one path, and the key
// under which the file's in-process mutex is found.
std::string FileLockKey(const std::filesystem::path& file);

}  // namespace kestrune
