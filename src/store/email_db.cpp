// Emails.Dat: TEmailRecord layout and the TUserEmailDB operations.
#include "store/email_db.h"

#include <algorithm>
#include <fstream>

#include "platform/text_encoding.h"
#include "store/record_io.h"

namespace kestrune {
namespace {

using Record = TEmailRecord;

// The layout: the text fields back to back, the flag, the file name, three alignment
// bytes, the status as the last four bytes.
static_assert(Record::kSenderOffset == Record::kSubjectOffset + Record::kTextCapacity + 1);
static_assert(Record::kRecipientOffset == Record::kSenderOffset + Record::kTextCapacity + 1);
static_assert(Record::kDateTextOffset == Record::kRecipientOffset + Record::kTextCapacity + 1);
static_assert(Record::kHasAttachmentOffset == Record::kDateTextOffset + Record::kTextCapacity + 1);
static_assert(Record::kFileNameOffset == Record::kHasAttachmentOffset + 1);
static_assert(Record::kStatusOffset == Record::kFileNameOffset + Record::kTextCapacity + 1 + 3);
static_assert(Record::kStatusOffset + 4 == Record::kSize);

constexpr std::size_t kCountOffset = 8;
static_assert(kCountOffset + 4 == TUserEmailDB::kHeaderSize);
constexpr RecordFile::Layout kLayout{.file_name = TUserEmailDB::kFileName,
                                     .magic = "KSTE",
                                     .header_size = TUserEmailDB::kHeaderSize,
                                     .count_offset = kCountOffset,
                                     .record_size = Record::kSize};

// A message file's header section is read up to this many bytes.
constexpr std::size_t kMaxHeaderSectionBytes = std::size_t{1} << 20;

// Where record index (1-based) starts in a record array.
std::ptrdiff_t OffsetOf(int index) {
  return static_cast<std::ptrdiff_t>(static_cast<std::size_t>(index - 1) * Record::kSize);
}

std::span<const std::uint8_t, Record::kSize> RecordAt(const std::vector<std::uint8_t>& records,
                                                      int index) {
  return std::span<const std::uint8_t, Record::kSize>(
      records.data() + static_cast<std::size_t>(index - 1) * Record::kSize, Record::kSize);
}

void CopyRecord(std::span<const std::uint8_t, Record::kSize> from, std::vector<std::uint8_t>& to,
                int index) {
  std::copy(from.begin(), from.end(), to.begin() + OffsetOf(index));
}

int CountOf(const std::vector<std::uint8_t>& records) {
  return static_cast<int>(records.size() / Record::kSize);
}

std::string FileNameAt(const std::vector<std::uint8_t>& records, int index) {
  return ReadCountedString(RecordAt(records, index), Record::kFileNameOffset,
                           Record::kTextCapacity);
}

// The index of the first record whose FileName is name; 0 when none.
int FindFileName(const std::vector<std::uint8_t>& records, std::string_view name) {
  const int count = CountOf(records);
  for (int index = 1; index <= count; ++index) {
    if (FileNameAt(records, index) == name) return index;
  }
  return 0;
}

// FileName comes from the index file: only a plain name inside the mail store is used.
bool IsPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::string_view TrimWhiteSpace(std::string_view text) {
  constexpr std::string_view kWhite = " \t\r\n";
  const std::size_t first = text.find_first_not_of(kWhite);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kWhite) - first + 1);
}

// The folder group a mark may move within: Inbox or Saved; -1 for every other status.
int MarkGroup(std::int32_t status) {
  if (status >= email_status::kInboxUnread && status <= email_status::kInboxForwarded) return 0;
  if (status >= email_status::kSavedUnread && status <= email_status::kSavedForwarded) return 1;
  return -1;
}

// Whether after differs from before only by a mark within the same folder.
bool OnlyMarked(std::span<const std::uint8_t, Record::kSize> before,
                std::span<const std::uint8_t, Record::kSize> after) {
  if (!std::equal(before.begin(), before.begin() + Record::kStatusOffset, after.begin())) {
    return false;
  }
  const std::int32_t old_status = ReadInt32LE(before, Record::kStatusOffset);
  const std::int32_t new_status = ReadInt32LE(after, Record::kStatusOffset);
  return old_status == new_status ||
         (MarkGroup(old_status) >= 0 && MarkGroup(old_status) == MarkGroup(new_status));
}

}  // namespace

TEmailRecord TEmailRecord::FromBytes(std::span<const std::uint8_t, kSize> bytes) {
  TEmailRecord email;
  std::copy(bytes.begin(), bytes.end(), email.raw.begin());
  email.Subject = ReadCountedString(bytes, kSubjectOffset, kTextCapacity);
  email.Sender = ReadCountedString(bytes, kSenderOffset, kTextCapacity);
  email.Recipient = ReadCountedString(bytes, kRecipientOffset, kTextCapacity);
  email.DateText = ReadCountedString(bytes, kDateTextOffset, kTextCapacity);
  email.HasAttachment = ReadFlag(bytes, kHasAttachmentOffset);
  email.FileName = ReadCountedString(bytes, kFileNameOffset, kTextCapacity);
  email.Status = ReadInt32LE(bytes, kStatusOffset);
  return email;
}

std::array<std::uint8_t, TEmailRecord::kSize> TEmailRecord::ToBytes() const {
  std::array<std::uint8_t, kSize> out = raw;
  const std::span<std::uint8_t> bytes(out);
  WriteCountedString(bytes, kSubjectOffset, kTextCapacity, Subject);
  WriteCountedString(bytes, kSenderOffset, kTextCapacity, Sender);
  WriteCountedString(bytes, kRecipientOffset, kTextCapacity, Recipient);
  WriteCountedString(bytes, kDateTextOffset, kTextCapacity, DateText);
  WriteFlag(bytes, kHasAttachmentOffset, HasAttachment);
  WriteCountedString(bytes, kFileNameOffset, kTextCapacity, FileName);
  WriteInt32LE(bytes, kStatusOffset, Status);
  return out;
}

