// The program's command line: options every run understands (--home DIR, --headless,
// the Minimize and LaunchBrowser switches, --version, --help) and the choice between
// the administrator commands (users, index, contacts, settings), the mail commands, the
// first-start set-up and the server host.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/setup_options.h"
#include "host/version.h"

namespace kestrune {

struct ProgramOptions {
  std::optional<std::filesystem::path> home;
  bool headless = false;
  bool minimize = false;        // "Minimize": start with the console in the tray
  bool launch_browser = false;  // "LaunchBrowser": open the start page in a browser
  bool version = false;
  bool help = false;
  SetupOptions setup;                // unattended first start
  std::vector<std::string> command;  // the administrator command and its arguments
  std::string error;                 // a usage error, empty when none
};

// The options before the first word that is not an option; that word and everything
// after it are the command. "Minimize" and "LaunchBrowser" are recognised after "-",
// "--" or "/" in any letter case.
ProgramOptions ParseProgramOptions(const std::vector<std::string>& args);

// The usage text printed by --help and after a usage error.
std::string UsageText();

struct SettingsHost;
// The program directory of a run (--home, $KESTRUNE_HOME, the executable's directory),
// created when missing and made the process's program directory. nullopt, with a line
// on err naming program, when it cannot be created.
std::optional<SettingsHost> PrepareProgramDirectory(const ProgramOptions& options,
                                                    std::string_view program, std::ostream& err);

// Runs the program for args (without the program name): exit status 0 on success,
// 1 when the operation failed (one line on err), 2 for a usage error.
int RunProgram(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kestrune
