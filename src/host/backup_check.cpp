// The check of an archive: every entry read, names and kinds refused as the reader does,
// duplicates and entries below files refused, each data file parsed by the store's reader,
// and every message file a live index record names present.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "host/backup_parts.h"
#include "host/tar_archive.h"
#include "platform/settings_store.h"
#include "store/contacts_db.h"
#include "store/user_list.h"

namespace kestrune {
namespace backup_parts {
namespace {

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

}  // namespace

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

}  // namespace backup_parts

BackupSummary VerifyBackup(const std::filesystem::path& file) {
  return backup_parts::CheckArchiveFile(file).summary;
}

}  // namespace kestrune
