// POP3 client: one status line per command ("+OK" or "-ERR"), multi-line replies ended
// by a line holding only ".", with a leading "." doubled on lines that begin with one.
#include "mail/id_pop3.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <stdexcept>
#include <string>

#include "mail/id_message.h"
#include "mail/socket_error.h"
#include "platform/ascii.h"

namespace kestrune {

namespace {

// The first word of a status line, and the text after it.
std::pair<std::string_view, std::string_view> SplitStatus(std::string_view line) {
  const std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return {line, {}};
  return {line.substr(0, blank), line.substr(blank + 1)};
}

// User name and password go into command lines; anything that could end the line or
// look like protocol punctuation is refused before a byte is sent.
void CheckCommandArgument(std::string_view value, std::string_view what) {
  if (value.find_first_of(std::string_view("\r\n\0<>", 5)) != std::string_view::npos) {
    throw TransportError("The POP3 " + std::string(what) +
                         " contains a character that cannot be sent (CR, LF, NUL, \"<\" or "
                         "\">\").");
  }
}

}  // namespace

TIdPOP3::TIdPOP3() = default;

TIdPOP3::~TIdPOP3() { Disconnect(); }

bool TIdPOP3::Connected() const { return connection_.Connected(); }

void TIdPOP3::Connect(int timeout_ms) {
  if (Connected()) throw TransportError("Already connected.");
  CheckCommandArgument(Username, "user name");
  CheckCommandArgument(Password, "password");
  pending_.clear();
  pipelining_ = false;
  try {
    connection_.SetReadTimeout(ReadTimeoutMs);
    connection_.SetMaxLineLength(LineConnection::kDefaultMaxLineLength);
    connection_.SetStopFlag(StopFlag);
    connection_.ClearDeadline();
    connection_.Connect(Host, Port, timeout_ms);
    const bool upgrade_mode = UseTls == TlsMode::kAuto || UseTls == TlsMode::kRequired;
    const bool implicit_tls =
        UseTls == TlsMode::kImplicit || (upgrade_mode && Port == kImplicitTlsPort);
    if (implicit_tls) connection_.StartTls();
    if (!ReadStatus()) throw ProtocolError(0, last_lines_.front());
    // Servers without CAPA answer "-ERR": the session stays plain and in lock-step.
    const bool offers_stls = ReadCapabilities();
    if (upgrade_mode && !implicit_tls && offers_stls) {
      SendCmdExpectOk("STLS");
      connection_.StartTls();
      // What the plain-text reply offered may have been altered on the way: ask again.
      ReadCapabilities();
    }
    if (UseTls == TlsMode::kRequired && !connection_.Secure()) {
      throw TransportError(kTlsRequiredText);
    }
    LogIn();
  } catch (...) {
    Abort();
    throw;
  }
}

bool TIdPOP3::ReadCapabilities() {
  bool offers_stls = false;
  pipelining_ = false;
  if (!SendCmd("CAPA")) return false;
  for (const std::string& capability : ReadMultiLine()) {
    const std::string_view name = SplitStatus(capability).first;
    if (EqualsIgnoringAsciiCase(name, "STLS")) offers_stls = true;
    if (EqualsIgnoringAsciiCase(name, "PIPELINING")) pipelining_ = true;
  }
  return offers_stls;
}

void TIdPOP3::LogIn() {
  SendCmdExpectOk("USER " + Username);
  SendCmdExpectOk("PASS " + Password);
}

bool TIdPOP3::ReadStatus() {
  const std::string line = connection_.ReadLine();
  const auto [status, text] = SplitStatus(line);
  last_lines_.assign(1, std::string(text));
  if (EqualsIgnoringAsciiCase(status, "+OK")) {
    last_status_ = "+OK";
    return true;
  }
  if (EqualsIgnoringAsciiCase(status, "-ERR")) {
    last_status_ = "-ERR";
    return false;
  }
  last_status_.clear();
  last_lines_.assign(1, line);
  throw TransportError("Unrecognized POP3 Response Header:\n\"" + line + "\"");
}

bool TIdPOP3::SendCmd(std::string_view command) {
  if (!Connected()) throw ConnectionClosed();
  if (pending_.empty()) {
    connection_.WriteLine(command);
  } else {
    if (pending_.front() != command) {
      throw std::logic_error("POP3 command \"" + std::string(command) +
                             "\" out of turn: the reply to \"" + pending_.front() +
                             "\" comes first.");
    }
    pending_.pop_front();  // sent ahead: its reply is the next one
  }
  return ReadStatus();
}

void TIdPOP3::SendAhead(const std::vector<std::string>& commands) {
  if (commands.empty()) return;
  if (!Connected()) throw ConnectionClosed();
  std::string data;
  for (const std::string& command : commands) {
    if (command.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
      throw TransportError("Refused to send a command line holding CR, LF or NUL.");
    }
    data += command;
    data += "\r\n";
  }
  connection_.Write(data);
  pending_.insert(pending_.end(), commands.begin(), commands.end());
}

void TIdPOP3::DiscardReply(std::chrono::milliseconds time_limit) {
  if (pending_.empty()) return;
  const std::string command = pending_.front();
  const auto [verb, argument] = SplitStatus(command);
  const bool multi_line = EqualsIgnoringAsciiCase(verb, "RETR") ||
                          EqualsIgnoringAsciiCase(verb, "TOP") ||
                          (argument.empty() && (EqualsIgnoringAsciiCase(verb, "UIDL") ||
                                                EqualsIgnoringAsciiCase(verb, "LIST") ||
                                                EqualsIgnoringAsciiCase(verb, "CAPA")));
  connection_.SetDeadline(std::chrono::steady_clock::now() + time_limit);
  try {
    if (SendCmd(command) && multi_line) {
      std::size_t received = 0;
      for (;;) {
        const std::size_t left = MaxMessageSize > received ? MaxMessageSize - received : 0;
        const std::string line = connection_.ReadLine(std::max<std::size_t>(left, 1));
        if (line == ".") break;
        received += line.size() + 2;
        if (received > MaxMessageSize) {
          connection_.Close();
          throw MessageTooLarge("A reply passed the limit of " + std::to_string(MaxMessageSize) +
                                " bytes; the connection was closed.");
        }
      }
    }
  } catch (...) {
    connection_.ClearDeadline();
    throw;
  }
  connection_.ClearDeadline();
}

void TIdPOP3::SendCmdExpectOk(std::string_view command) {
  if (!SendCmd(command)) throw ProtocolError(0, last_lines_.front());
}

std::vector<std::string> TIdPOP3::ReadMultiLine() {
  std::vector<std::string> lines;
  for (;;) {
    std::string line = connection_.ReadLine();
    if (line == ".") break;
    if (lines.size() >= kMaxReplyLines) {
      connection_.Close();  // the rest of the reply is still on its way
      throw TransportError("POP3 reply longer than " + std::to_string(kMaxReplyLines) + " lines.");
    }
    if (!line.empty() && line[0] == '.') line.erase(0, 1);
    lines.push_back(std::move(line));
  }
  last_lines_.insert(last_lines_.end(), lines.begin(), lines.end());
  return lines;
}

int TIdPOP3::CheckMessages() {
  SendCmdExpectOk("STAT");
  const std::string& text = last_lines_.front();
  const std::string_view count = SplitStatus(text).first;
  if (count.empty()) return 0;
  int value = 0;
  const auto [end, error] = std::from_chars(count.data(), count.data() + count.size(), value);
  if (error != std::errc() || end != count.data() + count.size() || value < 0) {
    throw TransportError("Invalid STAT reply from the POP3 server: \"" + text + "\"");
  }
  return value;
}

bool TIdPOP3::RetrieveInto(std::string_view command, TIdMessage& message,
                           std::chrono::milliseconds time_limit) {
  if (!SendCmd(command)) return false;
  message.SetMaxMessageSize(MaxMessageSize);
  const std::size_t limit = MaxMessageSize;
  std::size_t received = 0;  // bytes of the message so far, line ends counted as two
  last_octets_ = 0;
  // A line may take whatever is left of the size limit; the first byte past it ends the
  // session: draining the rest could take for ever.
  auto next_line = [&]() -> std::optional<std::string> {
    try {
      const std::size_t left = limit > received ? limit - received : 0;
      std::string line = connection_.ReadLine(std::max<std::size_t>(left, 1));
      if (line == ".") return line;  // the end mark always fits
      received += line.size() + 2;
      last_octets_ += line.size() + 2 - (line.starts_with("..") ? 1 : 0);
      if (received > limit) throw LineTooLong("");
      return line;
    } catch (const LineTooLong&) {
      connection_.Close();
      throw MessageTooLarge("The message is larger than the limit of " + std::to_string(limit) +
                            " bytes; the connection was closed at the limit.");
    }
  };
  if (time_limit.count() > 0) {
    connection_.SetDeadline(std::chrono::steady_clock::now() + time_limit);
  }
  try {
    // The reader stops at the "." line and undoes the dot-stuffing; a server that closes
    // before that line raises ConnectionClosed out of ReadLine, never a short message.
    message.ReadFromLines(next_line);
  } catch (const DeadlinePassed&) {
    connection_.ClearDeadline();
    throw DeadlinePassed("The message did not arrive whole within " +
                         std::to_string(time_limit.count() / 1000) +
                         " s; the connection was closed.");
  } catch (...) {
    connection_.ClearDeadline();
    throw;
  }
  connection_.ClearDeadline();
  return true;
}

bool TIdPOP3::Retrieve(int n, TIdMessage& message, std::chrono::milliseconds time_limit) {
  return RetrieveInto("RETR " + std::to_string(n), message, time_limit);
}

bool TIdPOP3::RetrieveHeader(int n, TIdMessage& message, std::chrono::milliseconds time_limit) {
  if (!RetrieveInto("TOP " + std::to_string(n) + " 0", message, time_limit)) {
    throw ProtocolError(0, last_lines_.front());
  }
  return true;
}

template <typename Take>
void TIdPOP3::ReadListing(std::string_view what, Take take) {
  std::size_t lines = 0;
  for (;;) {
    const std::string line = connection_.ReadLine();
    if (line == ".") break;
    if (++lines > kMaxListedMessages) {
      connection_.Close();  // the rest of the reply is still on its way
      throw TransportError("POP3 " + std::string(what) + " reply longer than " +
                           std::to_string(kMaxListedMessages) + " lines.");
    }
    const auto [number_text, rest] = SplitStatus(line);
    int number = 0;
    const auto [end, error] =
        std::from_chars(number_text.data(), number_text.data() + number_text.size(), number);
    if (error != std::errc() || end != number_text.data() + number_text.size() || number < 1) {
      continue;
    }
    take(number, rest);
  }
}

bool TIdPOP3::RetrieveUidList(std::map<int, std::string>& uids) {
  uids.clear();
  if (!SendCmd("UIDL")) return false;
  ReadListing("UIDL", [&uids](int number, std::string_view uid) {
    const bool valid =
        !uid.empty() && uid.size() <= 70 &&
        std::all_of(uid.begin(), uid.end(), [](char c) { return c > 0x20 && c < 0x7f; });
    const auto [it, inserted] = uids.try_emplace(number, valid ? std::string(uid) : "");
    if (!inserted) it->second.clear();  // listed twice: neither id can be trusted
  });
  return true;
}

bool TIdPOP3::RetrieveSizeList(std::map<int, std::uint64_t>& sizes) {
  sizes.clear();
  if (!SendCmd("LIST")) return false;
  ReadListing("LIST", [&sizes](int number, std::string_view rest) {
    const std::string_view size_text = SplitStatus(rest).first;
    std::uint64_t size = 0;
    const auto [end, error] =
        std::from_chars(size_text.data(), size_text.data() + size_text.size(), size);
    if (error != std::errc() || end != size_text.data() + size_text.size()) return;
    sizes[number] = size;
  });
  return true;
}

bool TIdPOP3::Delete(int n) {
  SendCmdExpectOk("DELE " + std::to_string(n));
  return true;
}

void TIdPOP3::Disconnect() noexcept {
  if (Connected()) {
    try {
      // QUIT's reply comes after those of the commands sent ahead; a failure here
      // closes without QUIT.
      while (!pending_.empty()) DiscardReply();
      connection_.WriteLine("QUIT");
      // Waiting for the answer makes sure the server has taken the QUIT (and with it
      // the deletions) before the socket goes away; its content does not matter.
      connection_.ReadLine();
    } catch (const std::exception&) {
      // The connection is closed below whatever happened.
    }
  }
  Abort();
}

}  // namespace kestrune
