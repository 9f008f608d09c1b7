// The message index of one mail store: every message of a user as a 1288-byte
// TEmailRecord in Emails.Dat (header "KSTE" + count, then the twice-compressed record
// array). A message's folder and read state are its record's Status; records are never
// removed, so an index only grows and an index number names the same message for good.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/mail_store_file.h"
#include "store/record_file.h"

namespace kestrune {

// Status values of an index record: the folder and the state within it.
namespace email_status {
inline constexpr std::int32_t kInboxUnread = 0;
inline constexpr std::int32_t kInboxRead = 1;
inline constexpr std::int32_t kInboxReplied = 2;
inline constexpr std::int32_t kInboxForwarded = 3;
inline constexpr std::int32_t kDeleted = 4;
inline constexpr std::int32_t kOutbox = 5;
inline constexpr std::int32_t kSent = 6;
inline constexpr std::int32_t kSavedUnread = 7;
inline constexpr std::int32_t kSavedRead = 8;
inline constexpr std::int32_t kSavedReplied = 9;
inline constexpr std::int32_t kSavedForwarded = 10;
inline constexpr std::int32_t kPurged = 99;  // message file deleted, record kept
}  // namespace email_status

// One message of the index. raw keeps the 1288 bytes the record was read from, so that
// bytes outside the fields (alignment, text after a counted string's end) are written
// back as found. A record built by a caller starts zero-filled.
struct TEmailRecord {
  static constexpr std::size_t kSize = 1288;
  static constexpr std::size_t kTextCapacity = 255;

  // Byte offsets of the fields.
  static constexpr std::size_t kSubjectOffset = 0;
  static constexpr std::size_t kSenderOffset = 256;
  static constexpr std::size_t kRecipientOffset = 512;
  static constexpr std::size_t kDateTextOffset = 768;
  static constexpr std::size_t kHasAttachmentOffset = 1024;
  static constexpr std::size_t kFileNameOffset = 1025;
  static constexpr std::size_t kStatusOffset = 1284;

  std::string Subject;
  std::string Sender;
  std::string Recipient;
  std::string DateText;  // when stored or sent, local short date and long time
  bool HasAttachment = false;
  std::string FileName;  // base name + ".eml" within the mail store
  std::int32_t Status = email_status::kInboxUnread;

  std::array<std::uint8_t, kSize> raw{};

  static TEmailRecord FromBytes(std::span<const std::uint8_t, kSize> bytes);
  // raw with every field written over it.
  std::array<std::uint8_t, kSize> ToBytes() const;
};

// Reads the Message-ID of a stored message file; nullopt when the file cannot be read
// or has no Message-ID.
using MessageIdReader =
    std::function<std::optional<std::string>(const std::filesystem::path& message_file)>;

// The value of the first "Message-ID" field (name in any letter case) of a message
// file's header section, unfolded and without surrounding white space. Only the header
// section is read, at most 1 MiB of it.
std::optional<std::string> ReadMessageIdOfFile(const std::filesystem::path& message_file);

// Emails.Dat of one mail store, one holder's copy. Used by one thread at a time (a
// session's copy by the thread serving its request, an engine run's by that run).
// Save merges: when another holder saved since this copy was read, the records this
// copy changed are written over the file's current records (found again by their
// FileName) and the records it added are appended after the file's, so neither side's
// changes are lost. Open returns false for a file that is not a message index.
// Saving rule: when every change since the last save only marks messages within their
// folder (read, replied, forwarded: Inbox 0..3 or Saved 7..10 to another state of the
// same folder, nothing else of the record changed), the save is not forced to the disk
// (a power failure may take a mark back, never a message). Any other change (a move,
// a delete or purge, a new record, another field) is flushed before the save returns.
class TUserEmailDB : public MailStoreFile {
 public:
  static constexpr const char* kFileName = "Emails.Dat";
  static constexpr std::size_t kHeaderSize = 12;

  explicit TUserEmailDB(MessageIdReader message_id_reader = ReadMessageIdOfFile);

  bool GetEmail(int index, TEmailRecord& email) const;
  // The Status of record index without decoding the rest of the record (listings that
  // pick the few records they show out of a large index); nullopt outside the index.
  std::optional<std::int32_t> GetStatus(int index) const;
  bool AddEmail(const TEmailRecord& email);
  bool SetEmail(int index, const TEmailRecord& email);
  bool FindByMsgId(std::string_view message_id) const;

  int CountUnread() const;
  int CountInboxUnread() const;
  int CountSavedUnread() const;
  int CountInbox() const;
  int CountSaved() const;
  int CountOutbox() const;
  int CountSent() const;
  int CountDeleted() const;

 private:
  std::int32_t StatusAt(int index) const;
  int CountStatus(std::int32_t low, std::int32_t high) const;
  void MergeInto(RecordArray& records) const override;
  void ForgetChanges() override {
    changed_.clear();
    needs_flush_ = false;
  }
  bool ChangesNeedFlush() const override { return needs_flush_ || BaseCount() < RecordCount(); }
  bool ReportsRecordChanges() const override { return true; }

  // The FileName each base record had when it was read, for the records this copy
  // changed since (keyed by index).
  std::map<int, std::string> changed_;
  MessageIdReader message_id_reader_;
  // A change since the last save that only marking would not explain.
  bool needs_flush_ = false;
};

}  // namespace kestrune
