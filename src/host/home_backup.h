// Backup and restore of a whole program directory while the server may be running: every
// data file is read under its lock and every mail store under its mail-store locks, so the
// archive holds each file in one saved version and no mail run half done; an archive is
// checked whole (each data file parsed by the store's own reader, every message file its
// index names present) before it is called a backup, and again before it is restored.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrune {

// A backup, check or restore that could not be done; the text is the reason, one line.
class BackupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The archive entry that describes the backup (its format, the home it was made of, the
// users directory in it, message files that were already missing in the home).
inline constexpr const char* kBackupManifestName = "KESTRUNE-BACKUP";

struct BackupSummary {
  std::uint64_t files = 0;
  std::uint64_t directories = 0;
  std::uint64_t bytes = 0;  // contents of the files
  std::uint64_t archive_bytes = 0;
  std::uint64_t mail_stores = 0;
  std::uint64_t messages = 0;  // index records whose message file is in the archive
  std::string home;            // the home the archive was made of
  // What was left out or found wrong in the home without stopping the backup.
  std::vector<std::string> notes;
};

struct BackupOptions {
  bool force = false;  // replace an existing archive
  // How long a mail run may keep a mail store before the backup gives up.
  std::chrono::milliseconds mail_store_wait{std::chrono::minutes(10)};
};

// Writes the archive of home to file: to "file.tmp" first, flushed, checked with
// VerifyBackup, then renamed to file. Refuses a file inside home, and an existing file
// unless options.force. On any failure nothing is left but what was there before.
BackupSummary BackupHome(const std::filesystem::path& home, const std::filesystem::path& file,
                         const BackupOptions& options = {});

// Reads the whole archive and checks it; the summary of what it holds.
BackupSummary VerifyBackup(const std::filesystem::path& file);

// Checks the archive, then unpacks it into home, which must be empty or missing, and points
// the settings' directories and the accounts' mail stores that lay in the old home to the
// same places in the new one. On failure home is left as it was (empty or missing).
BackupSummary RestoreHome(const std::filesystem::path& file, const std::filesystem::path& home);

}  // namespace kestrune
