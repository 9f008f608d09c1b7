// Secrets (passwords) are given to the command line in files, never as arguments, so
// they do not show in the process list or the shell history.
#pragma once

#include <string>

namespace kestrune {

// The first line of a file holding a secret, without its line end; at most 4096
// bytes. The file must be a regular file (a FIFO, a terminal or /dev/null is refused
// without being read). Throws std::runtime_error ("cannot read F", "F is too large",
// "F holds more than one line").
std::string ReadSecretFile(const std::string& path);

}  // namespace kestrune
