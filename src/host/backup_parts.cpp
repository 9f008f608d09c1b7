// The shared pieces of backup, check and restore.
#include "host/backup_parts.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "platform/settings_store.h"
#include "store/contacts_db.h"
#include "store/mail_store_paths.h"
#include "store/user_list.h"

namespace kestrune::backup_parts {

std::string ErrnoText() { return std::strerror(errno); }

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

fs::path AbsoluteNormal(const fs::path& path) {
  fs::path normal = fs::absolute(path).lexically_normal();
  if (!normal.has_filename() && normal.has_parent_path() && normal != normal.root_path()) {
    normal = normal.parent_path();
  }
  return normal;
}

}  // namespace kestrune::backup_parts
