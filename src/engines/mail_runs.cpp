// The console's receive and send runs over every user, the one-user runs of the command
// line, and the mail timer's run, with every line they log. The per-user work is in
// user_fetch.cpp and user_send.cpp; this file only walks the users and words the lines.
#include "engines/mail_runs.h"

#include <algorithm>
#include <string>

#include "engines/user_fetch.h"
#include "engines/user_send.h"
#include "mail/id_pop3.h"
#include "mail/id_smtp.h"
#include "settings/program_config.h"
#include "store/mail_store_paths.h"
#include "store/user_list.h"

namespace kestrune {

namespace {

constexpr int kConsoleReadTimeoutMs = 20000;
constexpr int kMaxSendCalls = 4;

bool Stopping(const MailRunContext& context) {
  return context.stop != nullptr && context.stop->load();
}

int ConnectTimeoutMs(const TProgramConfig& config) {
  // ServerTimeOut is in seconds; a negative or absurd value must not wrap around.
  const int seconds = config.ServerTimeOut < 0 ? 0 : std::min(config.ServerTimeOut, 86400);
  return seconds * 1000;
}

bool PopSettingsComplete(const TUserRecord& user) {
  return !user.PopServer.empty() && !user.PopUserName.empty() && !user.PopPassword.empty();
}

// The console's lines for one user's fetch.
class FetchLog : public FetchReporter {
 public:
  FetchLog(const LogSink& log, const TUserRecord& user)
      : log_(log), prefix_("Pop Server: User " + user.UserName + " "), server_(user.PopServer) {}

  void Busy() override {
    log_(prefix_ + "Mail is being fetched by another run, skipping.");
    log_("");
  }
  void Connecting() override { log_(prefix_ + "Connecting to Pop Server " + server_); }
  void Connected(bool secure) override {
    log_(prefix_ + "Connected to Pop Server ");
    if (!secure) log_(prefix_ + "Password sent without TLS.");
  }
  void Waiting(int count) override {
    log_(prefix_ + "Number of Emails waiting: " + std::to_string(count));
  }
  void Stored(int number, const TIdMessage&) override {
    log_(prefix_ + "Email number: " + std::to_string(number) + " successfully retrieved.");
  }
  void MessageFailed(int number, const MailError& error) override {
    log_(prefix_ + "Error Retrieving Email number: " + std::to_string(number) + " (" + error.text +
         "); it stays on the Pop Server.");
  }
  void MessageSkipped(int number, const MailError& reason) override {
    log_(prefix_ + "Email number: " + std::to_string(number) + " not retrieved (" + reason.text +
         "); it stays on the Pop Server.");
  }
  void EndedEarly(const MailError& reason) override {
    log_(prefix_ + "Session ended early: " + reason.text);
    log_("");
  }
  void StoreFailed(const MailError& error) override {
    log_(prefix_ + "Error in the mail store: " + error.text);
  }
  void Disconnected() override {
    log_(prefix_ + "Disconnected from Pop Server " + server_);
    log_("");
  }
  void ConnectFailed(const MailError& error) override {
    switch (error.kind) {
      case MailErrorKind::kProtocol:  // the greeting or the log-in refused
      case MailErrorKind::kConnectionClosed:
      case MailErrorKind::kReadTimeout:
        Failed(error);
        break;
      default:
        log_(prefix_ + "Error connecting to Pop Server.");
        log_(prefix_ + "Error:" + error.text);
        break;
    }
  }
  // After the log-in, "Error connecting" would mislead: the real reason is logged.
  void Failed(const MailError& error) override {
    if (error.kind == MailErrorKind::kReadTimeout) {
      log_(prefix_ + "Error: Read Time Out.");
      log_("");
      return;
    }
    log_(prefix_ + "Error:" + error.text);
  }
  void Stopped() override {
    log_(prefix_ + "Fetch stopped; nothing was deleted on the Pop Server.");
    log_("");
  }

 private:
  const LogSink& log_;
  std::string prefix_;
  std::string server_;
};

// The console's lines for one user's send.
class SendLog : public SendReporter {
 public:
  SendLog(const LogSink& log, const TUserRecord& user)
      : log_(log), prefix_("Smtp Server: User " + user.UserName + " ") {}

