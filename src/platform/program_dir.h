// The program directory: the root of everything the server writes (settings, users,
// logs, language files, certificates). Chosen once at start from --home, else
// $KESTRUNE_HOME, else the directory of the executable. Read-only installation files
// (page templates, static files, client scripts) are looked up there first, then in
// the installation's data directory.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrune {

// The running executable (/proc/self/exe); empty when it cannot be found.
std::filesystem::path ExecutablePath();

// --home when given, else $KESTRUNE_HOME when set and not empty, else the executable's
// directory; made absolute and normal, without a trailing separator.
std::filesystem::path ResolveProgramDirectory(const std::optional<std::filesystem::path>& home);

// The process-wide program directory, set once by program start-up.
void SetProgramDirectory(const std::filesystem::path& directory);
const std::filesystem::path& ProgramDirectory();

// Where installation files are searched, in order: the program directory, then
// share/kestrune next to the executable's bin/ directory, then the source tree's res/
// directory of a build. Only directories that exist are listed.
std::vector<std::filesystem::path> InstallationDirectories(
    const std::filesystem::path& program_directory);

// The first existing entry (file or directory) named relative (e.g. "Templates") in
// the installation directories. A relative name that is absolute or climbs out with
// ".." is refused (nullopt).
std::optional<std::filesystem::path> FindInstallationFile(
    const std::filesystem::path& program_directory, std::string_view relative);

}  // namespace kestrune
