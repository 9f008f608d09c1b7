// The failed-login list and its throttling hooks.
#include "web/app/failed_logins.h"

#include <algorithm>

#include "platform/ascii.h"

namespace kestrune {

std::string ClientAddressKey(std::string_view address) {
  std::string key = AsciiLower(address);
  constexpr std::string_view kMappedPrefix = "::ffff:";
  if (key.starts_with(kMappedPrefix) && key.find('.') != std::string::npos) {
    key.erase(0, kMappedPrefix.size());
  }
  return key;
}

TFailedLogins::TFailedLogins(int login_attempts, Clock clock)
    : login_attempts_(std::max(login_attempts, 1)), clock_(std::move(clock)) {}

void TFailedLogins::ExpireAttemptsLocked() {
  const auto now = clock_();
  std::erase_if(lines_, [&](const auto& entry) {
    return entry.second.count <= 0 || now - entry.second.first_failure >= kLifetime;
  });
}

bool TFailedLogins::CheckBanned(std::string_view address) {
  std::lock_guard guard(lock_);
  ExpireAttemptsLocked();
  const auto found = lines_.find(ClientAddressKey(address));
  return found != lines_.end() && found->second.count >= login_attempts_ - 1;
}

TFailedLogins::Attempt TFailedLogins::BeginAttempt(std::string_view address,
                                                   std::string_view user_name) {
  std::lock_guard guard(lock_);
  ExpireAttemptsLocked();
  const std::string key = ClientAddressKey(address);
  auto found = lines_.find(key);
  if (found != lines_.end() && found->second.count >= login_attempts_ - 1) {
    return Attempt::kBanned;
  }
  if (found == lines_.end()) {
    found = lines_.emplace(key, Line{0, clock_(), {}}).first;
  }
  ++found->second.count;
  found->second.user_names.insert(AsciiLower(user_name));
  return Attempt::kAllowed;
}

void TFailedLogins::RegisterLogin(std::string_view address, std::string_view user_name) {
  std::lock_guard guard(lock_);
  ExpireAttemptsLocked();
  const auto found = lines_.find(ClientAddressKey(address));
  if (found == lines_.end()) return;
  Line& line = found->second;
  const bool only_this_user =
      line.user_names.size() == 1 && *line.user_names.begin() == AsciiLower(user_name);
  if (only_this_user) {
    lines_.erase(found);
    return;
  }
  // Someone else's name failed from here: the successful attempt itself is not a failure,
  // but the others' count stays.
  if (--line.count <= 0) lines_.erase(found);
}

int TFailedLogins::AttemptCount(std::string_view address) {
  std::lock_guard guard(lock_);
  const auto found = lines_.find(ClientAddressKey(address));
  return found == lines_.end() ? -1 : found->second.count;
}

bool TFailedLogins::IsTracked(std::string_view address) { return AttemptCount(address) > 0; }

}  // namespace kestrune
