// The server host without a display: one instance per program directory, the settings,
// the debug log on standard output, the web listener, the first start, the mail and
// log timers on the mail worker thread, and the exit path on SIGTERM or SIGINT.
#pragma once

#include <iosfwd>

namespace kestrune {

class ProgramSettings;
struct ProgramOptions;

// Exit status of the server (the README lists them).
inline constexpr int kExitStopped = 0;         // stopped by SIGTERM/SIGINT, settings saved
inline constexpr int kExitAlreadyRunning = 3;  // another instance holds the program directory
inline constexpr int kExitPortInUse = 4;       // Port or SSLPort could not be bound
inline constexpr int kExitPrivateKey = 5;      // key.pem missing or SSLPassword wrong
inline constexpr int kExitCertificates = 6;    // cert.pem or root.pem missing or broken
inline constexpr int kExitBoundAddress = 7;    // BoundIP is not an address of this machine
inline constexpr int kExitNotSetUp = 8;        // first start without terminal/options, or cancelled

// Runs the server until SIGTERM or SIGINT. Log lines go to out, failures also to err.
int RunHeadless(const ProgramOptions& options, ProgramSettings& settings, std::ostream& out,
                std::ostream& err);

// "kestrune setup": the first-start questions (or the unattended options) for an empty
// user database, without starting the server.
int RunSetupCommand(const ProgramOptions& options, ProgramSettings& settings, std::ostream& out,
                    std::ostream& err);

}  // namespace kestrune
