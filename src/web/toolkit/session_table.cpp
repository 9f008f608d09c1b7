// Session table operations, each under the one table lock.
#include "web/toolkit/session_table.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "platform/random.h"
#include "web/toolkit/http_message.h"

namespace kestrune {

SessionOwner SessionOwner::Of(const TIWApplication& session) {
  return {session.SessionID(), session.ClientAddress(), session.Browser(),
          session.AuthUser(),  session.AuthPassword(),  session.CacheDirectory()};
}

std::string ClientGroupOf(std::string_view client_address) {
  const std::string text(TrimBlanks(client_address));
  in6_addr address{};
  if (text.find(':') == std::string::npos || inet_pton(AF_INET6, text.c_str(), &address) != 1) {
    return AsciiLower(text);
  }
  char out[INET6_ADDRSTRLEN] = {};
  if (IN6_IS_ADDR_V4MAPPED(&address)) {
    return inet_ntop(AF_INET, &address.s6_addr[12], out, sizeof out) ? out : AsciiLower(text);
  }
  std::memset(&address.s6_addr[8], 0, 8);
  if (inet_ntop(AF_INET6, &address, out, sizeof out) == nullptr) return AsciiLower(text);
  return std::string(out) + "/64";
}

std::optional<std::uint32_t> SessionTable::ReserveKey(
    std::string_view client_address, const AnonymousLimits& limits,
    std::vector<std::unique_ptr<TIWApplication>>& dropped) {
  const std::string group = ClientGroupOf(client_address);
  std::lock_guard guard(lock_);
  if (limits.per_address == 0 || limits.total == 0) return std::nullopt;
  while (AnonymousFromLocked(group) >= limits.per_address) {
    if (!DropOldestAnonymousLocked(&group, dropped)) return std::nullopt;
  }
  while (AnonymousLocked() >= limits.total) {
    if (!DropOldestAnonymousLocked(nullptr, dropped)) return std::nullopt;
  }
  for (;;) {
    const std::uint32_t key = RandomUint32();
    if (!sessions_.contains(key) && !reserved_.contains(key)) {
      reserved_.emplace(key, group);
      return key;
    }
  }
}

void SessionTable::ReleaseKey(std::uint32_t key) {
  std::lock_guard guard(lock_);
  reserved_.erase(key);
}

TIWApplication* SessionTable::InsertBusy(std::unique_ptr<TIWApplication> session) {
  std::lock_guard guard(lock_);
  TIWApplication* raw = session.get();
  reserved_.erase(raw->TableKey());
  raw->Touch(clock_());
  sessions_[raw->TableKey()] = Entry{std::move(session), true};
  return raw;
}

TIWApplication* SessionTable::TakeOut(std::uint32_t key) {
  std::lock_guard guard(lock_);
  const auto found = sessions_.find(key);
  if (found == sessions_.end() || found->second.busy) return nullptr;
  found->second.busy = true;
  return found->second.session.get();
}

void SessionTable::PutBack(TIWApplication* session) {
  std::lock_guard guard(lock_);
  const auto found = sessions_.find(session->TableKey());
  if (found == sessions_.end() || found->second.session.get() != session) return;
  session->Touch(clock_());
  found->second.busy = false;
}

void SessionTable::PutBackUntouched(TIWApplication* session) {
  std::lock_guard guard(lock_);
  const auto found = sessions_.find(session->TableKey());
  if (found == sessions_.end() || found->second.session.get() != session) return;
  found->second.busy = false;
}

std::unique_ptr<TIWApplication> SessionTable::Remove(TIWApplication* session) {
  std::lock_guard guard(lock_);
  const auto found = sessions_.find(session->TableKey());
  if (found == sessions_.end() || found->second.session.get() != session) return nullptr;
  auto owned = std::move(found->second.session);
  sessions_.erase(found);
  return owned;
}

std::vector<std::unique_ptr<TIWApplication>> SessionTable::RemoveIdle(
    std::chrono::steady_clock::duration timeout,
    std::chrono::steady_clock::duration anonymous_timeout) {
  const auto now = clock_();
  std::vector<std::unique_ptr<TIWApplication>> removed;
  std::lock_guard guard(lock_);
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    const TIWApplication& session = *it->second.session;
    const auto limit = session.LoggedIn() ? timeout : std::min(timeout, anonymous_timeout);
    if (!it->second.busy && now - session.LastAccess() >= limit) {
      removed.push_back(std::move(it->second.session));
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
  return removed;
}

bool SessionTable::DropOldestAnonymousLocked(
    const std::string* client_group, std::vector<std::unique_ptr<TIWApplication>>& dropped) {
  auto oldest = sessions_.end();
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    const TIWApplication& session = *it->second.session;
    if (it->second.busy || session.LoggedIn()) continue;
    if (client_group != nullptr && ClientGroupOf(session.ClientAddress()) != *client_group) {
      continue;
    }
    if (oldest == sessions_.end() || session.LastAccess() < oldest->second.session->LastAccess()) {
      oldest = it;
    }
  }
  if (oldest == sessions_.end()) return false;
  dropped.push_back(std::move(oldest->second.session));
  sessions_.erase(oldest);
  return true;
}

std::optional<SessionOwner> SessionTable::FindCacheOwner(std::string_view token) const {
  if (token.empty()) return std::nullopt;
  std::lock_guard guard(lock_);
  for (const auto& [key, entry] : sessions_) {
    if (SameSecret(entry.session->CacheToken(), token)) return SessionOwner::Of(*entry.session);
  }
  return std::nullopt;
}

std::vector<std::unique_ptr<TIWApplication>> SessionTable::RemoveAll() {
  std::vector<std::unique_ptr<TIWApplication>> removed;
  std::lock_guard guard(lock_);
  for (auto& [key, entry] : sessions_) removed.push_back(std::move(entry.session));
  sessions_.clear();
  return removed;
}

std::size_t SessionTable::Count() const {
  std::lock_guard guard(lock_);
  return sessions_.size();
}

std::size_t SessionTable::AnonymousFrom(std::string_view client_address) const {
  const std::string group = ClientGroupOf(client_address);
  std::lock_guard guard(lock_);
  return AnonymousFromLocked(group);
}

std::size_t SessionTable::Anonymous() const {
  std::lock_guard guard(lock_);
  return AnonymousLocked();
}

std::size_t SessionTable::AnonymousFromLocked(std::string_view client_group) const {
  std::size_t count = 0;
  for (const auto& [key, entry] : sessions_) {
    if (!entry.session->LoggedIn() &&
        ClientGroupOf(entry.session->ClientAddress()) == client_group) {
      ++count;
    }
  }
  for (const auto& [key, group] : reserved_) count += group == client_group;
  return count;
}

std::size_t SessionTable::AnonymousLocked() const {
  std::size_t count = reserved_.size();
  for (const auto& [key, entry] : sessions_) count += entry.session->LoggedIn() ? 0 : 1;
  return count;
}

}  // namespace kestrune
