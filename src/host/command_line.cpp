// Option parsing and the choice of what a run does.
#include "host/command_line.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <system_error>

#include "host/admin_commands.h"
#include "host/backup_commands.h"
#include "host/headless_host.h"
#include "host/mail_commands.h"
#include "log/visible_text.h"
#include "platform/program_dir.h"
#include "platform/text_encoding.h"
#include "settings/program_config.h"

namespace kestrune {
namespace {

// "Minimize" and "LaunchBrowser" after "-", "--" or "/", in any letter case.
bool IsSwitch(const std::string& arg, std::string_view name) {
  std::string_view rest = arg;
  if (rest.starts_with("--")) {
    rest.remove_prefix(2);
  } else if (rest.starts_with("-") || rest.starts_with("/")) {
    rest.remove_prefix(1);
  } else {
    return false;
  }
  return EqualsIgnoringAsciiCase(rest, name);
}

bool IsOption(const std::string& arg) {
  return arg.size() > 1 && (arg[0] == '-' || (arg[0] == '/' && IsSwitch(arg, "minimize")) ||
                            (arg[0] == '/' && IsSwitch(arg, "launchbrowser")));
}

}  // namespace

ProgramOptions ParseProgramOptions(const std::vector<std::string>& args) {
  ProgramOptions options;
  std::size_t i = 0;
  for (; i < args.size() && IsOption(args[i]); ++i) {
    const std::string& arg = args[i];
    if (arg == "--home") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        options.error = "--home needs a directory";
        return options;
      }
      options.home = args[++i];
    } else if (arg.starts_with("--home=") && arg.size() > 7) {
      options.home = arg.substr(7);
    } else if (arg == "--headless") {
      options.headless = true;
    } else if (IsSwitch(arg, "minimize")) {
      options.minimize = true;
    } else if (IsSwitch(arg, "launchbrowser")) {
      options.launch_browser = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (TakeSetupOption(args, i, options.setup, options.error)) {
      if (!options.error.empty()) return options;
    } else {
      options.error = "unknown option " + VisibleText(arg);
      return options;
    }
  }
  // "setup" takes the set-up options after the word too.
  if (i < args.size() && args[i] == "setup") {
    options.command = {"setup"};
    for (++i; i < args.size(); ++i) {
      if (!TakeSetupOption(args, i, options.setup, options.error)) {
        options.error = "unknown setup option " + VisibleText(args[i]);
      }
      if (!options.error.empty()) return options;
    }
    return options;
  }
  options.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  if (!options.command.empty() && options.command[0] != "mail" &&
      !IsAdminCommand(options.command[0]) && !IsBackupCommand(options.command[0])) {
    options.error = "unknown command " + VisibleText(options.command[0]);
  }
  return options;
}

std::string UsageText() {
  return "Usage: kestrune [--home DIR] [--headless] [--minimize] [--launchbrowser] [SETUP]\n"
         "       kestrune [--home DIR] setup [SETUP]\n"
         "  SETUP (first start, unattended): --admin-password-file F --smtp-server H\n"
         "        [--smtp-port P] [--admin-email A] [--smtp-user U --smtp-password-file F]\n"
         "       kestrune [--home DIR] users list\n"
         "       kestrune [--home DIR] users add NAME --password-file F [--level N] [--email A]\n"
         "                [--display-name T] [--pop-server H] [--pop-port P] [--pop-user U]\n"
         "                [--pop-password-file F] [--leave-emails] [--check-on-login]\n"
         "                [--auto-check] [--auto-add-contacts]\n"
         "       kestrune [--home DIR] users delete NAME\n"
         "       kestrune [--home DIR] users passwd NAME --password-file F\n"
         "       kestrune [--home DIR] index USER\n"
         "       kestrune [--home DIR] index-rebuild USER\n"
         "       kestrune [--home DIR] contacts USER\n"
         "       kestrune [--home DIR] settings list\n"
         "       kestrune [--home DIR] settings get NAME\n"
         "       kestrune [--home DIR] settings set NAME VALUE|--value-file F\n"
         "       kestrune [--home DIR] mail receive [USER]\n"
         "       kestrune [--home DIR] mail send [USER]\n"
         "       kestrune [--home DIR] mail run\n"
         "       kestrune [--home DIR] backup [--force] FILE\n"
         "       kestrune backup --verify FILE\n"
         "       kestrune restore FILE --home DIR\n"
         "       kestrune --version | --help\n"
         "The program directory is --home DIR, else $KESTRUNE_HOME, else the executable's\n"
         "directory. Exit status: 0 success, 1 failure, 2 usage error; the server also\n"
         "3 already running, 4 port in use, 5 private key, 6 certificates, 7 bound\n"
         "address, 8 first start not completed.\n";
}

