// A user's own choices that Users.Dat has no field for (the order of folder rows, rows per
// folder page), kept in a small TOML file in the user's mail store and saved with the
// data files' locked atomic save. A missing file gives the defaults; a damaged or
// hostile one gives the defaults too, with the reason for the caller's log.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kestrune {

struct UserPreferences {
  // Folder rows newest first instead of in index order.
  bool NewestFirst = false;
  // Rows per folder page; nullopt follows the server's FolderPageSize.
  std::optional<int> PageSize;

  bool operator==(const UserPreferences&) const = default;
};

inline constexpr const char* kPreferencesFileName = "Preferences.toml";
// The largest page size a preferences file may name, and the largest file read.
inline constexpr int kMaxPreferencesPageSize = 10000;
inline constexpr std::size_t kMaxPreferencesFileBytes = 16 * 1024;

struct LoadedPreferences {
  UserPreferences preferences;
  std::string problem;  // empty, or why the file was not taken (the defaults are used)
};

// The preferences of the mail store `store`.
LoadedPreferences LoadUserPreferences(const std::filesystem::path& store);

// Writes the preferences under the file's lock, atomically. Throws when it cannot.
void SaveUserPreferences(const std::filesystem::path& store, const UserPreferences& preferences);

}  // namespace kestrune
