// Administrator commands for headless servers and scripts, on the same data-file code
// and locks as the server: users list/add/delete/passwd, index USER, index-rebuild USER,
// contacts USER, settings list/get/set. Output: one record per line, fields separated by
// one TAB, no header. Passwords are read from files, never taken from the command line.
#pragma once

#include <functional>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrune {

class ProgramSettings;

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Thrown when a command was not given correctly (exit 2).
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Runs command and returns its status; a UsageError becomes exit 2 and any other
// exception exit 1, each reported as one line "kestrune: ..." on err (control characters
// shown escaped: names given on the command line are in these texts).
int RunReportingFailures(std::ostream& err, const std::function<int()>& command);

// Whether word names an administrator command ("users", "index", ...).
bool IsAdminCommand(const std::string& word);

// Runs command (its first element is the command word) against the loaded settings.
// Failures write one line "kestrune: ..." to err.
int RunAdminCommand(const std::vector<std::string>& command, ProgramSettings& settings,
                    std::ostream& out, std::ostream& err);

}  // namespace kestrune
