// TIdSMTP: the SMTP client (RFC 5321 with EHLO and AUTH LOGIN) through which all
// outgoing mail leaves: greeting, EHLO (or HELO when refused), STARTTLS when offered,
// then per message RSET, AUTH LOGIN once per connection, MAIL FROM, RCPT TO for To, Cc
// and Bcc, and DATA with dot-stuffing. Implicit TLS on the submission port 465.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "mail/line_connection.h"

namespace kestrune {

class TIdMessage;

enum class TIdSMTPAuthenticationType { atNone, atLogin };

// One client object (the console's or a session's); used by one thread at a time.
// Errors are raised as the kinds of mail/socket_error.h; a message that cannot be
// written raises MessageError (mail/mime_error.h).
class TIdSMTP {
 public:
  static constexpr int kDefaultPort = 25;
  static constexpr int kImplicitTlsPort = 465;
  // The error of a connect with TlsMode::kRequired to a server that offers no STARTTLS.
  static constexpr const char* kTlsRequiredText =
      "TLS is required, but the SMTP server does not offer STARTTLS: no credentials or mail "
      "were sent.";
  // Reply lines may be up to 512 octets; some servers go beyond that in free text.
  static constexpr std::size_t kMaxReplyLineLength = 1000;
  // Real replies have a few dozen lines at most; an endless one is a broken server.
  static constexpr std::size_t kMaxReplyLines = 1000;

  // Settings, set by the caller before Connect.
  std::string Host;
  int Port = kDefaultPort;
  TIdSMTPAuthenticationType AuthenticationType = TIdSMTPAuthenticationType::atNone;
  std::string Username;
  std::string Password;
  // The name announced in EHLO/HELO; empty: this computer's host name.
  std::string HeloName;
  // No data within this many milliseconds is a ReadTimeout (0 or less: wait forever).
  int ReadTimeoutMs = LineConnection::kDefaultReadTimeoutMs;
  // The longest wait for a whole reply, and for the reply to the end of the message
  // data (RFC 5321 4.5.3.2: 5 and 10 minutes); 0 or less: no limit. A server that
  // trickles a reply byte by byte is held to it as well.
  int ReplyTimeoutMs = 5 * 60 * 1000;
  int DataEndTimeoutMs = 10 * 60 * 1000;
  // Set by another thread to stop at once: the waiting read or write closes the socket
  // and raises StopRequested. Null: no flag.
  const std::atomic<bool>* StopFlag = nullptr;
  TlsMode UseTls = TlsMode::kAuto;

  TIdSMTP();
  ~TIdSMTP();

  // Connects within `timeout_ms` (0 or less: the system's own limit), reads the 220
  // greeting and introduces the client. Fails when already connected. Any failure
  // closes the connection before it is raised.
  void Connect(int timeout_ms);
  bool Connected() const;
  bool Secure() const { return connection_.Secure(); }
  // QUIT when connected (its reply is not awaited), close, forget the authentication.
  void Disconnect() noexcept;

  // Transmits one message to all its recipients (To, then Cc, then Bcc).
  void Send(const TIdMessage& message);

  // The mechanisms the server announced in its EHLO reply, in order.
  const std::vector<std::string>& AuthMechanisms() const { return mechanisms_; }
  bool Authenticated() const { return authenticated_; }

  // The last reply: its code and its text lines.
  int LastReplyCode() const { return last_code_; }
  const std::vector<std::string>& LastReplyLines() const { return last_lines_; }

 private:
  // Sends `command` and reads the reply; raises ProtocolError unless its code is one of
  // `expected` (an empty list accepts any code).
  int SendCmd(std::string_view command, std::initializer_list<int> expected);
  // Reads one reply within `timeout_ms` (ReplyTimeoutMs when 0).
  int ReadReply(int timeout_ms = 0);
  int ReadReplyLines();
  void CheckReply(std::initializer_list<int> expected) const;
  void Introduce();
  bool Ehlo();
  void AuthenticateIfOffered();
  void SendData(const TIdMessage& message);
  std::string LocalName() const;

  LineConnection connection_;
  std::vector<std::string> mechanisms_;
  bool authenticated_ = false;
  int last_code_ = 0;
  std::vector<std::string> last_lines_;
};

}  // namespace kestrune
