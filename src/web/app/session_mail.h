// The mail operations a web session runs on its own request thread: fetch the logged-in
// user's mail, send the user's Outbox, test a POP3 account. They use the session's own
// clients and report to the browser user with the language pack's messages.
#pragma once

#include <string>
#include <string_view>

namespace kestrune {

class TIWApplication;
class TUserSession;

// Fetches the user's POP3 mail into the mail store. True when no error occurred.
bool SessionReceive(TIWApplication& session, TUserSession& state);
// Sends every Outbox message through the installation's SMTP server. True when no error
// occurred (its callers ignore it). Failures are shown to the browser user, or, when
// `failure` is given, the first one is written there instead.
bool SessionSend(TIWApplication& session, TUserSession& state, std::string* failure = nullptr);
// How a connection test runs: timeout_ms > 0 bounds the connect and every answer
// (greeting included) instead of the settings' time-outs; a non-empty failure_text is
// the one message of every failure, so that the answer tells nothing about the host.
struct PopTestOptions {
  int timeout_ms = 0;
  std::string failure_text;
};

// Connects and logs in to a POP3 server, nothing more; true only when the server accepted
// the user name and password (a server that closes the connection is a failure).
bool TestPopConnection(TIWApplication& session, TUserSession& state, std::string_view host,
                       int port, std::string_view password, std::string_view user,
                       const PopTestOptions& options = {});

}  // namespace kestrune
