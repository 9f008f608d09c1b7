// The console's side of the server: sinks installed on the debug log and the operator
// messages, and the administrator log-in on the console's own user list.
#include "host/console_host.h"

#include "log/debug_log.h"
#include "platform/ascii.h"
#include "platform/date_time.h"
#include "platform/operator_messages.h"
#include "settings/program_config.h"
#include "store/user_list.h"

namespace kestrune {

std::string BrowserLoginUrl(const TProgramConfig& config) {
  std::string host = "localhost";
  if (config.BindToIP && !config.BoundIP.empty()) {
    host = config.BoundIP.substr(0, config.BoundIP.find(','));
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
  }
  // SSLRequest 1: the plain port answers no page, so the browser goes to HTTPS.
  if (config.EnableSSL && config.SSLRequest == 1) {
    return "https://" + host + (config.SSLPort == 443 ? "" : ":" + std::to_string(config.SSLPort));
  }
  return "http://" + host + (config.Port == 80 ? "" : ":" + std::to_string(config.Port));
}

class ConsoleHost::MessageSink : public OperatorMessages {
 public:
  explicit MessageSink(std::function<void(std::string_view)> show) : show_(std::move(show)) {
    SetOperatorMessages(this);
  }
  ~MessageSink() override { SetOperatorMessages(nullptr); }
  void ShowMessage(std::string_view text) override {
    if (show_) show_(text);
  }

 private:
  std::function<void(std::string_view)> show_;
};

ConsoleHost::ConsoleHost(ProgramSettings& settings, Sinks sinks, MailRunFunctions runs)
    : settings_(settings),
      sinks_(std::move(sinks)),
      run_(settings, std::move(runs)),
      messages_(std::make_unique<MessageSink>(sinks_.message)),
      users_(std::make_unique<TUserList>()) {
  DebugLog().SetLineObserver(sinks_.line);
  DebugLog().SetStatsObserver(sinks_.stats);
  run_.SetMailRunObserver(sinks_.mail_running);
}

ConsoleHost::~ConsoleHost() {
  DebugLog().SetLineObserver(nullptr);
  DebugLog().SetStatsObserver(nullptr);
}

const TProgramConfig& ConsoleHost::Config() const { return settings_.Config(); }
std::filesystem::path ConsoleHost::Home() const { return settings_.Host().program_directory; }

void ConsoleHost::Start() { run_.Start(); }

bool ConsoleHost::NeedsFirstStart() { return run_.UsersOpen() && run_.Users().GetCount() == 0; }

void ConsoleHost::SetReady() {
  run_.SetReady();
  users_->Open(Config().UserDirectories);
}

bool ConsoleHost::ReloadUsers() {
  if (users_->IsOpen() && users_->Reload()) return true;
  users_->Close();
  if (users_->Open(Config().UserDirectories)) return true;
  AddDebugLine("User Database could not be opened; the console tries again at its next use.");
  return false;
}

bool ConsoleHost::ConsoleLogin(std::string_view user_name, std::string_view password) {
  if (!ReloadUsers()) return false;
  TUserRecord user;
  if (!users_->FindUser(user_name, user) || !EqualsIgnoringAsciiCase(user.Password, password) ||
      user.PermissionLevel != 0) {
    return false;
  }
  AddDebugLine("User: " + std::string(user_name) +
               " successfully logged onto the admin console at: " + DateTimeText(NowAsDateValue()));
  DebugLog().SetLastUser(user_name, "Console.");
  return true;
}

void ConsoleHost::ConsoleLogout(std::string_view user_name) {
  AddDebugLine(
      "User: " + std::string(user_name) +
      " successfully logged out of the admin console at: " + DateTimeText(NowAsDateValue()));
}

void ConsoleHost::ClearLog() { DebugLog().Clear(); }
std::vector<std::string> ConsoleHost::LogLines() const { return DebugLog().Lines(); }

void ConsoleHost::Stop(const ExitWindowState& window) {
  run_.Stop(window);
  users_->Close();
}

}  // namespace kestrune
