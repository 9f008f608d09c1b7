// The walk of a home into an archive, the check of an archive, and its unpacking into an
// empty home. Lock order in a mail store is the engines' own: the fetch and send locks
// first, then Emails.Dat's lock, which is held while the store's message files are copied
// (a new message's file is written before its record, and a purge marks the record before
// it removes the file, so the index copy never names a file the copy lacks).
#include "host/home_backup.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <utility>

#include "engines/mail_store_lock.h"
#include "host/tar_archive.h"
#include "platform/file_lock.h"
#include "platform/operator_messages.h"
#include "platform/settings_store.h"
#include "store/contacts_db.h"
#include "store/email_db.h"
#include "store/mail_store_paths.h"
#include "store/user_list.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kManifestFormat = "Kestrune backup 1";
constexpr const char* kSettingsKey = "Software/Kestrune";
constexpr std::array kDirectorySettings = {"UserDirectories", "MRULogDirectory", "LogDirectory",
                                           "LangDirectory", "TemplateDirectory"};

std::string ErrnoText() { return std::strerror(errno); }

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

bool IsDataFileName(std::string_view name) {
  return name == TUserList::kFileName || name == TUserEmailDB::kFileName ||
         name == TContactsDB::kFileName || name.ends_with(".toml");
}

std::string Parent(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

std::string Join(const std::string& directory, std::string_view name) {
  return directory.empty() ? std::string(name) : directory + "/" + std::string(name);
}

std::string WithSlash(const std::string& path) { return path.ends_with('/') ? path : path + "/"; }

// The records of an index: file name and status, read by the store's own reader.
std::vector<TEmailRecord> IndexRecords(ScratchDirectory& scratch, const std::string& bytes,
                                       const std::string& where) {
  TUserEmailDB index;
  try {
    if (!index.Open(scratch.Holding(TUserEmailDB::kFileName, bytes))) {
      throw BackupError(where + " is not a message index");
    }
  } catch (const BackupError&) {
    throw;
  } catch (const std::exception& e) {
    throw BackupError(where + " cannot be read: " + e.what());
  }
  std::vector<TEmailRecord> records;
  for (int i = 1; i <= index.GetCount(); ++i) {
    TEmailRecord record;
    if (index.GetEmail(i, record)) records.push_back(std::move(record));
  }
  return records;
}

// The message files a live record needs (purged records have none; a name that is not a
// plain file of the store is never opened by the store code, so none is needed either).
std::vector<std::string> NeededMessageFiles(const std::vector<TEmailRecord>& records) {
  std::vector<std::string> files;
  for (const TEmailRecord& record : records) {
    if (record.Status != email_status::kPurged && IsPlainStoreFileName(record.FileName)) {
      files.push_back(record.FileName);
    }
  }
  return files;
}

// Parses a data file with the reader its name calls for; throws BackupError when it fails.
void CheckDataFile(ScratchDirectory& scratch, const std::string& path, const std::string& bytes) {
  const std::string name = path.substr(path.rfind('/') + 1);
  try {
    if (name == TUserList::kFileName) {
      CollectedMessages messages;
      TUserList users;
      if (!users.Open(scratch.Holding(name, bytes))) {
        throw BackupError(path + " cannot be read: " + messages.Last());
      }
    } else if (name == TContactsDB::kFileName) {
      TContactsDB contacts;
      if (!contacts.Open(scratch.Holding(name, bytes))) {
        throw BackupError(path + " is not a contacts file");
      }
    } else if (name.ends_with(".toml")) {
      SettingsStore settings(scratch.Holding(name, bytes) / name);
    }
  } catch (const BackupError&) {
    throw;
  } catch (const std::exception& e) {
    throw BackupError(path + " cannot be read: " + e.what());
  }
}

struct OpenedFile {
  std::string bytes;
  struct stat info {};
};

// A regular file's contents, never through a symbolic link.
std::optional<OpenedFile> ReadRegularFile(const fs::path& file) {
  const Descriptor fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.Get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw BackupError("cannot read " + file.string() + ": " + ErrnoText());
  }
  OpenedFile opened;
  if (::fstat(fd.Get(), &opened.info) != 0) {
    throw BackupError("cannot read " + file.string() + ": " + ErrnoText());
  }
  if (!S_ISREG(opened.info.st_mode)) return std::nullopt;
  if (static_cast<std::uint64_t>(opened.info.st_size) > kMaxArchiveEntryBytes) {
    throw BackupError(file.string() + " is larger than " +
                      std::to_string(kMaxArchiveEntryBytes >> 20) + " MiB");
  }
  opened.bytes.resize(static_cast<std::size_t>(opened.info.st_size));
  std::size_t got = 0;
  while (got < opened.bytes.size()) {
    const ssize_t n = ::read(fd.Get(), opened.bytes.data() + got, opened.bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw BackupError("cannot read " + file.string() + ": " + ErrnoText());
    if (n == 0) break;  // shrunk meanwhile: what is there
    got += static_cast<std::size_t>(n);
  }
  opened.bytes.resize(got);
  return opened;
}

struct Manifest {
  std::vector<std::string> homes;  // spellings of the old home, each ending in "/"
  std::string users;               // the users directory within the home
  std::set<std::string> missing;   // message files missing in the home already
};

std::string ManifestText(const Manifest& manifest) {
  std::ostringstream text;
  text << kManifestFormat << '\n';
  for (const std::string& home : manifest.homes) text << "home " << home << '\n';
  text << "users " << manifest.users << '\n';
  for (const std::string& file : manifest.missing) text << "missing " << file << '\n';
  return text.str();
}

Manifest ParseManifest(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line) || line != kManifestFormat) {
    throw BackupError("the archive is not a backup of this program's format");
  }
  Manifest manifest;
  while (std::getline(lines, line)) {
    const std::size_t space = line.find(' ');
    const std::string word = line.substr(0, space);
    const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    if (word == "home") {
      manifest.homes.push_back(WithSlash(value));
    } else if (word == "users") {
      manifest.users = value;
    } else if (word == "missing") {
      manifest.missing.insert(value);
    }
  }
  return manifest;
}

