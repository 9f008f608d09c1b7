// What the desktop console needs of the server, without any GUI type: the server run
// it hosts, log lines and statistics out through callbacks (called on any thread; the
// console queues them to its own), operator messages out, the console's administrator
// log-in check on a user list of its own, operators' mail runs, and the orderly exit.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/server_run.h"

namespace kestrune {

class ProgramSettings;
struct TProgramConfig;
struct TProgramStat;
struct ExitWindowState;

// The address "Browser Login" opens: http://localhost:Port (no port for 80), HTTPS on
// SSLPort when the plain port refuses pages (SSLRequest 1), the bound address instead
// of localhost when BindToIP is set.
std::string BrowserLoginUrl(const TProgramConfig& config);

class ConsoleHost {
 public:
  struct Sinks {
    std::function<void(std::string_view line)> line;     // every debug-log line
    std::function<void(const TProgramStat&)> stats;      // after every change
    std::function<void(std::string_view text)> message;  // operator messages
    std::function<void(bool running)> mail_running;      // a mail run starts / ends
  };

  ConsoleHost(ProgramSettings& settings, Sinks sinks, MailRunFunctions runs = {});
  ~ConsoleHost();  // the sinks are removed from the log first
  ConsoleHost(const ConsoleHost&) = delete;
  ConsoleHost& operator=(const ConsoleHost&) = delete;

  ProgramSettings& Settings() { return settings_; }
  const TProgramConfig& Config() const;
  std::filesystem::path Home() const;

  // Starts the server (ListenerStartError when the listener cannot start).
  void Start();
  // The user database is open and holds no user: the first-run wizard's turn.
  bool NeedsFirstStart();
  // ServerReady: browsers get pages, the timers run.
  void SetReady();
  std::string StartAddress() const { return run_.StartAddress(); }
  int HttpPort() const { return run_.HttpPort(); }

  // The console's log-in: the user exists, the password matches ignoring letter case
  // and the user is an administrator (level 0). The console's own copy of the user
  // database is reloaded first, and reopened when a reload fails. On success the log
  // line and the last user ("Console.") are written.
  bool ConsoleLogin(std::string_view user_name, std::string_view password);
  void ConsoleLogout(std::string_view user_name);
  // Reloads the console's copy from disk (before the users dialog); false, with a log
  // line, when it cannot be read; the next use tries again.
  bool ReloadUsers();

  bool RunMail(MailAction action) { return run_.RunMailNow(action); }
  bool MailRunGoing() const { return run_.MailRunGoing(); }
  void SetTimers() { run_.SetTimers(); }

  void ClearLog();
  std::vector<std::string> LogLines() const;

  void Stop(const ExitWindowState& window);

 private:
  class MessageSink;
  ProgramSettings& settings_;
  Sinks sinks_;
  ServerRun run_;
  std::unique_ptr<MessageSink> messages_;
  std::unique_ptr<TUserList> users_;  // the console's copy, GUI thread only
};

}  // namespace kestrune
