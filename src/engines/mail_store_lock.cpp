// flock-based mail store lock: released by the kernel when the holder's descriptor
// closes, so a killed run never leaves a user locked.
#include "engines/mail_store_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

namespace kestrune {

std::string_view MailStoreLock::FileName(MailStoreActivity activity) {
  return activity == MailStoreActivity::kFetch ? "Fetch.lock" : "Send.lock";
}

MailStoreLock::~MailStoreLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor drops the flock
}

std::optional<MailStoreLock> MailStoreLock::Take(const std::filesystem::path& mail_store,
                                                 MailStoreActivity activity,
                                                 std::chrono::milliseconds wait) {
  std::error_code error;
  std::filesystem::create_directories(mail_store, error);
  const std::filesystem::path file = mail_store / FileName(activity);
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open " + file.string());
  }
  MailStoreLock lock(fd);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return lock;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "cannot lock " + file.string());
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace kestrune
