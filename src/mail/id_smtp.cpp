// SMTP client: multi-line replies ("250-..." continues, "250 ..." ends), expected reply
// codes per command, the announced-mechanism rule for AUTH LOGIN, and DATA with every
// line that begins with "." sent with one more "." in front.
#include "mail/id_smtp.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "mail/address_list.h"
#include "mail/id_message.h"
#include "mail/socket_error.h"
#include "platform/ascii.h"
#include "platform/base64.h"

namespace kestrune {

namespace {

std::string CheckedAddress(std::string_view address) {
  if (!IsSafeAddress(address)) throw TransportError(UnsafeAddressText(address));
  return std::string(address);
}

// The bare addresses of a list in order. An item whose address holds a whole typed list
// ("a@x; b@y", as the compose page may leave it) contributes each address in it.
void AppendAddresses(const TIdEmailAddressList& list, std::vector<std::string>& out) {
  for (const TIdEmailAddressItem& item : list) {
    if (item.Address.find_first_of(",;") == std::string::npos) {
      out.push_back(CheckedAddress(item.Address));
      continue;
    }
    for (const std::string& piece : SplitAddressList(item.Address)) {
      TIdEmailAddressItem parsed;
      parsed.SetText(piece);
      out.push_back(CheckedAddress(parsed.Address));
    }
  }
}

// The DATA section: the message's lines, dot-stuffed, each ended by CR LF, then ".".
// `write` gets it in pieces of about kDataPiece bytes, so a big message is never held
// whole a second time. A line holding CR or LF is refused by the first pass, before
// anything is sent.
constexpr std::size_t kDataPiece = 64 * 1024;

void CheckDataLines(const TIdMessage& message) {
  message.WriteLines(THeaderTarget::kTransmit, [](std::string_view line) {
    if (line.find_first_of("\r\n") != std::string_view::npos) {
      throw TransportError("Refused to send a message line holding CR or LF.");
    }
  });
}

template <class Write>
void WriteDataSection(const TIdMessage& message, Write&& write) {
  std::string piece;
  piece.reserve(kDataPiece + 1024);
  message.WriteLines(THeaderTarget::kTransmit, [&](std::string_view line) {
    if (!line.empty() && line.front() == '.') piece += '.';
    piece += line;
    piece += "\r\n";
    if (piece.size() >= kDataPiece) {
      write(piece);
      piece.clear();
    }
  });
  piece += ".\r\n";
  write(piece);
}

}  // namespace

TIdSMTP::TIdSMTP() = default;

TIdSMTP::~TIdSMTP() { Disconnect(); }

bool TIdSMTP::Connected() const { return connection_.Connected(); }

void TIdSMTP::Connect(int timeout_ms) {
  if (Connected()) throw TransportError("Already connected.");
  authenticated_ = false;
  try {
    connection_.SetReadTimeout(ReadTimeoutMs);
    connection_.SetMaxLineLength(kMaxReplyLineLength);
    connection_.SetStopFlag(StopFlag);
    connection_.Connect(Host, Port, timeout_ms);
    if (UseTls == TlsMode::kImplicit ||
        ((UseTls == TlsMode::kAuto || UseTls == TlsMode::kRequired) && Port == kImplicitTlsPort)) {
      connection_.StartTls();
    }
    ReadReply();
    CheckReply({220});
    Introduce();
    if (UseTls == TlsMode::kRequired && !connection_.Secure()) {
      throw TransportError(kTlsRequiredText);
    }
  } catch (...) {
    connection_.Close();
    throw;
  }
}

void TIdSMTP::Introduce() {
  if (!Ehlo()) {
    SendCmd("HELO " + LocalName(), {250});
    return;
  }
  if ((UseTls != TlsMode::kAuto && UseTls != TlsMode::kRequired) || connection_.Secure()) return;
  const bool offers_starttls = std::any_of(
      last_lines_.begin() + 1, last_lines_.end(),
      [](const std::string& line) { return EqualsIgnoringAsciiCase(line, "STARTTLS"); });
  if (!offers_starttls) return;
  SendCmd("STARTTLS", {220});
  connection_.StartTls();
  // What the server announced in plain text no longer counts (RFC 3207).
  if (!Ehlo()) SendCmd("HELO " + LocalName(), {250});
}

bool TIdSMTP::Ehlo() {
  mechanisms_.clear();
  if (SendCmd("EHLO " + LocalName(), {}) != 250) return false;
  for (const std::string& line : last_lines_) {
    if (!StartsWithIgnoringAsciiCase(line, "AUTH ") &&
        !StartsWithIgnoringAsciiCase(line, "AUTH=")) {
      continue;
    }
    std::string rest = line.substr(4);
    std::replace(rest.begin(), rest.end(), '=', ' ');
    std::size_t pos = 0;
    while ((pos = rest.find_first_not_of(' ', pos)) != std::string::npos) {
      const std::size_t end = std::min(rest.find(' ', pos), rest.size());
      std::string word = rest.substr(pos, end - pos);
      if (std::none_of(mechanisms_.begin(), mechanisms_.end(),
                       [&](const std::string& m) { return EqualsIgnoringAsciiCase(m, word); })) {
        mechanisms_.push_back(std::move(word));
      }
      pos = end;
    }
  }
  return true;
}

std::string TIdSMTP::LocalName() const {
  if (!HeloName.empty()) return HeloName;
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

int TIdSMTP::ReadReply(int timeout_ms) {
  if (timeout_ms <= 0) timeout_ms = ReplyTimeoutMs;
  if (timeout_ms > 0) {
    connection_.SetDeadline(std::chrono::steady_clock::now() +
                            std::chrono::milliseconds(timeout_ms));
  }
  try {
    const int code = ReadReplyLines();
    connection_.ClearDeadline();
    return code;
  } catch (const DeadlinePassed&) {
    connection_.ClearDeadline();
    throw DeadlinePassed("The SMTP server did not answer within " +
                         std::to_string(timeout_ms / 1000) +
                         " seconds; the connection was closed.");
  } catch (...) {
    connection_.ClearDeadline();
    throw;
  }
}

int TIdSMTP::ReadReplyLines() {
  last_lines_.clear();
  for (;;) {
    const std::string line = connection_.ReadLine();
    const bool well_formed = line.size() >= 3 &&
                             std::isdigit(static_cast<unsigned char>(line[0])) &&
                             std::isdigit(static_cast<unsigned char>(line[1])) &&
                             std::isdigit(static_cast<unsigned char>(line[2])) &&
                             (line.size() == 3 || line[3] == ' ' || line[3] == '-');
    if (!well_formed) throw TransportError("Invalid SMTP reply: \"" + line + "\"");
    const int code = std::stoi(line.substr(0, 3));
    if (!last_lines_.empty() && code != last_code_) {
      throw TransportError("Invalid SMTP reply: \"" + line + "\"");
    }
    last_code_ = code;
    if (last_lines_.size() >= kMaxReplyLines) {
      connection_.Close();  // the rest of the reply is still on its way
      throw TransportError("SMTP reply longer than " + std::to_string(kMaxReplyLines) + " lines.");
    }
    last_lines_.push_back(line.size() > 4 ? line.substr(4) : std::string());
    if (line.size() == 3 || line[3] == ' ') return code;
  }
}

void TIdSMTP::CheckReply(std::initializer_list<int> expected) const {
  if (expected.size() == 0 ||
      std::find(expected.begin(), expected.end(), last_code_) != expected.end()) {
    return;
  }
  std::string text;
  for (const std::string& line : last_lines_) {
    if (!text.empty()) text += '\n';
    text += line;
  }
  throw ProtocolError(last_code_, text);
}

int TIdSMTP::SendCmd(std::string_view command, std::initializer_list<int> expected) {
  if (!Connected()) throw ConnectionClosed();
  connection_.WriteLine(command);
  const int code = ReadReply();
  CheckReply(expected);
  return code;
}

void TIdSMTP::AuthenticateIfOffered() {
  if (AuthenticationType != TIdSMTPAuthenticationType::atLogin || authenticated_) return;
  const bool offers_login =
      std::any_of(mechanisms_.begin(), mechanisms_.end(),
                  [](const std::string& m) { return EqualsIgnoringAsciiCase(m, "LOGIN"); });
  if (!offers_login) return;
  SendCmd("AUTH LOGIN", {334});
  SendCmd(Base64Encode(Username), {334});
  SendCmd(Base64Encode(Password), {235});
  authenticated_ = true;
}

void TIdSMTP::Send(const TIdMessage& message) {
  if (!Connected()) throw ConnectionClosed();
  // Everything that can be refused is checked and built before the first command, so a
  // bad address or an oversized message never leaves half a transaction behind.
  const std::string from =
      message.From.Address.empty() ? std::string() : CheckedAddress(message.From.Address);
  std::vector<std::string> recipients;
  AppendAddresses(message.Recipients, recipients);
  AppendAddresses(message.CCList, recipients);
  AppendAddresses(message.BccList, recipients);
  CheckDataLines(message);

  SendCmd("RSET", {});
  AuthenticateIfOffered();
  SendCmd("MAIL FROM:<" + from + ">", {250});
  for (const std::string& recipient : recipients) {
    SendCmd("RCPT TO:<" + recipient + ">", {250, 251});
  }
  SendCmd("DATA", {354});
  WriteDataSection(message, [this](std::string_view piece) { connection_.Write(piece); });
  ReadReply(DataEndTimeoutMs);
  CheckReply({250});
}

void TIdSMTP::Disconnect() noexcept {
  if (Connected()) {
    try {
      connection_.WriteLine("QUIT");
    } catch (const std::exception&) {
      // Closed below in any case.
    }
  }
  connection_.Close();
  authenticated_ = false;
  mechanisms_.clear();
}

}  // namespace kestrune