// The users directory the settings of home name (their default when unset).
fs::path UsersDirectoryOf(const fs::path& home) {
  const fs::path settings_file = home / SettingsStore::kFileName;
  std::error_code error;
  if (fs::exists(settings_file, error)) {
    try {
      SettingsStore settings(settings_file);
      if (settings.OpenKey(kSettingsKey, false) && settings.ValueExists("UserDirectories") &&
          settings.GetDataType("UserDirectories") == SettingsValueKind::kString) {
        const std::string value = settings.ReadString("UserDirectories");
        if (!value.empty()) return fs::path(value).lexically_normal();
      }
    } catch (const SettingsError& e) {
      throw BackupError(settings_file.string() + " cannot be read: " + e.what());
    }
  }
  return home / "Users";
}

// ---------------------------------------------------------------------------------------
// Backup

class HomeWalk {
 public:
  HomeWalk(const fs::path& home, const fs::path& users, TarGzWriter& writer,
           const BackupOptions& options, BackupSummary& summary, Manifest& manifest)
      : home_(home),
        users_(users),
        writer_(writer),
        options_(options),
        summary_(summary),
        manifest_(manifest) {}

  void Run() {
    AddLockedFile(SettingsStore::kFileName);
    Walk("", Context::kTop);
  }

 private:
  enum class Context { kTop, kPlain, kUsers, kMailStore };

  fs::path Absolute(const std::string& relative) const {
    return relative.empty() ? home_ : home_ / relative;
  }

