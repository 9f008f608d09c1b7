// The walk of a home into an archive. Lock order in a mail store is the engines' own: the
// fetch and send locks first (held for the whole store), then Emails.Dat's lock. A message
// file is copied only when a live record names it: a new message's file is written before its
// record, and a purge marks the record before it removes the file, so a file named by a record
// read under the lock is complete, and the index copy never names a file the copy lacks.
#include "host/home_backup.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "engines/mail_store_lock.h"
#include "host/backup_parts.h"
#include "host/tar_archive.h"
#include "platform/file_lock.h"
#include "platform/settings_store.h"
#include "store/mail_store_paths.h"
#include "store/user_list.h"

namespace kestrune {
namespace {

using namespace backup_parts;

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
      // Message files are copied for the records that name them (a file without a record
      // is one being written, or a leftover).
      return name.starts_with("Search") || name == "Uploads" || name == TUserEmailDB::kFileName ||
             name.ends_with(".eml");
    }
    if (context == Context::kUsers && name == TUserList::kFileName) return true;
    return parent == "Files" && (name == "Prints" || name == "Attachments");
  }

  void Walk(const std::string& relative, Context context) {
    const fs::path directory = Absolute(relative);
    if (context == Context::kUsers) {
      if (auto users = AddLockedFile(Join(relative, TUserList::kFileName))) {
        NoteStoresOutside(users->bytes);
      }
    }
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
    // The message files of the records seen first are copied without holding the index's
    // lock (they are complete: a file is written before its record). Under the lock, the
    // index is read again and the files of records added meanwhile are copied.
    const std::string index_path = Join(store, TUserEmailDB::kFileName);
    std::optional<OpenedFile> index = ReadIndex(index_path);
    Walk(store, Context::kMailStore);
    if (index) {
      for (const std::string& file :
           NeededMessageFiles(IndexRecords(scratch_, index->bytes, index_path))) {
        AddMessageFile(Join(store, file));
      }
    }
    const FileLock index_lock(Absolute(index_path));
    index = ReadRegularFile(Absolute(index_path));
    if (!index) return;
    ++summary_.mail_stores;
    Add(index_path, *index);
    for (const std::string& file :
         NeededMessageFiles(IndexRecords(scratch_, index->bytes, index_path))) {
      const std::string path = Join(store, file);
      if (AddMessageFile(path)) {
        ++summary_.messages;
      } else {
        manifest_.missing.insert(path);
        summary_.notes.push_back("the message file " + path + " named by " + index_path +
                                 " was already missing");
      }
    }
  }

  std::optional<OpenedFile> ReadIndex(const std::string& path) {
    const FileLock lock(Absolute(path));
    return ReadRegularFile(Absolute(path));
  }

  // Whether the message file is in the archive (added now unless it already was).
  bool AddMessageFile(const std::string& path) {
    if (added_.contains(path)) return true;
    std::optional<OpenedFile> opened = ReadRegularFile(Absolute(path));
    if (!opened) return false;  // purged meanwhile, or missing
    Add(path, *opened);
    return true;
  }

  std::optional<OpenedFile> AddLockedFile(const std::string& path) {
    const fs::path file = Absolute(path);
    std::error_code error;
    if (!fs::exists(fs::symlink_status(file, error))) return std::nullopt;
    const FileLock lock(file);
    std::optional<OpenedFile> opened = ReadRegularFile(file);
    if (opened) Add(path, *opened);
    return opened;
  }

  // Accounts whose mail store is not a directory of the users directory: the server does not
  // open them either, and the backup does not hold them.
  void NoteStoresOutside(const std::string& users_file) {
    CollectedMessages messages;
    TUserList users;
    if (!users.Open(scratch_.Holding(TUserList::kFileName, users_file))) {
      throw BackupError("the user database cannot be read: " + messages.Last());
    }
    for (int i = 1; i <= users.GetCount(); ++i) {
      TUserRecord user;
      if (users.GetUser(i, user) && !IsUserDirInside(user.UserDir, WithSlash(users_.string()))) {
        summary_.notes.push_back("the mail store " + user.UserDir + " of " + user.UserName +
                                 " is not inside the users directory and is not in the backup");
      }
    }
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

}  // namespace kestrune