std::optional<std::string> ReadMessageIdOfFile(const std::filesystem::path& message_file) {
  std::ifstream in(message_file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string head(kMaxHeaderSectionBytes, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));

  std::optional<std::string> value;
  std::size_t start = 0;
  while (start < head.size()) {
    std::size_t end = head.find('\n', start);
    if (end == std::string::npos) end = head.size();
    std::string_view line(head.data() + start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;  // end of the header section
    const bool continuation = line.front() == ' ' || line.front() == '\t';
    if (value) {
      if (!continuation) break;  // the field is complete: the first one counts
      *value += line;
      continue;
    }
    if (continuation) continue;
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos &&
        EqualsIgnoringAsciiCase(TrimWhiteSpace(line.substr(0, colon)), "Message-ID")) {
      value = std::string(line.substr(colon + 1));
    }
  }
  if (!value) return std::nullopt;
  return std::string(TrimWhiteSpace(*value));
}

TUserEmailDB::TUserEmailDB(MessageIdReader message_id_reader)
    : MailStoreFile(kLayout), message_id_reader_(std::move(message_id_reader)) {}

std::int32_t TUserEmailDB::StatusAt(int index) const {
  return ReadInt32LE(RecordAt(records_, index), Record::kStatusOffset);
}

void TUserEmailDB::MergeInto(RecordArray& records) const {
  // Records are never removed, so a changed record is normally still at its index;
  // its FileName confirms it (and finds it should the file have been rebuilt).
  const int count = CountOf(records);
  for (const auto& [index, file_name] : changed_) {
    int target = 0;
    if (index <= count && FileNameAt(records, index) == file_name) {
      target = index;
    } else if (!file_name.empty()) {
      target = FindFileName(records, file_name);
    }
    if (target > 0) CopyRecord(RecordAt(records_, index), records, target);
  }
  const auto added = records_.begin() + OffsetOf(BaseCount() + 1);
  records.insert(records.end(), added, records_.end());
}

bool TUserEmailDB::GetEmail(int index, TEmailRecord& email) const {
  if (!open_ || index < 1 || index > RecordCount()) return false;
  email = TEmailRecord::FromBytes(RecordAt(records_, index));
  return true;
}

std::optional<std::int32_t> TUserEmailDB::GetStatus(int index) const {
  if (!open_ || index < 1 || index > RecordCount()) return std::nullopt;
  return StatusAt(index);
}

bool TUserEmailDB::AddEmail(const TEmailRecord& email) {
  if (!open_) return false;
  const auto bytes = email.ToBytes();
  records_.insert(records_.end(), bytes.begin(), bytes.end());
  RecordsChanged(RecordCount(), 1);
  return true;
}

bool TUserEmailDB::SetEmail(int index, const TEmailRecord& email) {
  if (!open_ || index < 1 || index > RecordCount()) return false;
  if (index <= BaseCount() && !changed_.contains(index)) {
    changed_.emplace(index, FileNameAt(records_, index));
  }
  const auto bytes = email.ToBytes();
  if (!OnlyMarked(RecordAt(records_, index), bytes)) needs_flush_ = true;
  CopyRecord(bytes, records_, index);
  RecordsChanged(index, 1);
  return true;
}

bool TUserEmailDB::FindByMsgId(std::string_view message_id) const {
  // Every message without a Message-ID would equal an empty one: no match instead.
  if (!open_ || message_id.empty()) return false;
  const int count = RecordCount();
  for (int index = 1; index <= count; ++index) {
    const std::string name = FileNameAt(records_, index);
    if (!IsPlainFileName(name)) continue;
    const std::filesystem::path file = Directory() / name;
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) continue;  // purged
    const std::optional<std::string> stored = message_id_reader_(file);
    if (stored && EqualsIgnoringAsciiCase(*stored, message_id)) return true;
  }
  return false;
}

int TUserEmailDB::CountStatus(std::int32_t low, std::int32_t high) const {
  if (!open_) return 0;
  const int count = RecordCount();
  int found = 0;
  for (int index = 1; index <= count; ++index) {
    const std::int32_t status = StatusAt(index);
    if (status >= low && status <= high) ++found;
  }
  return found;
}

int TUserEmailDB::CountUnread() const {
  return CountStatus(email_status::kInboxUnread, email_status::kInboxUnread) +
         CountStatus(email_status::kSavedUnread, email_status::kSavedUnread);
}

int TUserEmailDB::CountInboxUnread() const {
  return CountStatus(email_status::kInboxUnread, email_status::kInboxUnread);
}

int TUserEmailDB::CountSavedUnread() const {
  return CountStatus(email_status::kSavedUnread, email_status::kSavedUnread);
}

int TUserEmailDB::CountInbox() const {
  return CountStatus(email_status::kInboxUnread, email_status::kInboxForwarded);
}

int TUserEmailDB::CountSaved() const {
  return CountStatus(email_status::kSavedUnread, email_status::kSavedForwarded);
}

int TUserEmailDB::CountOutbox() const {
  return CountStatus(email_status::kOutbox, email_status::kOutbox);
}

int TUserEmailDB::CountSent() const {
  return CountStatus(email_status::kSent, email_status::kSent);
}

int TUserEmailDB::CountDeleted() const {
  return CountStatus(email_status::kDeleted, email_status::kDeleted);
}

}  // namespace kestrune
