// The headless server: start order, start failures, the first start, the timers and
// the exit path. Signals are taken by sigwait on the main thread; every other thread
// is started with SIGTERM and SIGINT blocked.
#include "host/headless_host.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <ostream>
#include <thread>

#include "host/admin_commands.h"
#include "host/command_line.h"
#include "host/first_start.h"
#include "host/server_run.h"
#include "log/debug_log.h"
#include "platform/instance_lock.h"
#include "platform/operator_messages.h"
#include "settings/program_config.h"
#include "store/user_list.h"
#include "web/toolkit/listener_error.h"

namespace kestrune {
namespace {

// Operator messages become log lines; their "\r" line breaks become separate lines.
class LogOperatorMessages : public OperatorMessages {
 public:
  LogOperatorMessages() { SetOperatorMessages(this); }
  ~LogOperatorMessages() override { SetOperatorMessages(nullptr); }
  void ShowMessage(std::string_view text) override { AddDebugLines(text); }

  static void AddDebugLines(std::string_view text) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = text.find('\r', start);
      AddDebugLine(text.substr(start, end == std::string_view::npos ? end : end - start));
      if (end == std::string_view::npos) break;
      start = end + 1;
    }
  }
};

// The start failure's lines, and its exit status. Headless mode repairs nothing: the
// lines say which setting to change.
int ReportStartFailure(const ListenerStartError& failure) {
  switch (failure.kind()) {
    case ListenerStartError::Kind::kPortInUse:
      LogOperatorMessages::AddDebugLines(
          "Kestrune encountered an Error while attempting to bind to the specified web server "
          "ports. The ports could be in use or unavailable.");
      AddDebugLine(failure.what());
      AddDebugLine("Choose other ports with: kestrune settings set Port N (and SSLPort N)");
      return kExitPortInUse;
    case ListenerStartError::Kind::kPrivateKey:
      AddDebugLine(
          "Kestrune encountered an Error while loading the SSL Certificate, the password "
          "supplied is either not set or incorrect.");
      AddDebugLine(failure.what());
      AddDebugLine(
          "Give the key's password with: kestrune settings set SSLPassword --value-file F "
          "(or turn HTTPS off: kestrune settings set EnableSSL 0)");
      return kExitPrivateKey;
    case ListenerStartError::Kind::kCertificates:
      LogOperatorMessages::AddDebugLines(
          "Error loading SSL certificates, this can be caused by either\rinvalid certificates "
          "or they might not exist.");
      AddDebugLine(failure.what());
      AddDebugLine(
          "Replace cert.pem, key.pem and root.pem in the program directory, or turn HTTPS "
          "off: kestrune settings set EnableSSL 0");
      return kExitCertificates;
    case ListenerStartError::Kind::kAddress:
      LogOperatorMessages::AddDebugLines(
          "Error Binding to specified IP Address, The IP Address either,\rdoes not exist or is "
          "not connected.");
      AddDebugLine(failure.what());
      AddDebugLine("Listen on all addresses with: kestrune settings set BindToIP 0");
      return kExitBoundAddress;
  }
  return kExitFailure;
}

// SIGTERM and SIGINT, blocked in this thread and every thread it starts afterwards.
sigset_t BlockStopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

bool IsInteractive() { return isatty(STDIN_FILENO) == 1; }

// While the first start asks its questions, SIGINT (Ctrl-C) or SIGTERM ends the program
// at once, with the terminal's settings (echo turned off for a password) restored. The
// stop signals stay blocked; a thread of its own waits for them.
class SetupInterruption {
 public:
  explicit SetupInterruption(const sigset_t& signals) : signals_(signals) {
    have_terminal_ = isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &terminal_) == 0;
    watcher_ = std::thread([this] { Watch(); });
  }
  ~SetupInterruption() {
    done_ = true;
    watcher_.join();
  }
  SetupInterruption(const SetupInterruption&) = delete;
  SetupInterruption& operator=(const SetupInterruption&) = delete;

 private:
  void Watch() {
    const timespec poll_interval{0, 100'000'000};
    while (!done_) {
      if (sigtimedwait(&signals_, nullptr, &poll_interval) > 0) {
        if (have_terminal_) tcsetattr(STDIN_FILENO, TCSANOW, &terminal_);
        static constexpr char kMessage[] = "\nkestrune: the first start was interrupted\n";
        [[maybe_unused]] auto ignored = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        std::_Exit(kExitNotSetUp);
      }
    }
  }

  sigset_t signals_;
  bool have_terminal_ = false;
  termios terminal_{};
  std::atomic<bool> done_{false};
  std::thread watcher_;
};

}  // namespace