  void Busy() override { log_(prefix_ + "Mail is being sent by another run, skipping."); }
  void StoreFailed(const MailError& error) override {
    log_(prefix_ + "Error in the mail store: " + error.text);
  }
  void CountFailed(int index) override {
    log_(prefix_ + "Error Reading Email number: " + std::to_string(index));
  }
  void RecordUnreadable(int index) override {
    log_(prefix_ + "Error Reading EmailDB number: " + std::to_string(index));
  }
  void Waiting(int count) override {
    log_(prefix_ + "Number of Emails waiting: " + std::to_string(count));
  }
  void Sending(int, std::string_view first_to) override {
    log_(prefix_ + "Sending Email To: " + std::string(first_to));
  }
  void FileMissing(int index) override {
    log_(prefix_ + "Error Reading Email File number: " + std::to_string(index));
  }
  void MessageFailed(int, const MailError& error) override { log_(prefix_ + error.text); }
  void SaveFailed(int index, const MailError& error) override {
    log_(prefix_ + "Email number: " + std::to_string(index) +
         " was sent but could not be marked as sent: " + error.text);
  }
  void ConnectionFailed(int, const MailError& error) override { log_(prefix_ + error.text); }
  void Completed() override { log_(prefix_ + "Completed sending users mail."); }

 private:
  const LogSink& log_;
  std::string prefix_;
};

// Whether the user's mail store lies inside the users directory. A record naming any other
// directory (a damaged or imported Users.Dat) is skipped with a log line: the run never
// writes mail into, or sends files from, a directory outside the installation's stores.
bool StoreInsideUsersDirectory(const MailRunContext& context, const TUserRecord& user,
                               const std::string& prefix) {
  if (IsUserDirInside(user.UserDir, context.config.UserDirectories)) return true;
  context.log(prefix + "Error: mail store " + user.UserDir +
              " lies outside the users directory, skipping.");
  context.log("");
  return false;
}

// Fetches one user's mail with the console's client; true without error.
bool FetchOne(MailRunContext& context, TIdPOP3& client, const TUserRecord& user) {
  if (!StoreInsideUsersDirectory(context, user, "Pop Server: User " + user.UserName + " ")) {
    return false;
  }
  FetchOptions options;
  options.connect_timeout_ms = ConnectTimeoutMs(context.config);
  options.read_timeout_ms = kConsoleReadTimeoutMs;
  options.tls = TlsModeFromSetting(context.config.PopTls);
  options.stop = context.stop;
  FetchLog log(context.log, user);
  return FetchUserMail(user, options, client, log).Ok();
}

void StartReceive(const LogSink& log) {
  log("");
  log("Starting Email Recieve procedure.");
  log("");
}

using SendEnd = SendRunEnd;

class SendRun {
 public:
  explicit SendRun(MailRunContext& context) : context_(context), log_(context.log) {}

  // Over every user, or over the one user `only` when given.
  SendEnd Run(const TUserRecord* only) {
    const TProgramConfig& config = context_.config;
    log_("");
    log_("Starting Email Send procedure.");
    const int count = only != nullptr ? 1 : context_.users.GetCount();
    if (count <= 0) {
      log_("Ended Email Send procedure.");
      return SendEnd::kOk;
    }
    if (config.SmtpServer.empty()) {
      log_("Smtp Server: Error Smtp Settings not set unable to continue.");
      log_("");
      log_("Ended Email Send procedure.");
      return SendEnd::kOk;
    }
    Configure();
    log_("Smtp Server: Connecting to Smtp Server " + config.SmtpServer);
    try {
      client_.Connect(ConnectTimeoutMs(config));
    } catch (...) {
      const MailError error = CurrentMailError();
      log_("Smtp Server: " + error.text);
      log_("");
      log_("Ended Email Send procedure with Error.");
      return SendEnd::kError;
    }
    log_("Smtp Server: Connected to Smtp Server");
    log_("");
    bool clean = true;
    for (int i = 1; i <= count; ++i) {
      if (Stopping(context_)) break;
      TUserRecord user;
      if (only != nullptr) {
        user = *only;
      } else if (!context_.users.GetUser(i, user)) {
        log_("Smtp Server: Error Unable to find user id: " + std::to_string(i));
        log_("");
        clean = false;
        continue;
      }
      if (!StoreInsideUsersDirectory(context_, user, "Smtp Server: User " + user.UserName + " ")) {
        clean = false;
        continue;
      }
      SendLog reporter(log_, user);
      const SendResult result =
          SendUserOutbox(user, client_, std::chrono::milliseconds(0), context_.stop, reporter);
      WarnIfCredentialsInClear();
      if (result.connection_error) {
        client_.Disconnect();
        log_("Smtp Server: Disconnected from Smtp Server " + config.SmtpServer);
        log_("");
        log_("Ended Email Send procedure with Error.");
        return result.connection_error.kind == MailErrorKind::kAuthentication
                   ? SendEnd::kAuthenticationRefused
                   : SendEnd::kError;
      }
      if (!result.Ok()) clean = false;
      log_("");
    }
    client_.Disconnect();
    log_("Smtp Server: Disconnected from Smtp Server " + config.SmtpServer);
    log_("Ended Email Send procedure.");
    return clean ? SendEnd::kOk : SendEnd::kMessageErrors;
  }