  // Caches, lock files, temporaries of atomic saves, the search index (built again from
  // the message files), compositions in progress and generated downloads and prints.
  static bool LeftOut(Context context, const std::string& parent, const std::string& name) {
    if (name.ends_with(".lock") || name.ends_with(".tmp")) return true;
    if (context == Context::kTop) {
      return name == "Cache" || name == kBackupManifestName || name == SettingsStore::kFileName;
    }
    if (context == Context::kMailStore) {
      return name.starts_with("Search") || name == "Uploads" || name == TUserEmailDB::kFileName;
    }
    if (context == Context::kUsers && name == TUserList::kFileName) return true;
    return parent == "Files" && (name == "Prints" || name == "Attachments");
  }

  void Walk(const std::string& relative, Context context) {
    const fs::path directory = Absolute(relative);
    if (context == Context::kUsers) AddLockedFile(Join(relative, TUserList::kFileName));
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
      names.push_back(it->path().filename().string());
    }
    if (error) throw BackupError("cannot list " + directory.string() + ": " + error.message());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (LeftOut(context, relative, name)) continue;
      const std::string path = Join(relative, name);
      struct stat info {};
      if (::lstat(Absolute(path).c_str(), &info) != 0) {
        if (errno == ENOENT) continue;  // removed meanwhile (a purge, a finished upload)
        throw BackupError("cannot read " + Absolute(path).string() + ": " + ErrnoText());
      }
      if (S_ISLNK(info.st_mode)) {
        summary_.notes.push_back("the symbolic link " + path + " is left out");
      } else if (S_ISDIR(info.st_mode)) {
        AddDirectory(path, info);
        if (context == Context::kUsers) {
          BackUpMailStore(path);
        } else {
          Walk(path, ChildContext(path));
        }
      } else if (S_ISREG(info.st_mode)) {
        if (IsDataFileName(name)) {
          AddLockedFile(path);
        } else {
          AddFile(path, context == Context::kTop ? "" : relative);
        }
      }  // sockets and pipes have no contents to keep
    }
  }

  Context ChildContext(const std::string& path) const {
    std::error_code error;
    if (fs::equivalent(Absolute(path), users_, error)) return Context::kUsers;
    return Context::kPlain;
  }

  void BackUpMailStore(const std::string& store) {
    const fs::path directory = Absolute(store);
    std::optional<MailStoreLock> fetch, send;
    try {
      fetch = MailStoreLock::Take(directory, MailStoreActivity::kFetch, options_.mail_store_wait);
      if (fetch) {
        send = MailStoreLock::Take(directory, MailStoreActivity::kSend, options_.mail_store_wait);
      }
    } catch (const std::exception& e) {
      throw BackupError("cannot lock the mail store " + directory.string() + ": " + e.what());
    }
    if (!fetch || !send) {
      throw BackupError("a mail run kept the mail store " + directory.string() +
                        " busy; nothing was written, try again later");
    }
    const std::string index_path = Join(store, TUserEmailDB::kFileName);
    FileLock index_lock(Absolute(index_path));
    std::optional<OpenedFile> index = ReadRegularFile(Absolute(index_path));
    Walk(store, Context::kMailStore);
    if (!index) return;
    ++summary_.mail_stores;
    Add(index_path, *index);
    for (const std::string& file :
         NeededMessageFiles(IndexRecords(scratch_, index->bytes, index_path))) {
      const std::string path = Join(store, file);
      if (added_.contains(path)) {
        ++summary_.messages;
      } else {
        manifest_.missing.insert(path);
        summary_.notes.push_back("the message file " + path + " named by " + index_path +
                                 " was already missing");
      }
    }
  }

  void AddLockedFile(const std::string& path) {
    const fs::path file = Absolute(path);
    std::error_code error;
    if (!fs::exists(fs::symlink_status(file, error))) return;
    FileLock lock(file);
    if (std::optional<OpenedFile> opened = ReadRegularFile(file)) Add(path, *opened);
  }

  void AddFile(const std::string& path, const std::string& parent) {
    std::optional<OpenedFile> opened = ReadRegularFile(Absolute(path));
    if (!opened) return;
    // The debug log grows by whole lines: a line being appended is left for the next backup.
    if (parent == "Logs") {
      const std::size_t end = opened->bytes.rfind('\n');
      opened->bytes.resize(end == std::string::npos ? 0 : end + 1);
    }
    Add(path, *opened);
  }

  void Add(const std::string& path, const OpenedFile& file) {
    ArchiveEntry entry;
    entry.path = path;
    entry.mode = file.info.st_mode & 07777;
    entry.mtime = file.info.st_mtim.tv_sec;
    entry.data = file.bytes;
    writer_.Add(entry);
    added_.insert(path);
    ++summary_.files;
    summary_.bytes += file.bytes.size();
  }

  void AddDirectory(const std::string& path, const struct stat& info) {
    ArchiveEntry entry;
    entry.path = path;
    entry.directory = true;
    entry.mode = info.st_mode & 07777;
    entry.mtime = info.st_mtim.tv_sec;
    writer_.Add(entry);
    ++summary_.directories;
  }

  const fs::path& home_;
  const fs::path& users_;
  TarGzWriter& writer_;
  const BackupOptions& options_;
  BackupSummary& summary_;
  Manifest& manifest_;
  ScratchDirectory scratch_;
  std::set<std::string> added_;
};