int RunHeadless(const ProgramOptions& options, ProgramSettings& settings, std::ostream& out,
                std::ostream& err) {
  const std::filesystem::path home = settings.Host().program_directory;
  // Held until the process ends; checked before the settings are touched.
  InstanceLock lock(home / InstanceLock::kFileName);
  if (!lock.Acquired()) {
    err << "Kestrune is already running." << std::endl;
    return kExitAlreadyRunning;
  }
  const sigset_t stop_signals = BlockStopSignals();

  TDebugLog& log = DebugLog();
  log.SetEcho(&out);
  LogOperatorMessages operator_messages;
  ServerRun run(settings);
  try {
    run.Start();
  } catch (const ListenerStartError& failure) {
    const int status = ReportStartFailure(failure);
    err << "kestrune: the web server could not start: " << failure.what() << std::endl;
    log.SetEcho(nullptr);
    return status;
  }

  // First start: browsers get no pages until "Admin" exists.
  TUserList& users = run.Users();
  if (run.UsersOpen() && users.GetCount() == 0) {
    AddDebugLine("The user database holds no user: first start.");
    // A dialogue has the terminal to itself; its lines are in the log all the same.
    const bool dialogue = !options.setup.Any() && IsInteractive();
    if (dialogue) log.SetEcho(nullptr);
    StreamTerminal terminal(std::cin, out, STDIN_FILENO);
    FirstStartOutcome outcome;
    {
      SetupInterruption interruption(stop_signals);
      outcome = RunFirstStart(options.setup, IsInteractive(), terminal, settings, users, err);
    }
    log.SetEcho(&out);
    if (outcome != FirstStartOutcome::kCreated) {
      AddDebugLine("Kestrune Server stopped: the first start was not completed.");
      log.SetEcho(nullptr);
      return kExitNotSetUp;
    }
    AddDebugLine("The \"Admin\" account has been created.");
  } else if (options.setup.Any()) {
    AddDebugLine("The first-start options are not used: the user database already holds users.");
  }
  run.SetReady();
  AddDebugLine("Kestrune Server ready at " + DateTimeText(NowAsDateValue()));

  int received = 0;
  while (sigwait(&stop_signals, &received) != 0) {
  }

  // Exit path: a mail run ends without committing, requests in flight finish, then
  // the settings and the user database are saved.
  AddDebugLine(std::string("Kestrune Server stopping (") +
               (received == SIGINT ? "SIGINT" : "SIGTERM") + ") at " +
               DateTimeText(NowAsDateValue()));
  const TProgramConfig& config = settings.Config();
  ExitWindowState window;
  window.left = config.MainWindowLeft;
  window.top = config.MainWindowTop;
  window.width = config.MainWindowWidth;
  window.height = config.MainWindowHeight;
  run.Stop(window);
  log.SetEcho(nullptr);
  return kExitStopped;
}

int RunSetupCommand(const ProgramOptions& options, ProgramSettings& settings, std::ostream& out,
                    std::ostream& err) {
  const sigset_t stop_signals = BlockStopSignals();
  LogOperatorMessages operator_messages;
  DebugLog().SetEcho(&err);
  settings.LoadSettings();
  TUserList users;
  if (!users.Open(settings.Config().UserDirectories)) {
    err << "kestrune: cannot open the user database" << std::endl;
    DebugLog().SetEcho(nullptr);
    return kExitFailure;
  }
  DebugLog().SetEcho(nullptr);
  if (users.GetCount() != 0) {
    err << "kestrune: the user database already holds users; the first-start set-up is only "
           "for an empty one"
        << std::endl;
    return kExitFailure;
  }
  StreamTerminal terminal(std::cin, out, STDIN_FILENO);
  SetupInterruption interruption(stop_signals);
  switch (RunFirstStart(options.setup, IsInteractive(), terminal, settings, users, err)) {
    case FirstStartOutcome::kCreated:
      return kExitSuccess;
    case FirstStartOutcome::kFailed:
      return kExitFailure;
    default:
      return kExitNotSetUp;
  }
}

}  // namespace kestrune