namespace {

// The user a run as root must not write for: the owner of a program directory that
// belongs to someone else (the packaged service's /var/lib/kestrune). Files written by
// root there would be unreadable to the server that runs as that owner. Empty when
// this run may go on.
std::string ForeignOwner(const std::filesystem::path& program_directory) {
  if (geteuid() != 0) return {};
  struct stat info {};
  if (stat(program_directory.c_str(), &info) != 0 || info.st_uid == 0) return {};
  const passwd* entry = getpwuid(info.st_uid);
  return entry != nullptr ? std::string(entry->pw_name) : std::to_string(info.st_uid);
}

}  // namespace

std::optional<SettingsHost> PrepareProgramDirectory(const ProgramOptions& options,
                                                    std::string_view program, std::ostream& err) {
  SettingsHost host;
  host.program_directory = ResolveProgramDirectory(options.home);
  host.program_file = ExecutablePath();
  if (host.program_directory != host.program_file.parent_path()) {
    host.autostart_home = host.program_directory;
  }
  std::error_code error;
  std::filesystem::create_directories(host.program_directory, error);
  if (!std::filesystem::is_directory(host.program_directory)) {
    err << program << ": cannot create the program directory " << host.program_directory.string()
        << std::endl;
    return std::nullopt;
  }
  if (const std::string owner = ForeignOwner(host.program_directory); !owner.empty()) {
    err << program << ": " << VisibleText(host.program_directory.string()) << " belongs to "
        << VisibleText(owner) << "; run as that user: runuser -u " << VisibleText(owner) << " -- "
        << program << " ..." << std::endl;
    return std::nullopt;
  }
  SetProgramDirectory(host.program_directory);
  return host;
}

int RunProgram(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const ProgramOptions options = ParseProgramOptions(args);
  if (!options.error.empty()) {
    err << "kestrune: " << options.error << "\nTry 'kestrune --help'." << std::endl;
    return kExitUsage;
  }
  if (options.help) {
    out << UsageText();
    return kExitSuccess;
  }
  if (options.version) {
    out << "kestrune " << kVersion << '\n';
    return kExitSuccess;
  }

  // A backup reads the home as it is and a restore needs an empty one: neither prepares it.
  if (!options.command.empty() && IsBackupCommand(options.command.front())) {
    return RunBackupCommand(options.command, options.home, out, err);
  }

  // kestrune never writes the autostart entry (it starts the console); the setting is
  // kept.
  std::optional<SettingsHost> host = PrepareProgramDirectory(options, "kestrune", err);
  if (!host) return kExitFailure;
  ProgramSettings settings(std::move(*host));

  if (!options.command.empty() && options.command.front() == "mail") {
    const std::vector<std::string> mail_args(options.command.begin() + 1, options.command.end());
    return RunMailCommand(settings.Host().program_directory, mail_args, out, err);
  }
  if (!options.command.empty() && options.command.front() == "setup") {
    return RunSetupCommand(options, settings, out, err);
  }
  if (!options.command.empty()) return RunAdminCommand(options.command, settings, out, err);
  if (!options.headless) {
    err << "kestrune: running headless (kestrune-console runs the server in a window)" << std::endl;
  }
  return RunHeadless(options, settings, out, err);
}

}  // namespace kestrune
