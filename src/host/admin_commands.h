// Administrator commands for headless servers and scripts, on the same data-file code
// and locks as the server: users list/add/delete/passwd, index USER, index-rebuild USER,
// contacts USER, settings list/get/set. Output: one record per line, fields separated by
// one TAB, no header. Passwords are read from files, never taken from the command line.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace kestrune {

class ProgramSettings;

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Whether word names an administrator command ("users", "index", ...).
bool IsAdminCommand(const std::string& word);

// Runs command (its first element is the command word) against the loaded settings.
// Failures write one line "kestrune: ..." to err.
int RunAdminCommand(const std::vector<std::string>& command, ProgramSettings& settings,
                    std::ostream& out, std::ostream& err);

}  // namespace kestrune
