// The "backup" and "restore" commands of the command line:
//   kestrune [--home DIR] backup [--force] FILE
//   kestrune backup --verify FILE
//   kestrune restore FILE --home DIR
// They run before the program directory is prepared: a backup never creates the home it
// reads, and a restore needs its target empty.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace kestrune {

bool IsBackupCommand(const std::string& word);

// command: the command word and what follows it; home: --home given before the command.
// Exit status 0 success, 1 failure (one line "kestrune: ..." on err), 2 usage error.
int RunBackupCommand(const std::vector<std::string>& command,
                     const std::optional<std::filesystem::path>& home, std::ostream& out,
                     std::ostream& err);

}  // namespace kestrune
