// The console's program entry: the same options and commands as kestrune; with a
// display, the server runs inside the console window until Exit, SIGTERM, SIGINT,
// SIGHUP or the end of the desktop session.
#pragma once

namespace kestrune {

// Exit status: the headless host's (0 stopped, 3 already running, 4 to 7 a failed
// start, 8 first start not completed), 1 without a display.
int RunConsole(int& argc, char** argv);

}  // namespace kestrune
