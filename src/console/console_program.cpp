// Start order of the console: options, display, single instance, the server, the window;
// the recovery from a failed start; the stop signals turned into the orderly exit.
#include "console/console_program.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QUrl>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "console/console_dialogs.h"
#include "console/kestrune_window.h"
#include "console/log_feed.h"
#include "host/admin_commands.h"
#include "host/command_line.h"
#include "host/console_host.h"
#include "host/headless_host.h"
#include "log/debug_log.h"
#include "platform/autostart.h"
#include "platform/instance_lock.h"
#include "platform/program_dir.h"
#include "settings/program_config.h"
#include "web/toolkit/listener_error.h"

namespace kestrune {
namespace {

bool HaveDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// The stop signals, blocked in every thread (set before any thread starts) and read
// from a descriptor on the window's thread.
class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&signals_);
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals_, signal_number);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  }
  ~StopSignals() {
    if (fd_ >= 0) close(fd_);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Calls stop(signal name) on the window's thread for each signal that arrives.
  void Watch(QObject* context, std::function<void(const char*)> stop) {
    fd_ = signalfd(-1, &signals_, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd_ < 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, context, [this, stop] {
      signalfd_siginfo info{};
      while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const char* name = info.ssi_signo == SIGINT   ? "SIGINT"
                           : info.ssi_signo == SIGHUP ? "SIGHUP"
                                                      : "SIGTERM";
        stop(name);
      }
    });
  }

 private:
  sigset_t signals_{};
  int fd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
};

int ExitStatusOf(ListenerStartError::Kind kind) {
  switch (kind) {
    case ListenerStartError::Kind::kPortInUse:
      return kExitPortInUse;
    case ListenerStartError::Kind::kPrivateKey:
      return kExitPrivateKey;
    case ListenerStartError::Kind::kCertificates:
      return kExitCertificates;
    case ListenerStartError::Kind::kAddress:
      return kExitBoundAddress;
  }
  return kExitFailure;
}

constexpr const char* kRestart = "You need to restart Kestrune for the changes to take effect";

}  // namespace