bool IsInside(const fs::path& path, const fs::path& directory) {
  const std::string inner = WithSlash(path.string());
  return inner.starts_with(WithSlash(directory.string()));
}

// ---------------------------------------------------------------------------------------
// Check

struct CheckedArchive {
  BackupSummary summary;
  Manifest manifest;
};

CheckedArchive CheckArchive(int fd) {
  CheckedArchive checked;
  ScratchDirectory scratch;
  TarGzReader reader(fd);
  std::map<std::string, bool> entries;  // path -> directory
  std::vector<std::string> needed;
  std::optional<std::string> manifest_text;
  while (std::optional<ArchiveEntry> entry = reader.Next()) {
    if (manifest_text) throw BackupError("entries follow the backup's description");
    if (!entries.emplace(entry->path, entry->directory).second) {
      throw BackupError("the entry " + entry->path + " appears twice in the archive");
    }
    if (entry->path == kBackupManifestName) {
      manifest_text = entry->data;
      continue;
    }
    if (entry->directory) {
      ++checked.summary.directories;
      continue;
    }
    ++checked.summary.files;
    checked.summary.bytes += entry->data.size();
    const std::string name = entry->path.substr(entry->path.rfind('/') + 1);
    if (!IsDataFileName(name)) continue;
    if (name == TUserEmailDB::kFileName) {
      const std::string store = Parent(entry->path);
      ++checked.summary.mail_stores;
      for (const std::string& file :
           NeededMessageFiles(IndexRecords(scratch, entry->data, entry->path))) {
        needed.push_back(Join(store, file));
      }
    } else {
      CheckDataFile(scratch, entry->path, entry->data);
    }
  }
  if (!manifest_text) {
    throw BackupError("the archive has no backup description (not a backup, or cut short)");
  }
  checked.manifest = ParseManifest(*manifest_text);
  if (!checked.manifest.homes.empty()) checked.summary.home = checked.manifest.homes.front();
  // Nothing may sit below a file.
  for (const auto& [path, directory] : entries) {
    for (std::string parent = Parent(path); !parent.empty(); parent = Parent(parent)) {
      auto found = entries.find(parent);
      if (found != entries.end() && !found->second) {
        throw BackupError("the entry " + path + " lies below the file " + parent);
      }
    }
  }
  for (const std::string& file : needed) {
    auto found = entries.find(file);
    if (found != entries.end() && !found->second) {
      ++checked.summary.messages;
    } else if (!checked.manifest.missing.contains(file)) {
      throw BackupError("the message file " + file + " named by its index is not in the archive");
    }
  }
  return checked;
}

// A descriptor of the archive file, which must be a regular file.
int OpenArchive(const fs::path& file) {
  Descriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) throw BackupError("cannot open " + file.string() + ": " + ErrnoText());
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    throw BackupError(file.string() + " is not a regular file");
  }
  return fd.Release();
}

