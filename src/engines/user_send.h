// One send of one user's Outbox through a connected SMTP client, shared by the console's
// send run, the command line and (through a thin wrapper) a web session. Messages go
// out as stored; one refused message stays in the Outbox and the next one is tried;
// only a failure of the connection itself ends the send. A message is marked Sent right
// after the server accepted it, and is never sent twice by this process.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string_view>

#include "engines/mail_error.h"

namespace kestrune {

class TIdSMTP;
struct TUserRecord;

class SendReporter {
 public:
  virtual ~SendReporter() = default;
  // Another send holds the user's mail store: nothing was done.
  virtual void Busy() {}
  // The index could not be opened.
  virtual void StoreFailed(const MailError& error) {}
  // Record `index` could not be read while counting, or while sending.
  virtual void CountFailed(int index) {}
  virtual void RecordUnreadable(int index) {}
  virtual void Waiting(int count) {}
  virtual void Sending(int index, std::string_view first_to) {}
  virtual void FileMissing(int index) {}
  virtual void Sent(int index) {}
  // The server refused this message, or it could not be read or addressed; it stays in
  // the Outbox.
  virtual void MessageFailed(int index, const MailError& error) {}
  // Sent, but the index could not be saved: this process will not send it again.
  virtual void SaveFailed(int index, const MailError& error) {}
  // The connection failed while sending message `index`: the send ends here.
  virtual void ConnectionFailed(int index, const MailError& error) {}
  virtual void Completed() {}
};

struct SendResult {
  bool busy = false;
  bool stopped = false;
  int waiting = 0;
  int sent = 0;
  int failed = 0;
  bool store_failed = false;
  MailError connection_error;  // kAuthentication when the server refused the log-in
  bool Ok() const { return !stopped && failed == 0 && !store_failed && !connection_error; }
};

// Sends every Outbox message of the user (Status 5, index order) with the connected
// client; waits at most lock_wait for another sender of the same user.
SendResult SendUserOutbox(const TUserRecord& user, TIdSMTP& client,
                          std::chrono::milliseconds lock_wait, const std::atomic<bool>* stop,
                          SendReporter& reporter);

// Whether this process sent the message file (store path / file name) but could not
// record it; such a message is never sent again.
bool WasSentUnrecorded(const std::filesystem::path& message_file);

}  // namespace kestrune
