// Headless start: one instance per program directory, then the settings.
#include "host/headless_host.h"

#include <ostream>

#include "host/command_line.h"
#include "settings/program_config.h"
#include "platform/instance_lock.h"

namespace kestrune {

int RunHeadless(const ProgramOptions& options, ProgramSettings& settings, std::ostream& out,
                std::ostream& err) {
  const std::filesystem::path directory = settings.Host().program_directory;
  // Held until the process ends; checked before the settings are touched.
  InstanceLock lock(directory / InstanceLock::kFileName);
  if (!lock.Acquired()) {
    err << "Kestrune is already running." << std::endl;
    return 1;
  }
  settings.LoadSettings();
  out << "Kestrune " << kVersion << ": program directory " << directory.string() << '\n'
      << "Settings loaded from " << settings.SettingsFile().string() << '\n'
      << "Nothing to serve yet: the web server is not part of this build." << std::endl;
  settings.ClearPasswordKey();
  return 0;
}

}  // namespace kestrune