CheckedArchive CheckArchiveFile(const fs::path& file) {
  const Descriptor fd(OpenArchive(file));
  try {
    CheckedArchive checked = CheckArchive(fd.Get());
    struct stat info {};
    if (::fstat(fd.Get(), &info) == 0) checked.summary.archive_bytes = info.st_size;
    return checked;
  } catch (const ArchiveError& e) {
    throw BackupError(file.string() + ": " + e.what());
  } catch (const BackupError& e) {
    throw BackupError(file.string() + ": " + e.what());
  }
}

// ---------------------------------------------------------------------------------------
// Restore

// Everything the restore made, undone unless Keep is called.
class RestoredTree {
 public:
  RestoredTree(fs::path home, bool created_home) : home_(std::move(home)), created_(created_home) {}
  ~RestoredTree() {
    if (kept_) return;
    std::error_code error;
    if (created_) {
      fs::remove_all(home_, error);
      return;
    }
    for (fs::directory_iterator it(home_, error), end; !error && it != end; it.increment(error)) {
      std::error_code ignored;
      fs::remove_all(it->path(), ignored);
    }
  }
  RestoredTree(const RestoredTree&) = delete;
  RestoredTree& operator=(const RestoredTree&) = delete;
  void Keep() { kept_ = true; }

 private:
  fs::path home_;
  bool created_;
  bool kept_ = false;
};

class Unpacker {
 public:
  Unpacker(const fs::path& home, const struct stat& home_info)
      : home_(home), chown_(::geteuid() == 0), uid_(home_info.st_uid), gid_(home_info.st_gid) {}

  void Unpack(int fd) {
    TarGzReader reader(fd);
    while (std::optional<ArchiveEntry> entry = reader.Next()) {
      if (entry->path == kBackupManifestName) continue;
      if (entry->directory) {
        MakeDirectories(entry->path);
        directory_modes_[entry->path] = entry->mode & 0777;
      } else {
        MakeDirectories(Parent(entry->path));
        WriteFile(*entry);
      }
    }
    // Deepest first, so that a directory without write permission is set last.
    for (auto it = directory_modes_.rbegin(); it != directory_modes_.rend(); ++it) {
      if (::chmod((home_ / it->first).c_str(), it->second) != 0) Fail(it->first);
    }
  }

 private:
  void MakeDirectories(const std::string& path) {
    if (path.empty() || made_.contains(path)) return;
    MakeDirectories(Parent(path));
    if (::mkdir((home_ / path).c_str(), 0700) != 0) Fail(path);
    Own(path);
    made_.insert(path);
  }

  void WriteFile(const ArchiveEntry& entry) {
    const fs::path file = home_ / entry.path;
    Descriptor fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.Get() < 0) Fail(entry.path);
    std::size_t written = 0;
    while (written < entry.data.size()) {
      const ssize_t n = ::write(fd.Get(), entry.data.data() + written, entry.data.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) Fail(entry.path);
      written += static_cast<std::size_t>(n);
    }
    if (::fchmod(fd.Get(), entry.mode & 0777) != 0) Fail(entry.path);
    if (chown_ && ::fchown(fd.Get(), uid_, gid_) != 0) Fail(entry.path);
    fd.Close((home_ / entry.path).string());
  }

  void Own(const std::string& path) {
    if (chown_ && ::lchown((home_ / path).c_str(), uid_, gid_) != 0) Fail(path);
  }

  [[noreturn]] void Fail(const std::string& path) {
    throw BackupError("cannot restore " + (home_ / path).string() + ": " + ErrnoText());
  }

  fs::path home_;
  bool chown_;
  uid_t uid_;
  gid_t gid_;
  std::set<std::string> made_;
  std::map<std::string, mode_t> directory_modes_;
};

