// The "mail" commands: receive, send and timer runs for cron, scripts and tests, on the
// same engine code and mail-store locks as a running server, so both may work on the
// same program directory. Every line of the run is printed and flushed as it happens.
#include "host/mail_commands.h"

#include <csignal>
#include <ostream>

#include "engines/mail_runs.h"
#include "host/admin_commands.h"
#include "log/visible_text.h"
#include "settings/program_config.h"
#include "store/user_list.h"

namespace kestrune {

namespace {

constexpr const char* kUsage =
    "usage: kestrune [--home DIR] mail receive [USER] | send [USER] | run";
constexpr std::size_t kMaxLineBytes = 4096;

// SIGTERM and SIGINT end a run the way the server's exit path does: the fetch stops
// without committing anything on the POP3 server. A second signal ends the program.
std::atomic<bool> stop_requested{false};

extern "C" void RequestStop(int signal_number) {
  stop_requested.store(true);
  std::signal(signal_number, SIG_DFL);
}

class StopOnSignals {
 public:
  StopOnSignals() {
    stop_requested.store(false);
    previous_term_ = std::signal(SIGTERM, RequestStop);
    previous_int_ = std::signal(SIGINT, RequestStop);
  }
  ~StopOnSignals() {
    std::signal(SIGTERM, previous_term_);
    std::signal(SIGINT, previous_int_);
  }

 private:
  void (*previous_term_)(int);
  void (*previous_int_)(int);
};

}  // namespace

int RunMailCommand(const std::filesystem::path& program_directory,
                   const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const bool known =
      !args.empty() && (args[0] == "receive" || args[0] == "send" || args[0] == "run");
  const std::size_t max_words = !args.empty() && args[0] == "run" ? 1 : 2;
  if (!known || args.size() > max_words || (args.size() == 2 && args[1].empty())) {
    err << "kestrune: " << kUsage << std::endl;
    return kExitUsage;
  }

  SettingsHost host;
  host.program_directory = program_directory;
  ProgramSettings settings(std::move(host));
  settings.LoadSettings();
  const TProgramConfig& config = settings.Config();
  if (config.UserDirectories.empty()) {
    err << "kestrune: the users directory is not known (the settings could not be read)"
        << std::endl;
    return kExitFailure;
  }
  TUserList users;
  if (!users.Open(config.UserDirectories)) {
    err << "kestrune: cannot open the user database" << std::endl;
    return kExitFailure;
  }

  StopOnSignals signals;
  MailRunContext context{config, users,
                         [&out](std::string_view line) {
                           out << VisibleTextLimited(line, kMaxLineBytes) << '\n' << std::flush;
                         },
                         &stop_requested};
  int status = kExitSuccess;
  if (args[0] == "run") {
    status = TimedMailRun(context) ? kExitSuccess : kExitFailure;
  } else if (args.size() == 2) {
    const int result =
        args[0] == "receive" ? ReceiveUser(context, args[1]) : SendUser(context, args[1]);
    if (result == 2) {
      err << "kestrune: no user named " << VisibleText(args[1]) << std::endl;
      return kExitFailure;
    }
    status = result == 0 ? kExitSuccess : kExitFailure;
  } else {
    const bool ok =
        args[0] == "receive" ? ReceiveMsgs(context) : RunSendMsgs(context) == SendRunEnd::kOk;
    status = ok ? kExitSuccess : kExitFailure;
  }
  if (stop_requested.load()) status = kExitFailure;
  return status;
}

}  // namespace kestrune