 private:
  void Configure() {
    const TProgramConfig& config = context_.config;
    client_.Host = config.SmtpServer;
    client_.Port = config.SmtpPort > 0 ? config.SmtpPort : TIdSMTP::kDefaultPort;
    const bool login = config.SmtpAuthType == 1;
    client_.AuthenticationType =
        login ? TIdSMTPAuthenticationType::atLogin : TIdSMTPAuthenticationType::atNone;
    client_.Username = login ? config.SmtpUserName : "";
    client_.Password = login ? config.SmtpPassword : "";
    // No limit between two bytes, but every reply must come within the SMTP time-outs,
    // and a stop request closes the connection: a silent server cannot hold the run.
    client_.ReadTimeoutMs = 0;
    client_.StopFlag = context_.stop;
    client_.UseTls = TlsModeFromSetting(config.SmtpTls);
  }

  void WarnIfCredentialsInClear() {
    if (warned_ || !client_.Authenticated() || client_.Secure()) return;
    warned_ = true;
    log_("Smtp Server: Password sent without TLS.");
  }

  MailRunContext& context_;
  const LogSink& log_;
  TIdSMTP client_;
  bool warned_ = false;
};

}  // namespace

bool ReceiveMsgs(MailRunContext& context) {
  const LogSink& log = context.log;
  StartReceive(log);
  TIdPOP3 client;
  bool clean = true;
  const int count = context.users.GetCount();
  for (int i = 1; i <= count; ++i) {
    if (Stopping(context)) {
      clean = false;
      break;
    }
    TUserRecord user;
    if (!context.users.GetUser(i, user)) {
      log("Pop Server: Error Unable to find user id: " + std::to_string(i));
      log("");
      clean = false;
      continue;
    }
    const std::string prefix = "Pop Server: User " + user.UserName + " ";
    if (!PopSettingsComplete(user)) {
      log(prefix + "Pop Settings are incorrect or not set, skipping.");
      log("");
      continue;
    }
    if (!user.AutoCheckEmails) {
      log(prefix + "User is set to check Email at login, skipping.");
      log("");
      continue;
    }
    if (!FetchOne(context, client, user)) clean = false;
  }
  client.Abort();
  log("Ended Email Recieve procedure.");
  return clean;
}

int ReceiveUser(MailRunContext& context, std::string_view user_name) {
  TUserRecord user;
  if (!context.users.FindUser(user_name, user)) return 2;
  const LogSink& log = context.log;
  StartReceive(log);
  bool clean = true;
  if (!PopSettingsComplete(user)) {
    log("Pop Server: User " + user.UserName + " Pop Settings are incorrect or not set, skipping.");
    log("");
    clean = false;
  } else {
    TIdPOP3 client;
    clean = FetchOne(context, client, user);
  }
  log("Ended Email Recieve procedure.");
  return clean ? 0 : 1;
}

SendRunEnd RunSendMsgs(MailRunContext& context) { return SendRun(context).Run(nullptr); }

bool SendMsgs(MailRunContext& context) {
  const SendEnd end = RunSendMsgs(context);
  return end == SendEnd::kOk || end == SendEnd::kMessageErrors;
}

int SendUser(MailRunContext& context, std::string_view user_name) {
  TUserRecord user;
  if (!context.users.FindUser(user_name, user)) return 2;
  return SendRun(context).Run(&user) == SendEnd::kOk ? 0 : 1;
}

namespace {

bool ReloadUsersForRun(MailRunContext& context) {
  if (context.users.Reload()) return true;
  context.log("Unable to reload the user database; the mail run uses the users read before.");
  return false;
}

// SendMsgs, called again while its connection fails, at most kMaxSendCalls times.
bool SendWithRetries(MailRunContext& context) {
  bool clean = true;
  for (int call = 1; call <= kMaxSendCalls && !Stopping(context); ++call) {
    const SendEnd end = SendRun(context).Run(nullptr);
    if (end == SendEnd::kMessageErrors) clean = false;
    // Refused messages stay in the Outbox for the next tick; only a failed connection
    // is worth another call now.
    if (end == SendEnd::kOk || end == SendEnd::kMessageErrors) break;
    if (call == kMaxSendCalls) clean = false;
    // A refused log-in is not tried again: retries could lock the account.
    if (end == SendEnd::kAuthenticationRefused) {
      clean = false;
      break;
    }
  }
  return clean;
}

}  // namespace

bool TimedMailRun(MailRunContext& context) {
  ReloadUsersForRun(context);
  bool clean = ReceiveMsgs(context);
  clean = SendWithRetries(context) && clean;
  return clean && !Stopping(context);
}

bool ReceiveAllRun(MailRunContext& context) {
  ReloadUsersForRun(context);
  return ReceiveMsgs(context) && !Stopping(context);
}

bool SendAllRun(MailRunContext& context) {
  ReloadUsersForRun(context);
  return SendWithRetries(context) && !Stopping(context);
}

}  // namespace kestrune