// A failed start asks before it changes a setting, shows what failed, and ends with the
// headless host's status for the failure.
int RecoverFromFailedStart(const ListenerStartError& failure, ProgramSettings& settings,
                           const std::filesystem::path& home) {
  std::cerr << "kestrune-console: the web server could not start: " << failure.what() << std::endl;
  AddDebugLine(failure.what());
  ConsoleDialogContext context{settings, home};
  const QString detail = QString::fromUtf8(failure.what());
  switch (failure.kind()) {
    case ListenerStartError::Kind::kPortInUse:
      if (RepairPortsAfterBindFailure(nullptr, context)) {
        QMessageBox::information(nullptr, "Kestrune", kRestart);
      } else {
        QMessageBox::critical(nullptr, "Kestrune",
                              "Kestrune encountered an Error while attempting to bind to the "
                              "specified web server ports. The ports could be in use or "
                              "unavailable.\n\n" +
                                  detail);
      }
      break;
    case ListenerStartError::Kind::kPrivateKey:
      if (RepairSslAfterKeyFailure(nullptr, context)) {
        QMessageBox::information(nullptr, "Kestrune", kRestart);
      } else {
        QMessageBox::critical(nullptr, "Kestrune",
                              "Kestrune encountered an Error while loading the SSL Certificate, "
                              "the password supplied is either not set or incorrect.\n\n" +
                                  detail);
      }
      break;
    case ListenerStartError::Kind::kCertificates:
      if (QMessageBox::critical(nullptr, "Kestrune",
                                "Error loading SSL certificates, this can be caused by either\n"
                                "invalid certificates or they might not exist.\n\n" +
                                    detail + "\n\nDisable SSL Support for the next start?",
                                QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
        settings.DisableSSL();
        QMessageBox::information(nullptr, "Kestrune",
                                 "SSL Support has been disabled, please restart Kestrune.");
      }
      break;
    case ListenerStartError::Kind::kAddress:
      if (QMessageBox::critical(nullptr, "Kestrune",
                                "Error Binding to specified IP Address, The IP Address either,\n"
                                "does not exist or is not connected.\n\n" +
                                    detail + "\n\nDisable IP Address Binding for the next start?",
                                QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
        settings.DisableBinding();
        QMessageBox::information(
            nullptr, "Kestrune",
            "IP Address Binding has been disabled, please restart Kestrune.\n\nif the program "
            "does not start please read the README for instructions on how to correct this "
            "error.");
      }
      break;
  }
  return ExitStatusOf(failure.kind());
}

int RunConsole(int& argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ProgramOptions options = ParseProgramOptions(args);
  // Commands, --help, --version, --headless and usage errors: exactly as kestrune.
  if (!options.error.empty() || options.help || options.version || options.headless ||
      !options.command.empty()) {
    return RunProgram(args, std::cout, std::cerr);
  }
  if (!HaveDisplay()) {
    std::cerr << "kestrune-console: no display (DISPLAY and WAYLAND_DISPLAY are not set); "
                 "run the server without a window with: kestrune --headless"
              << std::endl;
    return kExitFailure;
  }

  std::optional<SettingsHost> host =
      PrepareProgramDirectory(options, "kestrune-console", std::cerr);
  if (!host) return kExitFailure;
  host->autostart_entry = DefaultAutostartEntryPath();
  const std::filesystem::path home = host->program_directory;

  // Held until the process ends; checked before the settings are touched. The refusal's
  // box leaves the stop signals as they are, so SIGTERM still ends a refused instance.
  InstanceLock lock(home / InstanceLock::kFileName);
  if (!lock.Acquired()) {
    std::cerr << "Kestrune is already running." << std::endl;
    QApplication application(argc, argv);
    QMessageBox::information(nullptr, "Kestrune", "Kestrune is already running.");
    return kExitAlreadyRunning;
  }

  StopSignals stop_signals;  // before Qt or the server start a thread
  QApplication application(argc, argv);
  QApplication::setApplicationName("Kestrune");
  QApplication::setQuitOnLastWindowClosed(false);

  // The log also goes to standard output, as in headless mode, so a session's journal
  // (or the terminal the console was started from) keeps it. A closed output must not
  // end the server.
  std::signal(SIGPIPE, SIG_IGN);
  DebugLog().SetEcho(&std::cout);
  struct EchoOff {
    ~EchoOff() { DebugLog().SetEcho(nullptr); }
  } echo_off;

  ProgramSettings settings(std::move(*host));
  LogFeed feed;
  ConsoleHost::Sinks sinks{
      .line = [&feed](std::string_view line) { feed.PushLine(line); },
      .stats = [&feed](const TProgramStat& stats) { feed.PushStats(stats); },
      .message = [&feed](std::string_view text) { feed.PushMessage(text); },
      .mail_running = [&feed](bool running) { feed.PushMailRunning(running); }};
  ConsoleHost console(settings, std::move(sinks));
  try {
    console.Start();
  } catch (const ListenerStartError& failure) {
    return RecoverFromFailedStart(failure, settings, home);
  }

  TfrmKestrune window(console, feed);
  stop_signals.Watch(&window, [&window](const char* name) {
    AddDebugLine(std::string("Kestrune Server stopping (") + name + ") at " +
                 DateTimeText(NowAsDateValue()));
    window.OrderlyExit(kExitStopped);
  });
  // The desktop session ends: the same orderly exit, without Exit's questions.
  QObject::connect(&application, &QGuiApplication::commitDataRequest, &window,
                   [&window](QSessionManager&) { window.OrderlyExit(kExitStopped); });
  window.StartUp();
  if (options.minimize && !console.NeedsFirstStart()) {
    window.showMinimized();
  } else {
    window.show();
  }
  AddDebugLine("Kestrune Console ready at " + DateTimeText(NowAsDateValue()));
  if (options.launch_browser) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(console.StartAddress())));
  }
  const int status = QApplication::exec();
  window.OrderlyExit(status);
  return status;
}

}  // namespace kestrune
