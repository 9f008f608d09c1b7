// Contacts.Dat: TContactRecord layout and the TContactsDB operations.
#include "store/contacts_db.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "platform/text_encoding.h"
#include "store/record_io.h"

namespace kestrune {
namespace {

using Record = TContactRecord;

static_assert(Record::kContactEmailOffset ==
              Record::kContactNameOffset + Record::kTextCapacity + 1);
static_assert(Record::kUseCountOffset == Record::kContactEmailOffset + Record::kTextCapacity + 1);
static_assert(Record::kActiveOffset == Record::kUseCountOffset + 4);
static_assert(Record::kActiveOffset + 4 == Record::kSize);

constexpr std::size_t kCountOffset = 8;
static_assert(kCountOffset + 4 == TContactsDB::kHeaderSize);
constexpr RecordFile::Layout kLayout{.file_name = TContactsDB::kFileName,
                                     .magic = "KSTC",
                                     .header_size = TContactsDB::kHeaderSize,
                                     .count_offset = kCountOffset,
                                     .record_size = Record::kSize};

// Where record index (1-based) starts in a record array.
std::ptrdiff_t OffsetOf(int index) {
  return static_cast<std::ptrdiff_t>(static_cast<std::size_t>(index - 1) * Record::kSize);
}

int CountOf(const std::vector<std::uint8_t>& records) {
  return static_cast<int>(records.size() / Record::kSize);
}

std::span<const std::uint8_t, Record::kSize> BytesAt(const std::vector<std::uint8_t>& records,
                                                     int index) {
  return std::span<const std::uint8_t, Record::kSize>(
      records.data() + static_cast<std::size_t>(index - 1) * Record::kSize, Record::kSize);
}

void StoreAt(std::vector<std::uint8_t>& records, int index,
             const std::array<std::uint8_t, Record::kSize>& bytes) {
  std::copy(bytes.begin(), bytes.end(), records.begin() + OffsetOf(index));
}

// Contacts are told apart by name and address, ignoring ASCII case.
bool SameContact(const Record& a, const Record& b) {
  return EqualsIgnoringAsciiCase(a.ContactName, b.ContactName) &&
         EqualsIgnoringAsciiCase(a.ContactEmail, b.ContactEmail);
}

// The index of the (nth + 1)-th record of records that is the same contact as wanted;
// 0 when there are fewer.
int FindNthSame(const std::vector<std::uint8_t>& records, const Record& wanted, int nth) {
  const int count = CountOf(records);
  for (int index = 1; index <= count; ++index) {
    if (SameContact(Record::FromBytes(BytesAt(records, index)), wanted) && nth-- == 0) {
      return index;
    }
  }
  return 0;
}

std::int32_t AddUseCounts(std::int32_t count, std::int64_t increase) {
  const std::int64_t sum = std::int64_t{count} + increase;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      sum, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// Drops deleted records and sorts the rest by name, ignoring ASCII case (records of
// equal names keep their order).
void CompactAndSort(std::vector<std::uint8_t>& records) {
  std::vector<std::pair<std::string, std::array<std::uint8_t, Record::kSize>>> kept;
  const int count = CountOf(records);
  for (int index = 1; index <= count; ++index) {
    const auto bytes = BytesAt(records, index);
    if (ReadInt32LE(bytes, Record::kActiveOffset) == 0) continue;
    std::array<std::uint8_t, Record::kSize> copy{};
    std::copy(bytes.begin(), bytes.end(), copy.begin());
    kept.emplace_back(
        AsciiLower(ReadCountedString(bytes, Record::kContactNameOffset, Record::kTextCapacity)),
        copy);
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  records.clear();
  for (const auto& [name, bytes] : kept) records.insert(records.end(), bytes.begin(), bytes.end());
}

}  // namespace

TContactRecord TContactRecord::FromBytes(std::span<const std::uint8_t, kSize> bytes) {
  TContactRecord contact;
  std::copy(bytes.begin(), bytes.end(), contact.raw.begin());
  contact.ContactName = ReadCountedString(bytes, kContactNameOffset, kTextCapacity);
  contact.ContactEmail = ReadCountedString(bytes, kContactEmailOffset, kTextCapacity);
  contact.UseCount = ReadInt32LE(bytes, kUseCountOffset);
  contact.Active = ReadInt32LE(bytes, kActiveOffset);
  return contact;
}

std::array<std::uint8_t, TContactRecord::kSize> TContactRecord::ToBytes() const {
  std::array<std::uint8_t, kSize> out = raw;
  const std::span<std::uint8_t> bytes(out);
  WriteCountedString(bytes, kContactNameOffset, kTextCapacity, ContactName);
  WriteCountedString(bytes, kContactEmailOffset, kTextCapacity, ContactEmail);
  WriteInt32LE(bytes, kUseCountOffset, UseCount);
  WriteInt32LE(bytes, kActiveOffset, Active);
  return out;
}

TContactsDB::TContactsDB() : MailStoreFile(kLayout) {
  last_pick_.UseCount = -1;
  picked_.fill(-1);
}

TContactRecord TContactsDB::RecordAt(int index) const {
  return TContactRecord::FromBytes(BytesAt(records_, index));
}

void TContactsDB::Remember(int index) {
  if (index > BaseCount() || originals_.contains(index)) return;
  RecordBytes original{};
  const auto bytes = BytesAt(records_, index);
  std::copy(bytes.begin(), bytes.end(), original.begin());
  originals_.emplace(index, original);
}

void TContactsDB::MergeInto(RecordArray& records) const {
  // A changed contact is found in the other holder's version as the same occurrence of
  // its name and address (as they were when this copy read them) among the base records.
  const auto base_record = [this](int index) {
    const auto original = originals_.find(index);
    return original != originals_.end() ? TContactRecord::FromBytes(original->second)
                                        : RecordAt(index);
  };
  for (const auto& [index, original_bytes] : originals_) {
    const TContactRecord before = TContactRecord::FromBytes(original_bytes);
    int nth = 0;
    for (int earlier = 1; earlier < index; ++earlier) {
      if (SameContact(base_record(earlier), before)) ++nth;
    }
    const int target = FindNthSame(records, before, nth);
    if (target == 0) continue;  // the other holder deleted it
    const TContactRecord mine = RecordAt(index);
    TContactRecord merged = TContactRecord::FromBytes(BytesAt(records, target));
    if (mine.ContactName != before.ContactName) merged.ContactName = mine.ContactName;
    if (mine.ContactEmail != before.ContactEmail) merged.ContactEmail = mine.ContactEmail;
    merged.UseCount = AddUseCounts(merged.UseCount, std::int64_t{mine.UseCount} - before.UseCount);
    if (mine.Active != before.Active) merged.Active = mine.Active;
    StoreAt(records, target, merged.ToBytes());
  }
  const auto added = records_.begin() + OffsetOf(BaseCount() + 1);
  records.insert(records.end(), added, records_.end());
}

void TContactsDB::PrepareForWriting(RecordArray& records) { CompactAndSort(records); }

int TContactsDB::CountActive() const {
  if (!open_) return -1;
  const int count = RecordCount();
  int active = 0;
  for (int index = 1; index <= count; ++index) {
    if (ReadInt32LE(BytesAt(records_, index), Record::kActiveOffset) != 0) ++active;
  }
  return active;
}

bool TContactsDB::GetContact(int index, TContactRecord& contact) const {
  if (!open_ || index < 1 || index > RecordCount()) return false;
  contact = RecordAt(index);
  if (contact.Active != 0) return true;
  contact = TContactRecord{};  // a deleted contact reads as an empty one
  return false;
}

int TContactsDB::FindContactIndex(std::string_view text) const {
  if (!open_ || text.empty()) return -1;
  int found = -1;
  const int count = RecordCount();
  for (int index = 1; index <= count; ++index) {
    const TContactRecord contact = RecordAt(index);
    if (contact.Active == 1 && (EqualsIgnoringAsciiCase(contact.ContactName, text) ||
                                EqualsIgnoringAsciiCase(contact.ContactEmail, text))) {
      found = index;
    }
  }
  return found;
}

bool TContactsDB::FindContact(std::string_view text, TContactRecord& contact) const {
  const int index = FindContactIndex(text);
  if (index < 0) return false;
  contact = RecordAt(index);
  return true;
}

bool TContactsDB::AddContact(std::string_view name, std::string_view address) {
  TContactRecord contact;
  contact.ContactName = name;
  contact.ContactEmail = address;
  contact.UseCount = 0;
  contact.Active = 1;
  return AppendContact(contact);
}

bool TContactsDB::AppendContact(const TContactRecord& contact) {
  if (!open_) return false;
  const auto bytes = contact.ToBytes();
  records_.insert(records_.end(), bytes.begin(), bytes.end());
  return true;
}

bool TContactsDB::SetContact(int index, const TContactRecord& contact) {
  if (!open_ || index < 1 || index > RecordCount()) return false;
  Remember(index);
  StoreAt(records_, index, contact.ToBytes());
  return true;
}

void TContactsDB::DeleteContact(int index) {
  if (!open_ || index < 1 || index > RecordCount()) return;
  TContactRecord contact = RecordAt(index);
  if (contact.Active == 0) return;
  Remember(index);
  contact.Active = 0;
  StoreAt(records_, index, contact.ToBytes());
}

bool TContactsDB::FirstQuickContact(TContactRecord& contact) {
  last_pick_ = TContactRecord{};
  last_pick_.UseCount = -1;
  last_pick_.Active = 1;
  picked_.fill(-1);
  bool found = false;
  TContactRecord candidate;
  const int count = RecordCount();
  for (int index = 1; index <= count; ++index) {
    // The first of the most used contacts in index order wins.
    if (GetContact(index, candidate) && candidate.UseCount > last_pick_.UseCount) {
      last_pick_ = candidate;
      picked_[0] = index;
      found = true;
    }
  }
  if (found) contact = last_pick_;
  return found;
}

bool TContactsDB::NextQuickContact(TContactRecord& contact) {
  TContactRecord best;
  best.UseCount = -1;
  int best_index = -1;
  TContactRecord candidate;
  const int count = RecordCount();
  for (int index = 1; index <= count; ++index) {
    // Among equal counts the last in index order wins; a contact without a name, one
    // named like the last pick and one already picked are never offered.
    if (!GetContact(index, candidate) || candidate.ContactName.empty()) continue;
    if (candidate.UseCount >= best.UseCount && candidate.UseCount <= last_pick_.UseCount &&
        !EqualsIgnoringAsciiCase(candidate.ContactName, last_pick_.ContactName) &&
        !EqualsIgnoringAsciiCase(candidate.ContactName, best.ContactName) &&
        std::find(picked_.begin(), picked_.end(), index) == picked_.end()) {
      best = candidate;
      best_index = index;
    }
  }
  if (best_index < 0) return false;
  if (const auto free = std::find(picked_.begin(), picked_.end(), -1); free != picked_.end()) {
    *free = best_index;
  }
  last_pick_ = best;
  contact = best;
  return true;
}

}  // namespace kestrune
