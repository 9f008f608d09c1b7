// The address book of one mail store: every contact as a 520-byte TContactRecord in
// Contacts.Dat (header "KSTC" + count, then the twice-compressed record array). Deleted
// contacts are only marked until the next save, which drops them and sorts the rest by
// name; the quick list offers the most used contacts to the compose page.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/mail_store_file.h"
#include "store/record_file.h"

namespace kestrune {

// One contact. raw keeps the 520 bytes the record was read from, so that bytes after a
// counted string's text are written back as found. A record built by a caller starts
// zero-filled.
struct TContactRecord {
  static constexpr std::size_t kSize = 520;
  static constexpr std::size_t kTextCapacity = 255;

  // Byte offsets of the fields.
  static constexpr std::size_t kContactNameOffset = 0;
  static constexpr std::size_t kContactEmailOffset = 256;
  static constexpr std::size_t kUseCountOffset = 512;
  static constexpr std::size_t kActiveOffset = 516;

  std::string ContactName;
  std::string ContactEmail;
  std::int32_t UseCount = 0;  // times picked as a recipient
  std::int32_t Active = 0;    // 1 in use, 0 deleted (dropped at the next save)

  std::array<std::uint8_t, kSize> raw{};

  static TContactRecord FromBytes(std::span<const std::uint8_t, kSize> bytes);
  // raw with every field written over it.
  std::array<std::uint8_t, kSize> ToBytes() const;
};

// Contacts.Dat of one mail store, one holder's copy. Used by one thread at a time (a
// session's copy by the thread serving its request). Indexes are 1-based and change at
// every save. Save merges: when another holder saved since this copy was read, the
// contacts this copy changed or deleted are found again in the file by name and address,
// and get this copy's changes field by field (a raised UseCount adds its increase), and
// the contacts it added are appended, so neither side's changes are lost. Save drops
// deleted contacts and sorts the rest by name; Open returns false for a file that is not
// an address book.
class TContactsDB : public MailStoreFile {
 public:
  static constexpr const char* kFileName = "Contacts.Dat";
  static constexpr std::size_t kHeaderSize = 12;

  TContactsDB();

  int CountActive() const;
  bool GetContact(int index, TContactRecord& contact) const;
  bool FindContact(std::string_view text, TContactRecord& contact) const;
  int FindContactIndex(std::string_view text) const;
  bool AddContact(std::string_view name, std::string_view address);
  bool AppendContact(const TContactRecord& contact);
  bool SetContact(int index, const TContactRecord& contact);
  void DeleteContact(int index);

  // The most used contacts, most used first: FirstQuickContact, then NextQuickContact
  // until it returns false. The state lives in this object, which belongs to one session.
  bool FirstQuickContact(TContactRecord& contact);
  bool NextQuickContact(TContactRecord& contact);

 private:
  using RecordBytes = std::array<std::uint8_t, TContactRecord::kSize>;

  static constexpr int kQuickSlots = 5;

  TContactRecord RecordAt(int index) const;
  void Remember(int index);
  void MergeInto(RecordArray& records) const override;
  void ForgetChanges() override { originals_.clear(); }
  void PrepareForWriting(RecordArray& records) override;
  bool RearrangesRecordsForWriting() const override { return true; }

  // The bytes each base record had when it was read, for the records this copy changed
  // or deleted since (keyed by index).
  std::map<int, RecordBytes> originals_;

  // Quick list: the last contact picked and the indexes picked so far (-1 when free).
  TContactRecord last_pick_;
  std::array<int, kQuickSlots> picked_{};
};

}  // namespace kestrune
