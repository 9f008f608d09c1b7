// The single-instance check: an exclusive flock on kestrune.lock in the program
// directory, held for the life of the process (the kernel drops it when the process
// ends, however it ends).
#pragma once

#include <filesystem>

namespace kestrune {

class InstanceLock {
 public:
  static constexpr const char* kFileName = "kestrune.lock";

  // Tries to take the lock without waiting. Throws std::system_error when the lock file
  // cannot be opened.
  explicit InstanceLock(const std::filesystem::path& file);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // False when another process (or another InstanceLock) holds it.
  bool Acquired() const { return acquired_; }

 private:
  int fd_ = -1;
  bool acquired_ = false;
};

}  // namespace kestrune
