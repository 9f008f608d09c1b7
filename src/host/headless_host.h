// The server host without a display: the single-instance lock, the settings, and (for
// now) a notice that there is nothing to serve yet.
#pragma once

#include <iosfwd>

namespace kestrune {

class ProgramSettings;
struct ProgramOptions;

// Exit status 0, or 1 when another instance runs in the same program directory.
int RunHeadless(const ProgramOptions& options, ProgramSettings& settings, std::ostream& out,
                std::ostream& err);

}  // namespace kestrune
