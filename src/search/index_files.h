// Where a mail store's full-text index lives and the lock its writers share. The index
// is "Search/"; a rebuild writes "Search.build/", compacts it into "Search.new/" and
// renames that into place, so a killed rebuild leaves no half index under the real name. Writers
// that cannot have the lock soon note their messages in "Search.pending" for the holder to add;
// "Search.stale" says an update failed and the index must be built again.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrune {

namespace search_files {
inline constexpr const char* kIndex = "Search";
inline constexpr const char* kBuilding = "Search.new";  // compacted, to be renamed
inline constexpr const char* kRaw = "Search.build";     // as written
inline constexpr const char* kReplaced = "Search.old";
inline constexpr const char* kLock = "Search.lock";
inline constexpr const char* kPending = "Search.pending";
inline constexpr const char* kStale = "Search.stale";
inline constexpr const char* kVersionLock = "Search.version.lock";
}  // namespace search_files

// The one writer of a store's index, across threads and processes: an exclusive flock on
// "Search.lock" in the store, dropped when the object goes.
class SearchIndexLock {
 public:
  SearchIndexLock(SearchIndexLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  SearchIndexLock& operator=(SearchIndexLock&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  SearchIndexLock(const SearchIndexLock&) = delete;
  ~SearchIndexLock();

  // Takes the lock, waiting at most `wait` and giving up early when *stop turns true.
  // nullopt when it was not had; throws std::system_error when the lock file cannot be
  // opened.
  static std::optional<SearchIndexLock> Take(const std::filesystem::path& store,
                                             std::chrono::milliseconds wait,
                                             const std::atomic<bool>* stop = nullptr);

 private:
  explicit SearchIndexLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Keeps the index at one version while held: readers share it for the length of a query,
// writers hold it alone around a commit or the renaming of a rebuilt index. Xapian keeps
// only the last two versions readable, so a reader outrun by two commits would
// otherwise have to start over, again and again while a writer stores many messages.
// A lock file that cannot be opened (a read-only store) leaves the version unguarded.
class IndexVersionLock {
 public:
  enum class Use { kRead, kChange };
  IndexVersionLock(const std::filesystem::path& store, Use use);
  ~IndexVersionLock();
  IndexVersionLock(const IndexVersionLock&) = delete;
  IndexVersionLock& operator=(const IndexVersionLock&) = delete;

 private:
  int fd_ = -1;
};

// Notes message file names for the next holder of the lock. Throws std::system_error.
void AppendPendingNames(const std::filesystem::path& store, const std::vector<std::string>& names);

// The noted names (only plain store file names) and the length of the list they were
// read from. Called by the holder of the lock, which forgets them (ForgetPendingNames)
// once they are committed. Throws std::system_error.
struct PendingNames {
  std::vector<std::string> names;
  std::uint64_t bytes = 0;
};
PendingNames ReadPendingNames(const std::filesystem::path& store);

// Removes the first `bytes` of the list, keeping what was noted after they were read;
// all of it when bytes is -1. Throws std::system_error.
void ForgetPendingNames(const std::filesystem::path& store, std::uint64_t bytes);

// Marks the index as needing a rebuild; never throws.
void MarkIndexStale(const std::filesystem::path& store);

}  // namespace kestrune
