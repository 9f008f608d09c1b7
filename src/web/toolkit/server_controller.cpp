// Setting conversions and checks of the toolkit controller.
#include "web/toolkit/server_controller.h"

#include <stdexcept>

namespace kestrune {

TrackingMethod TrackingMethodFromSetting(long long value) {
  switch (value) {
    case 1:
      return TrackingMethod::tmCookie;
    case 2:
      return TrackingMethod::tmHidden;
    default:
      return TrackingMethod::tmURL;
  }
}

NonSSLMode NonSSLModeFromSetting(long long value) {
  switch (value) {
    case 1:
      return NonSSLMode::nsBlock;
    case 2:
      return NonSSLMode::nsRedirect;
    default:
      return NonSSLMode::nsAccept;
  }
}

bool StrictTransportSecurityFromSetting(long long value, NonSSLMode non_ssl_request) {
  if (value == 0) return false;
  if (value == 1) return true;
  return non_ssl_request == NonSSLMode::nsRedirect;
}

void TIWServerController::SetSessionTimeout(int minutes) {
  if (minutes < 0 || minutes > 600) throw std::invalid_argument("Invalid session timeout value.");
  session_timeout_ = minutes;
}

void TIWServerController::SetDirectories(const std::filesystem::path& program_dir,
                                         const std::filesystem::path& installed_data_dir) {
  ProgramDir = program_dir;
  CacheDir = program_dir / "Cache";
  FilesDir = program_dir / "Files";
  InstalledFilesDir = installed_data_dir / "Files";
  ResourceDir = installed_data_dir;
  // Templates are looked up in the program directory first; a fresh home without its
  // own Templates folder uses the installation's.
  TemplateDir = std::filesystem::is_directory(program_dir / "Templates")
                    ? program_dir / "Templates"
                    : installed_data_dir / "Templates";
}

}  // namespace kestrune
