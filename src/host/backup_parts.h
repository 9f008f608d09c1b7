// What backup, check and restore share: descriptors and scratch space, the paths of archive
// entries, the description entry, the store readers' view of an index, and the check of a
// whole archive. Only the backup code includes it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/home_backup.h"
#include "platform/operator_messages.h"
#include "store/email_db.h"

namespace kestrune::backup_parts {

namespace fs = std::filesystem;

inline constexpr std::string_view kManifestFormat = "Kestrune backup 1";
inline constexpr const char* kSettingsKey = "Software/Kestrune";
inline constexpr std::array kDirectorySettings = {
    "UserDirectories", "MRULogDirectory", "LogDirectory", "LangDirectory", "TemplateDirectory"};

// strerror(errno).
std::string ErrnoText();

// Closes a descriptor when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }
  // Closes now, reporting a failure (a delayed write error shows here).
  void Close(const std::string& what) {
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0) throw BackupError("cannot write " + what + ": " + ErrnoText());
  }

 private:
  int fd_;
};

// A private directory for the store readers, which read files from a directory.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern = (fs::temp_directory_path() / "kestrune-backup-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw BackupError("cannot make a scratch directory: " + ErrnoText());
    }
    path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code error;
    fs::remove_all(path_, error);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  // A fresh empty subdirectory holding file name with bytes.
  fs::path Holding(const std::string& name, const std::string& bytes) {
    const fs::path directory = path_ / std::to_string(++count_);
    fs::create_directory(directory);
    const Descriptor fd(
        ::open((directory / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.Get() < 0 ||
        ::write(fd.Get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      throw BackupError("cannot write a scratch file: " + ErrnoText());
    }
    return directory;
  }

 private:
  fs::path path_;
  int count_ = 0;
};

// Collects what the store readers would show the console operator.
class CollectedMessages : public OperatorMessages {
 public:
  CollectedMessages() { SetOperatorMessages(this); }
  ~CollectedMessages() override { SetOperatorMessages(nullptr); }
  void ShowMessage(std::string_view text) override { last_ = text; }
  const std::string& Last() const { return last_; }

 private:
  std::string last_;
};

// Whether a file is read under its lock and parsed when checked: Users.Dat, Emails.Dat,
// Contacts.Dat, settings and preference files.
bool IsDataFileName(std::string_view name);
// The directory part of an entry path ("" at the top), and name appended to a directory.
std::string Parent(std::string_view path);
std::string Join(const std::string& directory, std::string_view name);
std::string WithSlash(const std::string& path);
// Absolute and lexically normal, without a trailing separator.
fs::path AbsoluteNormal(const fs::path& path);

// The records of an index, read by the store's own reader; BackupError when it cannot.
std::vector<TEmailRecord> IndexRecords(ScratchDirectory& scratch, const std::string& bytes,
                                       const std::string& where);
// The message files the live records of an index need.
std::vector<std::string> NeededMessageFiles(const std::vector<TEmailRecord>& records);

struct Manifest {
  std::vector<std::string> homes;  // spellings of the old home, each ending in "/"
  std::string users;               // the users directory within the home
  std::set<std::string> missing;   // message files missing in the home already
};

std::string ManifestText(const Manifest& manifest);
// BackupError when text is not a description of this format.
Manifest ParseManifest(const std::string& text);
// The users directory the settings of home name (their default when unset).
fs::path UsersDirectoryOf(const fs::path& home);

struct CheckedArchive {
  BackupSummary summary;
  Manifest manifest;
};

// A descriptor of the archive file, which must be a regular file.
int OpenArchive(const fs::path& file);
// Reads the whole archive and checks it (BackupError naming the file when it fails).
CheckedArchive CheckArchiveFile(const fs::path& file);

}  // namespace kestrune::backup_parts
