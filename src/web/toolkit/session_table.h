// The process-wide table of live sessions, found by the 32-bit key in the first 8
// characters of their id. A session serving a request is "out" of the table: a second
// request for it, and the time-out scan, do not see it until it is put back.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "web/toolkit/application.h"

namespace kestrune {

// What a request must match to act for a session, copied out of the session.
struct SessionOwner {
  std::string session_id;
  std::string client_address;
  TIWBrowser browser = TIWBrowser::brUnknown;
  std::string auth_user;
  std::string auth_password;
  std::filesystem::path cache_dir;

  static SessionOwner Of(const TIWApplication& session);
};

// What clients are counted by: the address, an IPv6 one cut to its /64 network (one
// host commonly owns a whole /64), an IPv4-mapped IPv6 one as the IPv4 address.
std::string ClientGroupOf(std::string_view client_address);

class SessionTable {
 public:
  // The clock of last access times and idle checks (tests set the time themselves).
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  explicit SessionTable(Clock clock = [] { return std::chrono::steady_clock::now(); })
      : clock_(std::move(clock)) {}

  // Caps on sessions not logged in: from one client address, and in total.
  struct AnonymousLimits {
    std::size_t per_address;
    std::size_t total;
  };
  // Picks a random table key that no live or reserved session uses and reserves it for
  // a new session from client_address. When that session would go over a cap, the idle
  // anonymous sessions that have waited longest (from that client, then from anyone) are
  // taken out into `dropped` for the caller to destroy; nullopt when only busy sessions
  // and reservations fill the cap. Reservations count as sessions not logged in, so
  // simultaneous requests cannot overshoot the caps between the check and the insertion.
  // Clients are counted by address, IPv6 ones by their /64 network.
  std::optional<std::uint32_t> ReserveKey(std::string_view client_address,
                                          const AnonymousLimits& limits,
                                          std::vector<std::unique_ptr<TIWApplication>>& dropped);
  // Gives up a reservation that did not become a session.
  void ReleaseKey(std::uint32_t key);

  // Adds a new session, taken out (busy with its creating request).
  TIWApplication* InsertBusy(std::unique_ptr<TIWApplication> session);

  // Takes the session with that table key out of the table; nullptr when there is
  // none or it is busy.
  TIWApplication* TakeOut(std::uint32_t key);
  // Puts a taken-out session back with a fresh last access time.
  void PutBack(TIWApplication* session);
  // Puts a taken-out session back as it was: a refused request (wrong id, address,
  // browser or credentials) must not keep someone else's session alive.
  void PutBackUntouched(TIWApplication* session);
  // Removes a taken-out session for good; the caller destroys it.
  std::unique_ptr<TIWApplication> Remove(TIWApplication* session);

  // The owner of the cache directory named by that token, busy or not (a page's cache
  // files may be fetched while the session serves another request); none when unknown.
  std::optional<SessionOwner> FindCacheOwner(std::string_view token) const;

  // Removes every idle (not busy) session whose last access is `timeout` or more ago,
  // or `anonymous_timeout` for a session that has not logged in.
  std::vector<std::unique_ptr<TIWApplication>> RemoveIdle(
      std::chrono::steady_clock::duration timeout,
      std::chrono::steady_clock::duration anonymous_timeout);
  std::vector<std::unique_ptr<TIWApplication>> RemoveIdle(
      std::chrono::steady_clock::duration timeout) {
    return RemoveIdle(timeout, timeout);
  }
  // Removes every session (shutdown); busy ones included.
  std::vector<std::unique_ptr<TIWApplication>> RemoveAll();

  std::size_t Count() const;
  // Sessions not logged in (reservations included), from that address and in total.
  std::size_t AnonymousFrom(std::string_view client_address) const;
  std::size_t Anonymous() const;

 private:
  struct Entry {
    std::unique_ptr<TIWApplication> session;
    bool busy = false;
  };
  std::size_t AnonymousFromLocked(std::string_view client_group) const;
  std::size_t AnonymousLocked() const;
  // Takes out the idle anonymous session of that client group (any, when none) with the
  // oldest last access; false when there is none.
  bool DropOldestAnonymousLocked(const std::string* client_group,
                                 std::vector<std::unique_ptr<TIWApplication>>& dropped);

  Clock clock_;
  mutable std::mutex lock_;
  std::unordered_map<std::uint32_t, Entry> sessions_;
  std::unordered_map<std::uint32_t, std::string> reserved_;  // key -> client group
};

}  // namespace kestrune
