// Session table operations, each under the one table lock.
#include "web/toolkit/session_table.h"

#include "platform/random.h"
#include "web/toolkit/http_message.h"

namespace kestrune {

SessionOwner SessionOwner::Of(const TIWApplication& session) {
  return {session.SessionID(), session.ClientAddress(), session.Browser(),
          session.AuthUser(),  session.AuthPassword(),  session.CacheDirectory()};
}

std::optional<std::uint32_t> SessionTable::ReserveKey(std::string_view client_address,
                                                      const AnonymousLimits& limits) {
  std::lock_guard guard(lock_);
  if (AnonymousFromLocked(client_address) >= limits.per_address ||
      AnonymousLocked() >= limits.total) {
    return std::nullopt;
  }
  for (;;) {
    const std::uint32_t key = RandomUint32();
    if (!sessions_.contains(key) && !reserved_.contains(key)) {
      reserved_.emplace(key, std::string(client_address));
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
    std::chrono::steady_clock::duration timeout) {
  const auto now = clock_();
  std::vector<std::unique_ptr<TIWApplication>> removed;
  std::lock_guard guard(lock_);
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (!it->second.busy && now - it->second.session->LastAccess() >= timeout) {
      removed.push_back(std::move(it->second.session));
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
  return removed;
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
  std::lock_guard guard(lock_);
  return AnonymousFromLocked(client_address);
}

std::size_t SessionTable::Anonymous() const {
  std::lock_guard guard(lock_);
  return AnonymousLocked();
}

std::size_t SessionTable::AnonymousFromLocked(std::string_view client_address) const {
  std::size_t count = 0;
  for (const auto& [key, entry] : sessions_) {
    if (!entry.session->LoggedIn() &&
        EqualsIgnoringAsciiCase(entry.session->ClientAddress(), client_address)) {
      ++count;
    }
  }
  for (const auto& [key, address] : reserved_)
    count += EqualsIgnoringAsciiCase(address, client_address);
  return count;
}

std::size_t SessionTable::AnonymousLocked() const {
  std::size_t count = reserved_.size();
  for (const auto& [key, entry] : sessions_) count += entry.session->LoggedIn() ? 0 : 1;
  return count;
}

}  // namespace kestrune
