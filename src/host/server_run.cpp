// The parts of a running server and their start and stop order.
#include "host/server_run.h"

#include <cstdlib>
#include <optional>

#include "host/mail_timers.h"
#include "host/timed_mail_job.h"
#include "log/debug_log.h"
#include "platform/program_dir.h"
#include "settings/program_config.h"
#include "store/user_list.h"
#include "web/app/session_controller.h"
#include "web/pages/session_pages.h"
#include "web/toolkit/server_controller.h"
#include "web/toolkit/show_message.h"
#include "web/toolkit/standalone_server.h"

namespace kestrune {
namespace {

// Test runs shorten the timers' minute (milliseconds per minute); unset, a minute is
// 60000 ms.
std::int64_t MillisecondsPerMinute() {
  const char* value = std::getenv("KESTRUNE_TIMER_MS_PER_MINUTE");
  if (value == nullptr || *value == '\0') return 60000;
  char* end = nullptr;
  const long long parsed = std::strtoll(value, &end, 10);
  return (*end == '\0' && parsed > 0) ? parsed : 60000;
}

// The listener's session events and banner reach the debug log and the statistics.
class ListenerLog : public ListenerEvents {
 public:
  void OnNewSession(TIWApplication&) override { DebugLog().SessionCreated(NowAsDateValue()); }
  void OnCloseSession(TIWApplication&) override { DebugLog().SessionClosed(NowAsDateValue()); }
  void OnDebugLog(std::string_view text) override { AddDebugLine(text); }
};

// The installation's read-only data directory (templates, static files, scripts).
std::filesystem::path InstalledDataDirectory(const std::filesystem::path& program_directory) {
  for (const auto& directory : InstallationDirectories(program_directory)) {
    if (directory != program_directory) return directory;
  }
  return program_directory;
}

// The web server controller as the settings make it.
void ConfigureController(const TProgramConfig& config, const std::filesystem::path& home,
                         TIWServerController& controller) {
  controller.SetDirectories(home, InstalledDataDirectory(home));
  controller.Port = config.Port;
  controller.SetSessionTimeout(
      config.SessionTimeout >= 0 && config.SessionTimeout <= 600 ? config.SessionTimeout : 30);
  controller.SessionTrackingMethod = TrackingMethodFromSetting(config.SessionTrackingMethod);
  controller.RestrictIPs = config.RestrictIPs;
  controller.BoundIP = config.BindToIP ? config.BoundIP : "";
  controller.AuthBeforeNewSession = false;  // the session controller installs its handler
  if (config.EnableSSL) {
    controller.SSLOptions.Port = config.SSLPort;
    controller.SSLOptions.CertificatePassword = config.SSLPassword;
    controller.SSLOptions.NonSSLRequest = NonSSLModeFromSetting(config.SSLRequest);
    controller.SSLOptions.StrictTransportSecurity = StrictTransportSecurityFromSetting(
        config.StrictTransportSecurity, controller.SSLOptions.NonSSLRequest);
  }
}

}  // namespace

struct ServerRun::Parts {
  TIWServerController controller;
  ListenerLog listener_log;
  std::optional<TWebApp> web_app;
  std::optional<TSessionController> session_controller;
  std::optional<TIWStandAloneServer> server;
  TUserList users;
  bool users_open = false;
  std::optional<TimedMailJob> send_receive;
  std::optional<TimedMailJob> send_all;
  std::optional<TimedMailJob> receive_all;
  std::optional<MailTimers> timers;
};

ServerRun::ServerRun(ProgramSettings& settings, MailRunFunctions runs)
    : settings_(settings), runs_(std::move(runs)), parts_(std::make_unique<Parts>()) {}

// Without Stop (a first start that was not completed) the parts just end: the
// timers, then the listener.
ServerRun::~ServerRun() = default;

void ServerRun::Start() {
  settings_.LoadSettings();
  TProgramConfig& config = settings_.Config();
  config.ServerReady = false;
  ConfigureController(config, settings_.Host().program_directory, parts_->controller);
  parts_->controller.Listener = &parts_->listener_log;
  LanguagePacks languages = LoadLanguagePacks(
      config.LangDirectory, InstalledDataDirectory(settings_.Host().program_directory) / "Lang",
      config.StringsLanguage);
  for (const std::string& problem : languages.problems()) AddDebugLine(problem);
  parts_->web_app.emplace(config, std::move(languages), KestruneSessionPages());
  parts_->session_controller.emplace(*parts_->web_app);
  parts_->session_controller->Install(parts_->controller);
  parts_->controller.MessagePage = MakeShowMessagePage;
  DebugLog().StartLog(parts_->controller.BoundIP, parts_->controller.Port, NowAsDateValue());

  parts_->server.emplace(parts_->controller);
  try {
    parts_->server->Start();
  } catch (...) {
    parts_->server.reset();
    throw;
  }
  AddDebugLine("Smtp Service configured successfully.");
  parts_->users_open = parts_->users.Open(config.UserDirectories);
  if (parts_->users_open) {
    AddDebugLine("User Database loaded successfully.");
    AddDebugLine("");
  }
}

TUserList& ServerRun::Users() { return parts_->users; }
bool ServerRun::UsersOpen() const { return parts_->users_open; }
int ServerRun::HttpPort() const { return parts_->controller.Port; }

std::string ServerRun::StartAddress() const {
  const TProgramConfig& config = settings_.Config();
  return parts_->server ? parts_->server->StartAddress(config.EnableSSL && config.SSLRequest == 1)
                        : std::string();
}

void ServerRun::SetMailRunObserver(std::function<void(bool running)> observer) {
  mail_run_observer_ = std::move(observer);
}

void ServerRun::SetReady() {
  TProgramConfig& config = settings_.Config();
  config.ServerReady = true;
  parts_->web_app->SetServerReady(true);
  if (parts_->timers) return;
  TUserList& users = parts_->users;
  parts_->send_receive.emplace(settings_, users, runs_.send_receive);
  parts_->send_all.emplace(settings_, users, runs_.send_all);
  parts_->receive_all.emplace(settings_, users, runs_.receive_all);
  parts_->timers.emplace(MailTimers::Jobs{
      .mail_run = [this] { parts_->send_receive->Run(parts_->timers->StopFlag()); },
      .save_log =
          [this] {
            const TProgramConfig& current = settings_.Config();
            if (current.AutoSaveDebugLog) {
              DebugLog().AutoSave(current.LogDirectory, current.ClearLogWhenAutoSaved,
                                  NowAsDateValue(), current.LogRetentionDays);
            }
          },
      .log = [](std::string_view line) { AddDebugLine(line); },
      .mail_running =
          [this](bool running) {
            if (mail_run_observer_) mail_run_observer_(running);
          }});
  SetTimers();
  parts_->timers->Start();
}

void ServerRun::SetTimers() {
  if (!parts_->timers) return;
  const TProgramConfig& config = settings_.Config();
  const std::int64_t minute = MillisecondsPerMinute();
  parts_->timers->SetEmailTimer(config.AutoCheckEmails,
                                TimerInterval(config.AutoCheckInterval, minute));
  parts_->timers->SetAutoSaveLog(config.AutoSaveDebugLog,
                                 TimerInterval(config.AutoSaveInterval, minute));
}

bool ServerRun::RunMailNow(MailAction action) {
  if (!parts_->timers || stopped_) return false;
  TimedMailJob* job = &*parts_->send_receive;
  if (action == MailAction::kSendAll) job = &*parts_->send_all;
  if (action == MailAction::kReceiveAll) job = &*parts_->receive_all;
  return parts_->timers->RunMailNow([this, job] { job->Run(parts_->timers->StopFlag()); });
}

bool ServerRun::MailRunGoing() const { return parts_->timers && parts_->timers->MailRunGoing(); }

void ServerRun::Stop(const ExitWindowState& window) {
  if (stopped_) return;
  stopped_ = true;
  TProgramConfig& config = settings_.Config();
  config.ServerReady = false;
  if (parts_->web_app) parts_->web_app->SetServerReady(false);
  if (parts_->timers) parts_->timers->Stop();
  if (parts_->server) parts_->server->Stop();
  settings_.SaveOnExit(window);
  TUserList& users = parts_->users;
  if (users.IsOpen() || users.Open(config.UserDirectories)) {
    try {
      users.Reload();
      users.Save();
    } catch (const std::exception& failure) {
      AddDebugLine(std::string("The user database could not be saved: ") + failure.what());
    }
    users.Close();
  }
  settings_.ClearPasswordKey();
  AddDebugLine("Kestrune Server stopped at " + DateTimeText(NowAsDateValue()));
}

}  // namespace kestrune
