// The new message files of one mail store, made durable in batches: each file is written
// at once (its disk write started in the background) and a whole batch is synced
// together, each file and then the directory once, instead of waiting for the disk
// after every message.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace kestrune {

// Used by the one holder of the store's fetch lock, from one thread.
class MessageFiles {
 public:
  // Files a batch holds at most: each stays open until the batch is synced.
  static constexpr std::size_t kMaxOpenFiles = 256;
  // Threads that sync a batch's files side by side.
  static constexpr std::size_t kSyncThreads = 16;

  // Reads the names in use once, so that each new file costs no directory scan.
  explicit MessageFiles(std::filesystem::path directory);
  ~MessageFiles();  // closes what is open; the files stay
  MessageFiles(const MessageFiles&) = delete;
  MessageFiles& operator=(const MessageFiles&) = delete;

  // Creates an empty file under a new random name "<8 characters>.eml" and returns the
  // name. announce is called with each name tried, before the file is created (so that
  // a process killed at any moment has noted the name of what it leaves behind). Throws
  // std::system_error, or what announce throws.
  std::string Create(const std::function<void(const std::string&)>& announce);
  // Writes the whole text into the file Create returned, not yet synced. Throws
  // std::system_error; the file is then removed.
  void Write(const std::string& name, std::string_view text);
  // Removes a file of the current batch (one that will not be kept).
  void Discard(const std::string& name) noexcept;

  // Makes the files written since the last Sync durable, names included. Returns the
  // names that could not be synced (removed again, with the error in errors); throws
  // std::system_error when the directory cannot be synced.
  std::vector<std::string> Sync(std::vector<std::string>* errors = nullptr);

  // Files written and not yet synced.
  std::size_t Pending() const { return batch_.size(); }

 private:
  struct Open {
    std::string name;
    int fd = -1;
  };
  std::string NewBase();
  void Close(Open& file) noexcept;

  std::filesystem::path directory_;
  std::unordered_set<std::string> taken_;
  std::vector<Open> batch_;
};

}  // namespace kestrune
