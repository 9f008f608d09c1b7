// TIdPOP3: the POP3 client (RFC 1939) as the fetch engines and the connection tests use
// it: log in with USER/PASS, count with STAT, fetch with RETR and TOP into a message
// object, mark with DELE, and commit with QUIT. TLS on the POP3S port, or through STLS
// when the server's CAPA reply offers it. When CAPA lists PIPELINING (RFC 2449) the
// caller may send commands ahead and read their replies in order.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "mail/id_message.h"
#include "mail/line_connection.h"

namespace kestrune {

// One client object, reused for user after user; used by one thread at a time.
// Errors are raised as the kinds of mail/socket_error.h; a message that cannot be read
// raises MessageError (mail/mime_error.h).
class TIdPOP3 {
 public:
  static constexpr int kDefaultPort = 110;
  static constexpr int kImplicitTlsPort = 995;
  // The error of a connect with TlsMode::kRequired to a server that offers no STLS.
  static constexpr const char* kTlsRequiredText =
      "TLS is required, but the POP3 server does not offer STLS: the user name and password "
      "were not sent.";

  // Lines of a multi-line reply other than a message (CAPA); more is a broken server.
  static constexpr std::size_t kMaxReplyLines = 1000;
  // Entries of a UIDL or LIST reply taken at most: a mailbox that claims more is handled
  // as its first kMaxListedMessages messages (a real one never gets near).
  static constexpr std::size_t kMaxListedMessages = 1000000;

  // Settings, set by the caller before Connect.
  std::string Host;
  int Port = kDefaultPort;
  std::string Username;
  std::string Password;
  // No data within this many milliseconds is a ReadTimeout (0 or less: wait forever).
  int ReadTimeoutMs = LineConnection::kDefaultReadTimeoutMs;
  TlsMode UseTls = TlsMode::kAuto;
  // The largest message Retrieve accepts, in bytes; the connection is closed as soon
  // as a message passes it.
  std::size_t MaxMessageSize = TIdMessage::kDefaultMaxMessageSize;
  // Set by another thread to stop at once: the waiting read closes the socket and raises
  // StopRequested. Null: no flag.
  const std::atomic<bool>* StopFlag = nullptr;

  TIdPOP3();
  ~TIdPOP3();

  // Connects within `timeout_ms` (0 or less: the system's own limit), reads the
  // greeting and logs in. Fails when already connected. Any failure closes the
  // connection before it is raised.
  void Connect(int timeout_ms);
  bool Connected() const;
  bool Secure() const { return connection_.Secure(); }
  // Whether the server's CAPA reply (the one after STLS, when upgraded) lists PIPELINING.
  bool Pipelining() const { return pipelining_; }

  // Sends `commands` in one write without waiting for their replies. Each reply is then
  // read, in the order sent, by the call that would have sent that command (Retrieve,
  // Delete, ...: called with the same arguments, it sends nothing and reads the reply);
  // calling any other command first is a std::logic_error. Only for a server that
  // offers pipelining, and only a few at a time (each must fit the server's socket
  // buffer while it is busy answering the ones before).
  void SendAhead(const std::vector<std::string>& commands);
  // Commands sent ahead whose replies have not been read, oldest first.
  const std::deque<std::string>& Pending() const { return pending_; }
  // Reads the reply of the oldest pending command and throws it away (a message or
  // listing is read to its end, bounded by MaxMessageSize and by `time_limit`). Raises
  // what a read raises.
  void DiscardReply(std::chrono::milliseconds time_limit = std::chrono::seconds(60));

  // STAT: the number of messages in the mailbox.
  int CheckMessages();
  // RETR n into `message` (read as its NoDecode says); false on "-ERR". Lines of the
  // message may be of any length within MaxMessageSize. A message that passes
  // MaxMessageSize closes the connection and raises MessageTooLarge; with a positive
  // `time_limit`, one that has not arrived whole by then closes it and raises
  // DeadlinePassed.
  bool Retrieve(int n, TIdMessage& message,
                std::chrono::milliseconds time_limit = std::chrono::milliseconds(0));
  // TOP n 0: the header section of message n into `message`.
  // With a positive `time_limit`, as Retrieve: DeadlinePassed when it is not complete by then.
  bool RetrieveHeader(int n, TIdMessage& message,
                      std::chrono::milliseconds time_limit = std::chrono::milliseconds(0));
  // The size of the message the last Retrieve or RetrieveHeader read, as LIST counts
  // it: its lines with CR LF, without the dot-stuffing and the end line.
  std::uint64_t LastMessageOctets() const { return last_octets_; }
  // UIDL: message number -> unique id, for every number the reply lists (the id is
  // empty when it is not 1 to 70 printable ASCII characters; a number listed twice
  // keeps an empty id). False when the server answers "-ERR" (it has no UIDL).
  bool RetrieveUidList(std::map<int, std::string>& uids);
  // LIST: message number -> size in octets. False on "-ERR".
  bool RetrieveSizeList(std::map<int, std::uint64_t>& sizes);
  // DELE n; the deletion takes effect only when Disconnect sends QUIT.
  bool Delete(int n);
  // QUIT when connected, then close in any case. Never raises. Replies still pending
  // are read first; when they cannot be, the connection is closed without QUIT.
  void Disconnect() noexcept;
  // Closes without QUIT, so the server discards the deletions of this session (for a
  // connection whose state is no longer known).
  void Abort() noexcept {
    connection_.Close();
    pending_.clear();
  }

  // The last reply: "+OK" or "-ERR", and its text lines (the status line's text first).
  const std::string& LastStatus() const { return last_status_; }
  const std::vector<std::string>& LastReplyLines() const { return last_lines_; }

 private:
  // Sends `command` and reads the status line. Returns true for "+OK", false for
  // "-ERR"; any other reply raises the unrecognised-reply error.
  bool SendCmd(std::string_view command);
  // SendCmd that raises ProtocolError (the server's text) unless the reply is "+OK".
  void SendCmdExpectOk(std::string_view command);
  bool ReadStatus();
  // CAPA: sets pipelining_; true when the server offers STLS (false when it answers
  // "-ERR", as servers without CAPA do).
  bool ReadCapabilities();
  // The lines of a multi-line reply up to "." with the extra "." of ".." removed.
  std::vector<std::string> ReadMultiLine();
  bool RetrieveInto(std::string_view command, TIdMessage& message,
                    std::chrono::milliseconds time_limit);
  // The lines of a UIDL or LIST reply as (number, rest of the line), at most
  // kMaxListedMessages of them.
  template <typename Take>
  void ReadListing(std::string_view what, Take take);
  void LogIn();

  LineConnection connection_;
  std::string last_status_;
  std::vector<std::string> last_lines_;
  std::uint64_t last_octets_ = 0;
  bool pipelining_ = false;
  std::deque<std::string> pending_;  // commands sent ahead, replies not yet read
};

}  // namespace kestrune
