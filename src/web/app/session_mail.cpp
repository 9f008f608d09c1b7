// The session variants of the mail runs, over the engines' one-user fetch and send.
#include "web/app/session_mail.h"

#include <chrono>

#include "engines/mail_error.h"
#include "engines/user_fetch.h"
#include "engines/user_send.h"
#include "mail/id_pop3.h"
#include "mail/id_smtp.h"
#include "mail/line_connection.h"
#include "platform/ascii.h"
#include "settings/program_config.h"
#include "web/app/user_session.h"

namespace kestrune {
namespace {

// How long a session waits for a timer run or another session that holds the user's mail
// store before it says so.
constexpr std::chrono::seconds kMailStoreWait{20};

std::string_view DialogText(const TUserSession& state, std::string_view key) {
  return state.App().Text(kHtmlDialogStrings, key);
}

// The browser message for a failure of a whole POP3 session; empty for a closed
// connection, which is ignored.
std::string PopFailureText(const TUserSession& state, const MailError& error) {
  switch (error.kind) {
    case MailErrorKind::kNone:
    case MailErrorKind::kConnectionClosed:
      return {};
    case MailErrorKind::kSocket:
    case MailErrorKind::kReadTimeout:
      for (const char* code : {"11004", "11001", "10060", "10054"}) {
        if (error.text.find(code) != std::string::npos) {
          return std::string(DialogText(state, std::string("ServerError") + code));
        }
      }
      return error.text;
    case MailErrorKind::kProtocol:
    case MailErrorKind::kAuthentication:
      return error.text;
    case MailErrorKind::kTransport:
      if (AsciiUpper(error.text).find("POP3 RESPONSE HEADER") != std::string::npos) {
        return std::string(DialogText(state, "ServerErrorResponse"));
      }
      return error.text;
    case MailErrorKind::kStore:
    case MailErrorKind::kOther:
      break;
  }
  return std::string(DialogText(state, "ServerErrorUnexpected"));
}

class BrowserFetchReporter : public FetchReporter {
 public:
  BrowserFetchReporter(TIWApplication& session, const TUserSession& state)
      : session_(session), state_(state) {}
  void Busy() override { Show(DialogText(state_, "ReceiveError")); }
  void Waiting(int count) override {
    if (count < 1) Show(DialogText(state_, "NoNewMsgsWaiting"));
  }
  void MessageFailed(int, const MailError&) override { ShowOnce(); }
  void StoreFailed(const MailError&) override { ShowOnce(); }
  void Failed(const MailError& error) override {
    const std::string text = PopFailureText(state_, error);
    if (!text.empty()) Show(text);
  }

 private:
  void Show(std::string_view text) { session_.ShowUserMessage(text); }
  // One alert for any number of messages that failed in one fetch.
  void ShowOnce() {
    if (!receive_error_shown_) Show(DialogText(state_, "ReceiveError"));
    receive_error_shown_ = true;
  }
  TIWApplication& session_;
  const TUserSession& state_;
  bool receive_error_shown_ = false;
};

// Shows a send failure to the browser user, or keeps the first one for the caller.
class SendFailureSink {
 public:
  SendFailureSink(TIWApplication& session, std::string* kept) : session_(session), kept_(kept) {}
  void operator()(std::string_view text) const {
    if (kept_ == nullptr) {
      session_.ShowUserMessage(text);
    } else if (kept_->empty()) {
      *kept_ = text;
    }
  }

 private:
  TIWApplication& session_;
  std::string* kept_;
};

// What a send tells the browser: the server's own error text where there is one.
std::string SendFailureText(const TUserSession& state, const MailError* error) {
  if (error != nullptr && !error->text.empty()) return error->text;
  return state.App().Text(kFeedbackStrings, error != nullptr ? "ErrorSending" : "SendFailure");
}

class BrowserSendReporter : public SendReporter {
 public:
  BrowserSendReporter(const SendFailureSink& show, const TUserSession& state)
      : show_(show), state_(state) {}
  void Busy() override { show_(SendFailureText(state_, nullptr)); }
  void MessageFailed(int, const MailError&) override { show_(SendFailureText(state_, nullptr)); }
  void SaveFailed(int, const MailError&) override { show_(SendFailureText(state_, nullptr)); }
  void ConnectionFailed(int, const MailError& error) override {
    show_(SendFailureText(state_, &error));
  }

