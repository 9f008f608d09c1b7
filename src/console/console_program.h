// The console's program entry: the same options and commands as kestrune; with a
// display, the server runs inside the console window until Exit, SIGTERM, SIGINT,
// SIGHUP or the end of the desktop session.
#pragma once

#include <filesystem>

namespace kestrune {

class ListenerStartError;
class ProgramSettings;

// Exit status: the headless host's (0 stopped, 3 already running, 4 to 7 a failed
// start, 8 first start not completed), 1 without a display.
int RunConsole(int& argc, char** argv);

// After the listener could not start: the repair dialog for the kind of failure, or the
// error with a question before a setting is changed. Returns the exit status.
int RecoverFromFailedStart(const ListenerStartError& failure, ProgramSettings& settings,
                           const std::filesystem::path& home);

}  // namespace kestrune
