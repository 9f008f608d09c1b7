// Unpacking a checked archive into an empty home, and moving the settings' directories and
// the accounts' mail stores from the old home's path to the new one.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <map>

#include "host/backup_parts.h"
#include "host/home_backup.h"
#include "host/tar_archive.h"
#include "platform/settings_store.h"
#include "store/data_file.h"
#include "store/user_list.h"

namespace kestrune {
namespace {

using namespace backup_parts;

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

}  // namespace

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
