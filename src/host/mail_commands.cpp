// Placeholder until the mail engines land: every mail command reports that it is missing.
#include "host/mail_commands.h"

#include <ostream>

namespace kestrune {

int RunMailCommand(const std::filesystem::path&, const std::vector<std::string>&,
                   std::ostream&, std::ostream& err) {
  err << "kestrune: the mail commands are not part of this build yet" << std::endl;
  return 1;
}

}  // namespace kestrune
