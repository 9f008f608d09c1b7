// The record of POP3 messages a mail store could not take: one line per message, by the
// account and UIDL it has on the server, with how many runs failed on it, whether it is
// over the size limit, the day it was last named in the log and the last reason. A fetch
// uses it to stop retrying a message that keeps failing (after a few runs, or at once
// when it is too large) and to name such a message in the log once a day, not every run.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kestrune {

struct UnfetchedMessage {
  std::string account;      // AccountKey of the POP3 account
  std::string uid;          // its UIDL on that server (never empty)
  int attempts = 0;         // runs whose retrieval of it failed
  bool over_size = false;   // larger than the size limit: never retrieved again
  std::string reported_on;  // "YYYY-MM-DD" of the last log line about it; empty: never
  std::string reason;       // the last failure, as logged
};

// "Unfetched.Uidl" of one mail store. Used by the one holder of the store's fetch lock.
class UnfetchedUidFile {
 public:
  static constexpr const char* kFileName = "Unfetched.Uidl";

  explicit UnfetchedUidFile(const std::filesystem::path& mail_store);

  // Every well-formed line; a missing file is empty, malformed lines are skipped.
  // Throws std::system_error when the file exists but cannot be read.
  std::vector<UnfetchedMessage> Load() const;
  // Replaces the file with exactly these entries, atomically (removes it when empty).
  void Save(const std::vector<UnfetchedMessage>& messages) const;

 private:
  std::filesystem::path path_;
};

}  // namespace kestrune
