// One run of the server as both hosts use it (the headless host and the console
// window): the settings, the language pack, the web listener with its controller, the
// start lines of the debug log, the user database, the mail and log timers on the mail
// worker thread, operators' mail runs on the same worker, and the orderly exit.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engines/mail_runs.h"

namespace kestrune {

class ProgramSettings;
class TUserList;
struct ExitWindowState;

// The mail runs an operator asks for, and what they call (tests give slow or failing ones).
enum class MailAction { kSendReceive, kSendAll, kReceiveAll };
struct MailRunFunctions {
  std::function<bool(MailRunContext&)> send_receive = TimedMailRun;
  std::function<bool(MailRunContext&)> send_all = SendAllRun;
  std::function<bool(MailRunContext&)> receive_all = ReceiveAllRun;
};

class ServerRun {
 public:
  explicit ServerRun(ProgramSettings& settings, MailRunFunctions runs = {});
  ~ServerRun();  // Stop() when started and not stopped
  ServerRun(const ServerRun&) = delete;
  ServerRun& operator=(const ServerRun&) = delete;

  // Loads the settings and the language pack, writes the start lines and starts the
  // listener; throws ListenerStartError when it cannot bind or load its keys. Then opens
  // the user database. Browsers get the busy page until SetReady.
  void Start();
  // The user database the first start fills; the mail worker's copy after SetReady.
  TUserList& Users();
  bool UsersOpen() const;
  // The port the listener bound (the settings' Port unless that was 0).
  int HttpPort() const;
  // The address the start page is found at ("LaunchBrowser").
  std::string StartAddress() const;

  // Told on the mail worker thread when a mail run starts (true) and ends (false).
  // Set before SetReady.
  void SetMailRunObserver(std::function<void(bool running)> observer);
  // ServerReady: browsers get pages; the timers start with the settings' intervals.
  void SetReady();
  // The mail and log timers set again from the settings (their counts start anew).
  void SetTimers();
  // An operator's mail run on the mail worker: false (and nothing started) while one
  // is going or before SetReady.
  bool RunMailNow(MailAction action);
  bool MailRunGoing() const;

  // The exit path: browsers get no new pages, a mail run ends without committing,
  // requests in flight finish, then the settings (with the window's bounds) and the
  // user database are saved. Safe to call twice.
  void Stop(const ExitWindowState& window);

 private:
  struct Parts;
  ProgramSettings& settings_;
  MailRunFunctions runs_;
  std::unique_ptr<Parts> parts_;
  std::function<void(bool)> mail_run_observer_;
  bool stopped_ = false;
};

}  // namespace kestrune
