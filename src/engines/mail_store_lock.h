// The lock that gives one user's mail to one fetch (or one send) at a time, across the
// threads of this process and across processes (the command line next to a running
// server): an exclusive flock on a lock file inside the user's mail store.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>

namespace kestrune {

enum class MailStoreActivity {
  kFetch,  // "Fetch.lock": storing messages from the POP3 mailbox
  kSend,   // "Send.lock": sending the Outbox
};

// Held for the object's lifetime. Each object opens the lock file itself, so two
// holders in one process exclude each other just as two processes do.
class MailStoreLock {
 public:
  MailStoreLock(MailStoreLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  MailStoreLock& operator=(MailStoreLock&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  MailStoreLock(const MailStoreLock&) = delete;
  ~MailStoreLock();

  // Takes the lock, waiting at most `wait` (zero: not at all). Creates the mail store
  // directory when it is missing. nullopt when another holder keeps it; throws
  // std::system_error when the lock file cannot be opened.
  static std::optional<MailStoreLock> Take(const std::filesystem::path& mail_store,
                                           MailStoreActivity activity,
                                           std::chrono::milliseconds wait);

  static std::string_view FileName(MailStoreActivity activity);

 private:
  explicit MailStoreLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace kestrune