// old + rest -> new + rest, for the first spelling of the old home that value starts with.
std::optional<std::string> Rebased(const std::string& value,
                                   const std::vector<std::string>& old_homes,
                                   const std::string& new_home) {
  for (const std::string& old_home : old_homes) {
    if (old_home != new_home && WithSlash(value).starts_with(old_home)) {
      return new_home + value.substr(std::min(value.size(), old_home.size()));
    }
  }
  return std::nullopt;
}

// The settings' directories and the accounts' mail stores that named places in the old home
// name the same places in the new one.
void MoveIntoNewHome(const fs::path& home, const Manifest& manifest) {
  const std::string new_home = WithSlash(home.string());
  const fs::path settings_file = home / SettingsStore::kFileName;
  std::error_code error;
  try {
    if (fs::exists(settings_file, error)) {
      SettingsStore settings(settings_file);
      if (settings.OpenKey(kSettingsKey, false)) {
        for (const char* name : kDirectorySettings) {
          if (!settings.ValueExists(name) ||
              settings.GetDataType(name) != SettingsValueKind::kString) {
            continue;
          }
          if (auto moved = Rebased(settings.ReadString(name), manifest.homes, new_home)) {
            settings.WriteString(name, *moved);
          }
        }
      }
    }
  } catch (const SettingsError& e) {
    throw BackupError("cannot move the settings into " + home.string() + ": " + e.what());
  }
  const fs::path users = UsersDirectoryOf(home);
  if (!fs::exists(users / TUserList::kFileName, error)) return;
  CollectedMessages messages;
  TUserList list;
  if (!list.Open(users)) {
    throw BackupError("cannot open the restored user database: " + messages.Last());
  }
  try {
    list.EditUnderLock([&](std::vector<TUserRecord>& records) {
      bool changed = false;
      for (TUserRecord& record : records) {
        if (auto moved = Rebased(record.UserDir, manifest.homes, new_home)) {
          if (moved->size() > TUserRecord::kUserDirCapacity) {
            throw BackupError(
                "the mail store of " + record.UserName + " would be a path longer than " +
                std::to_string(TUserRecord::kUserDirCapacity) + " bytes in " + home.string());
          }
          record.UserDir = *moved;
          changed = true;
        }
      }
      return changed;
    });
  } catch (const BackupError&) {
    throw;
  } catch (const std::exception& e) {
    throw BackupError("cannot save the restored user database: " + std::string(e.what()));
  }
}

fs::path AbsoluteNormal(const fs::path& path) {
  fs::path normal = fs::absolute(path).lexically_normal();
  if (!normal.has_filename() && normal.has_parent_path() && normal != normal.root_path()) {
    normal = normal.parent_path();
  }
  return normal;
}

}  // namespace

