// Access to the real mail peers started by scripts/peers for the integration tests: the
// ports and paths of its env file, POP3 mailboxes of one's own in the Dovecot instances,
// and the messages the recording SMTP servers received.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::testing {

// The env file written by "scripts/peers start DIR": $KESTRUNE_PEERS_ENV, else the one
// the CTest fixture starts under the build directory.
class Peers {
 public:
  // Loads the env file once; throws std::runtime_error naming the file when missing.
  static const Peers& Get();
  // Starts peers into `dir` with scripts/peers (for benchmarks run outside CTest).
  static void StartInto(const std::filesystem::path& dir);

  std::string Value(std::string_view key) const;
  int Port(std::string_view key) const;
  std::filesystem::path CaFile() const { return Value("TEST_CA_FILE"); }

 private:
  explicit Peers(const std::filesystem::path& env_file);
  std::map<std::string, std::string, std::less<>> values_;
};

// A POP3 account of the peers' pool claimed for this object alone, with an empty
// maildir. Messages are delivered by writing them into the maildir directly.
class PopMailbox {
 public:
  PopMailbox();

  const std::string& User() const { return user_; }
  const std::string& Password() const { return password_; }

  // Puts one message (lines separated by "\n" or "\r\n") into the mailbox; messages
  // are numbered in delivery order.
  void Deliver(std::string_view message);
  // The number of messages in the mailbox on disk.
  std::size_t MessageCount() const;

 private:
  std::string user_;
  std::string password_;
  std::filesystem::path maildir_;
  int delivered_ = 0;
};

// One message the recording SMTP server accepted.
struct SmtpRecord {
  std::string instance;
  std::string mail_from;
  std::vector<std::string> rcpt_to;
  std::string auth_login;  // empty when not authenticated
  bool tls = false;
  bool esmtp = false;
  std::string data;  // as received, dot-stuffing removed
};

// Waits up to `wait` for the record of the message sent from `mail_from`. Records of
// one connection are written in order, so after a later message's record was found an
// earlier one can be looked for without waiting.
std::optional<SmtpRecord> FindSmtpRecord(std::string_view mail_from,
                                         std::chrono::milliseconds wait = std::chrono::seconds(5));

// A sender address no other test uses, so its record can be found again.
std::string UniqueSender();

}  // namespace kestrune::testing
