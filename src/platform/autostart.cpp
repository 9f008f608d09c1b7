// Writing and removing the XDG autostart entry.
#include "platform/autostart.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include "platform/atomic_file.h"

namespace kestrune {
namespace {

// One Exec argument: always in double quotes, with ", `, $ and \ escaped by a
// backslash; then the desktop-file string rules double every backslash, and "%"
// (a field code) is written "%%".
std::string ExecArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (char c : argument) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      throw std::invalid_argument("a path with a control character cannot be autostarted");
    }
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string escaped;
  for (char c : quoted) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '%') {
      escaped += "%%";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

}  // namespace

std::filesystem::path DefaultAutostartEntryPath() {
  std::filesystem::path config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/') {
    config = xdg;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    config = std::filesystem::path(home) / ".config";
  } else {
    return {};
  }
  return config / "autostart" / "kestrune.desktop";
}

bool AutostartEntry::Exists() const {
  std::error_code error;
  return std::filesystem::exists(file_, error);
}

std::string AutostartEntry::Contents(const std::filesystem::path& program,
                                     const std::optional<std::filesystem::path>& home) {
  std::string exec = ExecArgument(program.string());
  if (home) exec += " --home " + ExecArgument(home->string());
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Kestrune\n"
         "Comment=Kestrune web-mail gateway console\n"
         "Exec=" +
         exec +
         "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

void AutostartEntry::Write(const std::filesystem::path& program,
                           const std::optional<std::filesystem::path>& home) {
  std::string contents = Contents(program, home);
  std::filesystem::create_directories(file_.parent_path());
  ReplaceFileAtomically(file_, contents, 0644);
}

void AutostartEntry::Remove() {
  std::error_code error;
  std::filesystem::remove(file_, error);
  if (error) throw std::system_error(error, "cannot remove " + file_.string());
}

}  // namespace kestrune