 private:
  const SendFailureSink& show_;
  const TUserSession& state_;
};

int ConnectTimeoutMs(const TProgramConfig& config) {
  return config.ServerTimeOut > 0 ? config.ServerTimeOut * 1000 : 0;
}

}  // namespace

bool SessionReceive(TIWApplication& session, TUserSession& state) {
  const TUserRecord& user = state.User;
  const char* missing = user.PopServer.empty()     ? "NoServerAddress"
                        : user.PopUserName.empty() ? "NoServerUserName"
                        : user.PopPassword.empty() ? "NoServerPassword"
                                                   : nullptr;
  if (missing != nullptr) {
    session.ShowUserMessage(DialogText(state, missing));
    return true;
  }
  const TProgramConfig& config = state.App().Config();
  FetchOptions options;
  options.connect_timeout_ms = ConnectTimeoutMs(config);
  options.tls = TlsModeFromSetting(config.PopTls);
  options.lock_wait = kMailStoreWait;
  BrowserFetchReporter reporter(session, state);
  const FetchResult result = FetchUserMail(user, options, *state.Pop, reporter);
  state.OpenEmailDB();  // the fetch saved the index: the session reads the new version
  return result.Ok() && !result.busy;
}

bool SessionSend(TIWApplication& session, TUserSession& state, std::string* failure) {
  const SendFailureSink show(session, failure);
  const TProgramConfig& config = state.App().Config();
  if (config.SmtpServer.empty()) return true;
  TIdSMTP& client = *state.Smtp;
  client.Disconnect();
  client.Host = config.SmtpServer;
  client.Port = config.SmtpPort > 0 ? config.SmtpPort : TIdSMTP::kDefaultPort;
  const bool login = config.SmtpAuthType == 1;
  client.AuthenticationType =
      login ? TIdSMTPAuthenticationType::atLogin : TIdSMTPAuthenticationType::atNone;
  client.Username = login ? config.SmtpUserName : "";
  client.Password = login ? config.SmtpPassword : "";
  client.UseTls = TlsModeFromSetting(config.SmtpTls);
  try {
    client.Connect(ConnectTimeoutMs(config));
  } catch (...) {
    const MailError error = CurrentMailError();
    show(SendFailureText(state, &error));
    client.Disconnect();
    return false;
  }
  BrowserSendReporter reporter(show, state);
  const SendResult result = SendUserOutbox(state.User, client, kMailStoreWait, nullptr, reporter);
  client.Disconnect();
  state.OpenEmailDB();
  return result.Ok() && !result.busy;
}

bool TestPopConnection(TIWApplication& session, TUserSession& state, std::string_view host,
                       int port, std::string_view password, std::string_view user,
                       const PopTestOptions& options) {
  TIdPOP3& client = *state.Pop;
  client.Disconnect();
  client.Host = std::string(host);
  client.Port = port;
  client.Username = std::string(user);
  client.Password = std::string(password);
  client.UseTls = TlsModeFromSetting(state.App().Config().PopTls);
  // The session's client fetches with its own read time-out later.
  const int read_timeout_ms = client.ReadTimeoutMs;
  if (options.timeout_ms > 0) client.ReadTimeoutMs = options.timeout_ms;
  const int connect_timeout_ms =
      options.timeout_ms > 0 ? options.timeout_ms : ConnectTimeoutMs(state.App().Config());
  bool accepted = true;
  try {
    client.Connect(connect_timeout_ms);
  } catch (...) {
    const MailError error = CurrentMailError();
    accepted = false;
    // A server that closes the connection has not accepted the password.
    std::string text = error.kind == MailErrorKind::kConnectionClosed
                           ? std::string(DialogText(state, "ServerErrorUnexpected"))
                           : PopFailureText(state, error);
    if (!options.failure_text.empty()) text = options.failure_text;
    session.ShowUserMessage(text);
  }
  client.Disconnect();
  client.ReadTimeoutMs = read_timeout_ms;
  return accepted;
}

}  // namespace kestrune