BackupSummary BackupHome(const fs::path& home_argument, const fs::path& file_argument,
                         const BackupOptions& options) {
  std::error_code error;
  if (!fs::is_directory(home_argument, error)) {
    throw BackupError("the home " + home_argument.string() + " is not a directory");
  }
  const fs::path home = fs::canonical(home_argument);
  const fs::path file = AbsoluteNormal(file_argument);
  if (!file.has_filename()) throw BackupError("no archive file name given");
  const fs::path file_directory = fs::weakly_canonical(file.parent_path(), error);
  if (error || IsInside(file_directory, home)) {
    throw BackupError("the archive " + file.string() + " would lie inside the home " +
                      home.string() + "; write it elsewhere");
  }
  if (!options.force && fs::exists(fs::symlink_status(file, error))) {
    throw BackupError(file.string() + " exists; give --force to replace it");
  }
  const fs::path users = fs::weakly_canonical(UsersDirectoryOf(home), error);
  if (error || !IsInside(users, home)) {
    throw BackupError("the users directory " + users.string() + " is not inside the home " +
                      home.string() + "; back it up separately");
  }

  Manifest manifest;
  manifest.homes.push_back(WithSlash(home.string()));
  const fs::path spelled = AbsoluteNormal(home_argument);
  if (spelled != home) manifest.homes.push_back(WithSlash(spelled.string()));
  manifest.users = fs::relative(users, home).generic_string();
  if (manifest.users == ".") manifest.users.clear();

  const fs::path temporary = file.string() + ".tmp";
  BackupSummary summary;
  try {
    {
      Descriptor fd(
          ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (fd.Get() < 0) {
        throw BackupError("cannot create " + temporary.string() + ": " + ErrnoText());
      }
      TarGzWriter writer(fd.Get());
      HomeWalk(home, users, writer, options, summary, manifest).Run();
      ArchiveEntry description;
      description.path = kBackupManifestName;
      description.mode = 0600;
      description.mtime = ::time(nullptr);
      description.data = ManifestText(manifest);
      writer.Add(description);
      writer.Finish();
      if (::fsync(fd.Get()) != 0) {
        throw BackupError("cannot write " + temporary.string() + ": " + ErrnoText());
      }
      fd.Close(temporary.string());
    }
    const CheckedArchive checked = CheckArchiveFile(temporary);
    if (checked.summary.files != summary.files || checked.summary.messages != summary.messages) {
      throw BackupError(temporary.string() + " does not read back as written");
    }
    summary.archive_bytes = checked.summary.archive_bytes;
    const unsigned flags = options.force ? 0 : RENAME_NOREPLACE;
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, file.c_str(), flags) != 0) {
      throw BackupError(errno == EEXIST ? file.string() + " exists; give --force to replace it"
                                        : "cannot rename " + temporary.string() + " to " +
                                              file.string() + ": " + ErrnoText());
    }
  } catch (const ArchiveError& e) {
    ::unlink(temporary.c_str());
    throw BackupError(e.what());
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  const Descriptor directory(
      ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.Get() >= 0) ::fsync(directory.Get());
  summary.home = manifest.homes.front();
  return summary;
}

BackupSummary VerifyBackup(const fs::path& file) { return CheckArchiveFile(file).summary; }

BackupSummary RestoreHome(const fs::path& file, const fs::path& home_argument) {
  const fs::path home = AbsoluteNormal(home_argument);
  std::error_code error;
  bool created = false;
  if (fs::exists(fs::symlink_status(home, error))) {
    if (!fs::is_directory(fs::symlink_status(home, error))) {
      throw BackupError(home.string() + " is not a directory");
    }
    if (!fs::is_empty(home, error)) {
      throw BackupError(home.string() +
                        " is not empty; restore only into an empty or missing directory");
    }
  } else {
    if (!CreatePrivateDirectories(home)) {
      throw BackupError("cannot create " + home.string() + ": " + ErrnoText());
    }
    created = true;
  }
  RestoredTree tree(home, created);
  const CheckedArchive checked = CheckArchiveFile(file);

  struct statvfs room {};
  if (::statvfs(home.c_str(), &room) == 0) {
    // Each file and directory takes at least a block of its own.
    const std::uint64_t needed =
        checked.summary.bytes + (checked.summary.files + checked.summary.directories) * 4096;
    const std::uint64_t free = std::uint64_t{room.f_bavail} * room.f_frsize;
    if (needed > free) {
      throw BackupError("not enough room in " + home.string() + ": " + std::to_string(needed) +
                        " bytes needed, " + std::to_string(free) + " free");
    }
  }
  struct stat home_info {};
  if (::stat(home.c_str(), &home_info) != 0) {
    throw BackupError("cannot read " + home.string() + ": " + ErrnoText());
  }
  const Descriptor fd(OpenArchive(file));
  try {
    Unpacker(home, home_info).Unpack(fd.Get());
  } catch (const ArchiveError& e) {
    throw BackupError(file.string() + ": " + e.what());
  }
  MoveIntoNewHome(home, checked.manifest);
  const Descriptor home_fd(::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (home_fd.Get() < 0 || ::syncfs(home_fd.Get()) != 0) {
    throw BackupError("cannot flush " + home.string() + ": " + ErrnoText());
  }
  tree.Keep();
  return checked.summary;
}

}  // namespace kestrune
