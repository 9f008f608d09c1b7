// The record of which POP3 messages a mail store holds already: one line per stored
// message with the account it came from, its POP3 unique id (UIDL) and the message
// file it became. A fetch appends a line as soon as a message file is complete, so a
// run that dies before it saved the index leaves a trail the next run can adopt; lines
// count only while the index refers to their file (the index is the authority).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

struct FetchedMessage {
  std::string account;    // AccountKey of the POP3 account
  std::string uid;        // empty when the message had no usable UIDL
  std::string file_name;  // the message file in the mail store
};

// "user@server" as one token (blanks, tabs, line ends and "%" escaped). The port is
// left out: moving an account to its TLS port keeps what it knows.
std::string AccountKey(std::string_view pop_user, std::string_view pop_server);

// Whether uid can be a POP3 unique id: 1 to 70 printable ASCII characters, no blank.
bool IsPopUid(std::string_view uid);

// Whether account is an AccountKey as written (no blanks or control characters).
bool IsAccountKey(std::string_view account);

// "Fetched.Uidl" of one mail store. Used by the one holder of the store's fetch lock.
class FetchedUidFile {
 public:
  static constexpr const char* kFileName = "Fetched.Uidl";

  explicit FetchedUidFile(std::filesystem::path mail_store);
  ~FetchedUidFile();
  FetchedUidFile(const FetchedUidFile&) = delete;
  FetchedUidFile& operator=(const FetchedUidFile&) = delete;

  // Every well-formed line; a missing file is empty, malformed lines are skipped.
  // Throws std::system_error when the file exists but cannot be read.
  std::vector<FetchedMessage> Load() const;
  // Adds one line at the end (written at once, not yet synced). Throws
  // std::system_error when it cannot be written.
  void Append(const FetchedMessage& message);
  // Makes the appended lines durable (before the index that refers to them is saved).
  void Sync();
  // Replaces the file with exactly these lines, atomically.
  void Rewrite(const std::vector<FetchedMessage>& messages);

  const std::filesystem::path& Path() const { return path_; }

 private:
  void CloseAppender() noexcept;

  std::filesystem::path path_;
  int append_fd_ = -1;
};

}  // namespace kestrune
