// The console's mail runs over every user, and the one-user runs the command line asks
// for. Each run reports its lines through the log sink it is given (the debug log for the
// timer, standard output for the command line) and never includes the log or the host.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

namespace kestrune {

struct TProgramConfig;
class TUserList;

// Where a run writes its debug-log lines, one call per line (empty text = separator).
using LogSink = std::function<void(std::string_view line)>;

struct MailRunContext {
  const TProgramConfig& config;
  TUserList& users;  // the caller's copy, reloaded by the caller before a run
  LogSink log;
  const std::atomic<bool>* stop = nullptr;  // set by the exit path: end without committing
};

// Receive run over every user (the console's ReceiveMsgs). True when it ended without error.
bool ReceiveMsgs(MailRunContext& context);
// Send run over every user (the console's SendMsgs); false after a run-ending error.
bool SendMsgs(MailRunContext& context);
// How a send run ended: refused messages stay in the Outbox and the run goes on; a
// failed connection or a refused log-in ends it.
enum class SendRunEnd { kOk, kMessageErrors, kError, kAuthenticationRefused };
// SendMsgs with its full outcome.
SendRunEnd RunSendMsgs(MailRunContext& context);
// One user's fetch or send, also for a user set to check mail at log-in only.
// Results: 0 ended without error, 1 ended with an error, 2 unknown user.
int ReceiveUser(MailRunContext& context, std::string_view user_name);
int SendUser(MailRunContext& context, std::string_view user_name);
// What the mail timer does: reload the users, receive, then send repeated while it fails
// (at most 4 calls). True when every step ended without error.
bool TimedMailRun(MailRunContext& context);
// The console's "Receive All": reload the users, then receive.
bool ReceiveAllRun(MailRunContext& context);
// The console's "Send All": reload the users, then send with the timer's retry rule.
bool SendAllRun(MailRunContext& context);

}  // namespace kestrune
