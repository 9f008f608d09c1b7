// flock-based mail store lock: released by the kernel when the holder's descriptor
// closes, so a killed run never leaves a user locked.
#include "engines/mail_store_lock.h"

#include <unistd.h>

#include "platform/file_lock.h"

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
  const int fd = TakeExclusiveFlock(mail_store / FileName(activity), wait);
  if (fd < 0) return std::nullopt;
  return MailStoreLock(fd);
}

}  // namespace kestrune
