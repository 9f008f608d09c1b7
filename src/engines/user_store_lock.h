// The first step of a user's fetch or send: the user's mail-store lock for that activity.
// A user without a mail store directory, or whose lock file cannot be opened, is a store
// failure; another holder of the lock makes the user busy. Both are reported and marked in
// the run's result, and the run then does nothing for that user.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>

#include "engines/mail_error.h"
#include "engines/mail_store_lock.h"
#include "store/user_list.h"

namespace kestrune {

// Result has the flags store_failed and busy; Reporter the calls StoreFailed and Busy.
template <class Result, class Reporter>
std::optional<MailStoreLock> TakeUserStoreLock(const TUserRecord& user, MailStoreActivity activity,
                                               std::chrono::milliseconds wait, Result& result,
                                               Reporter& reporter) {
  if (user.UserDir.empty()) {  // never fall back to the working directory
    result.store_failed = true;
    reporter.StoreFailed({MailErrorKind::kStore, "the user has no mail store directory"});
    return std::nullopt;
  }
  std::optional<MailStoreLock> lock;
  try {
    lock = MailStoreLock::Take(std::filesystem::path(user.UserDir), activity, wait);
  } catch (...) {
    result.store_failed = true;
    reporter.StoreFailed(CurrentMailError());
    return std::nullopt;
  }
  if (!lock) {
    result.busy = true;
    reporter.Busy();
  }
  return lock;
}

}  // namespace kestrune
