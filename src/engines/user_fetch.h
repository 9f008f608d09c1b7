// One fetch of one user's POP3 mailbox into the user's mail store, shared by the
// console's receive run, the command line and (through thin wrappers) a web session.
// Nothing is deleted on the server before it is stored for good: messages are stored in
// batches, and a message is marked for deletion (DELE) only after its batch's files are
// synced and the index listing them is saved; QUIT then commits the deletions. After
// any failure that follows a DELE the connection is dropped without QUIT.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "engines/mail_error.h"
#include "mail/line_connection.h"

namespace kestrune {

class TIdMessage;
class TIdPOP3;
struct TUserRecord;

// What a fetch tells its caller as it goes; every method has an empty default.
class FetchReporter {
 public:
  virtual ~FetchReporter() = default;
  // Another fetch holds the user's mail store: nothing was done.
  virtual void Busy() {}
  virtual void Connecting() {}
  // Logged in; secure is false when the password went over a plain connection.
  virtual void Connected(bool secure) {}
  virtual void Waiting(int count) {}
  // Message `number` was stored; message is its decoded form.
  virtual void Stored(int number, const TIdMessage& message) {}
  // Message `number` could not be retrieved or stored; it stays on the server.
  virtual void MessageFailed(int number, const MailError& error) {}
  // Message `number` is not retrieved (too large, or it failed in too many runs) and
  // stays on the server; told once a day per message, not at every run.
  virtual void MessageSkipped(int number, const MailError& reason) {}
  // The session ended before the last message without committing anything on the
  // server (a message passed the size limit or its deadline, or the server refused
  // message after message); the rest waits for the next run.
  virtual void EndedEarly(const MailError& reason) {}
  // The index (or the record of fetched messages) could not be read or written.
  virtual void StoreFailed(const MailError& error) {}
  // The session ended with QUIT.
  virtual void Disconnected() {}
  // The session ended on an error, without QUIT when anything may have been marked.
  virtual void Failed(const MailError& error) {}
  // The connection or the log-in failed (nothing was fetched). By default a Failed.
  virtual void ConnectFailed(const MailError& error) { Failed(error); }
  // The stop flag ended the fetch; nothing was committed on the server.
  virtual void Stopped() {}
};

struct FetchOptions {
  static constexpr std::size_t kDefaultMaxMessageSize = 50u * 1024u * 1024u;

  int connect_timeout_ms = 0;
  int read_timeout_ms = 20000;
  TlsMode tls = TlsMode::kAuto;
  // How long to wait for another holder of the user's mail store (zero: skip at once).
  std::chrono::milliseconds lock_wait{0};
  const std::atomic<bool>* stop = nullptr;  // also closes a waiting connection at once
  // The largest message taken; a larger one stays on the server and is remembered.
  std::size_t max_message_size = kDefaultMaxMessageSize;
  // Each message must arrive whole within max(message_time_floor, its size divided by
  // message_min_rate bytes a second), however steadily its bytes trickle in.
  std::chrono::milliseconds message_time_floor{60000};
  std::size_t message_min_rate = 10 * 1024;
  // Runs whose retrieval of a message failed before it is no longer retried.
  int max_attempts = 3;
  // Consecutive messages refused with "-ERR" that end the session.
  int max_consecutive_refusals = 3;
  // Stored messages are committed in batches: their files are synced together when a
  // batch reaches this many messages (at most 256), this many bytes, or this age; the
  // index that lists them is then saved and they are marked for deletion on the server.
  std::size_t batch_messages = 256;
  std::size_t batch_bytes = 32u * 1024u * 1024u;
  std::chrono::milliseconds batch_time{2000};
  // With a server that offers pipelining: RETRs sent ahead of their answers, at most
  // this many (0: one command at a time) and, beyond the first, at most this many bytes
  // of messages by their LIST sizes.
  std::size_t pipeline_depth = 32;
  std::size_t pipeline_bytes = 1024u * 1024u;
  // A save of the index waits until this many times its last duration has passed since
  // it (in a large store the whole index costs more to write than a batch to fetch).
  int save_spacing = 4;
  // "YYYY-MM-DD" of today for the once-a-day log lines; empty: the local date.
  std::string today;
};

struct FetchResult {
  bool busy = false;     // another fetch held the mail store
  bool stopped = false;  // ended by the stop flag
  int waiting = 0;       // messages on the server
  int stored = 0;
  int failed = 0;            // messages that failed to be retrieved or stored
  int skipped = 0;           // messages left on the server on purpose (too large, failing for good)
  bool ended_early = false;  // the session was abandoned before the last message
  MailError error;           // what ended the session early, if anything
  bool store_failed = false;
  bool Ok() const { return !stopped && failed == 0 && !error && !store_failed; }
};

// Fetches the user's mailbox with `client` (disconnected first when connected).
// The caller checks that the POP3 settings are complete.
FetchResult FetchUserMail(const TUserRecord& user, const FetchOptions& options, TIdPOP3& client,
                          FetchReporter& reporter);

}  // namespace kestrune
