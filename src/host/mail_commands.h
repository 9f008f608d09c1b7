// The "mail" commands of the command line: one-off receive, send and timer runs on the
// same engine code and locks as a running server, printing the run's lines as they happen.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace kestrune {

// args are what follows "mail" ("receive", "send USER", "run", ...).
// Exit status: 0 the run ended without error, 1 it ended with an error or the user is
// unknown, 2 usage error.
int RunMailCommand(const std::filesystem::path& program_directory,
                   const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace kestrune
