// FailedLogins: the failed log-ins of every client address, shared by all sessions, with
// which the login page slows down and shuts out password guessing. Each hook takes the
// list's lock for its whole sequence of reads and writes. Times are monotonic, so a clock
// change can neither extend nor end a ban, and nothing stored can fail to parse.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace kestrune {

// The key of a client address in the list: lower case, and an IPv4-mapped IPv6 address
// ("::ffff:10.0.0.1") as its IPv4 address, so the two spellings share one count.
std::string ClientAddressKey(std::string_view address);

class TFailedLogins {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // A line lives until this long after the first failure it records.
  static constexpr std::chrono::minutes kLifetime{6};

  // login_attempts: the setting LoginAttempts (L); values below 1 count as 1.
  explicit TFailedLogins(int login_attempts, Clock clock = std::chrono::steady_clock::now);

  // Whether a new visit of the login page from the address gets the bad-login page
  // (tracked with L - 1 or more attempts).
  bool CheckBanned(std::string_view address);

  // What a log-in attempt may do. The attempt is counted before the password is checked,
  // so neither pages opened before a ban nor concurrent posts get extra guesses.
  enum class Attempt { kAllowed, kBanned };
  Attempt BeginAttempt(std::string_view address, std::string_view user_name);

  // After a successful log-in of user_name that BeginAttempt allowed: the attempt is taken
  // back; the line goes only when every failure it counts was for that same user name, so
  // an attacker's own account cannot reset the count of guesses at someone else's.
  void RegisterLogin(std::string_view address, std::string_view user_name);

  // The count of the address's line, -1 when it has none.
  int AttemptCount(std::string_view address);
  bool IsTracked(std::string_view address);

 private:
  struct Line {
    int count = 0;
    std::chrono::steady_clock::time_point first_failure;
    std::set<std::string> user_names;  // ASCII lower case
  };
  void ExpireAttemptsLocked();

  int login_attempts_;
  Clock clock_;
  std::mutex lock_;
  std::map<std::string, Line> lines_;
};

}  // namespace kestrune
