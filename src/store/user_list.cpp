// Users.Dat: TUserRecord layout and the TUserList operations.
#include "store/user_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <ctime>
#include <optional>
#include <set>

#include "platform/operator_messages.h"
#include "platform/text_encoding.h"
#include "store/mail_store_paths.h"
#include "store/record_io.h"
#include "store/user_names.h"

namespace kestrune {
namespace {

using Record = TUserRecord;

// The layout: every field directly after the previous one, alignment gaps at 516 and 2076.
static_assert(Record::kPasswordOffset == Record::kUserNameOffset + 256);
static_assert(Record::kReservedOffset == Record::kPasswordOffset + 256);
static_assert(Record::kCreatedOffset == Record::kReservedOffset + 4 + 4);
static_assert(Record::kUserDirOffset == Record::kCreatedOffset + 8);
static_assert(Record::kAddSignatureOffset == Record::kUserDirOffset + Record::kUserDirCapacity + 1);
static_assert(Record::kPermissionLevelOffset == Record::kAddSignatureOffset + 1);
static_assert(Record::kEmailCheckOnLoginOffset == Record::kPermissionLevelOffset + 4);
static_assert(Record::kAutoCheckEmailsOffset == Record::kEmailCheckOnLoginOffset + 1);
static_assert(Record::kAutoAddContactsOffset == Record::kAutoCheckEmailsOffset + 1);
static_assert(Record::kLeaveEmailsOffset == Record::kAutoAddContactsOffset + 1);
static_assert(Record::kEmailDisplayNameOffset == Record::kLeaveEmailsOffset + 1);
static_assert(Record::kEmailAddressOffset == Record::kEmailDisplayNameOffset + 256);
static_assert(Record::kPopServerOffset == Record::kEmailAddressOffset + 256);
static_assert(Record::kPopPortOffset == Record::kPopServerOffset + 256);
static_assert(Record::kPopUserNameOffset == Record::kPopPortOffset + 4);
static_assert(Record::kPopPasswordOffset == Record::kPopUserNameOffset + 256);
static_assert(Record::kPopPasswordOffset + 256 + 4 == Record::kSize);

constexpr RecordFile::Layout kLayout{.file_name = TUserList::kFileName,
                                     .magic = "KST",
                                     .header_size = TUserList::kHeaderSize,
                                     .count_offset = 4,
                                     .record_size = Record::kSize};

std::span<const std::uint8_t, Record::kSize> RecordAt(const std::vector<std::uint8_t>& records,
                                                      int index) {
  return std::span<const std::uint8_t, Record::kSize>(
      records.data() + static_cast<std::size_t>(index - 1) * Record::kSize, Record::kSize);
}

void StoreAt(std::vector<std::uint8_t>& records, int index,
             const std::array<std::uint8_t, Record::kSize>& record) {
  std::copy(record.begin(), record.end(),
            records.begin() + static_cast<std::ptrdiff_t>(index - 1) * Record::kSize);
}

}  // namespace

TUserRecord TUserRecord::FromBytes(std::span<const std::uint8_t, kSize> bytes) {
  TUserRecord user;
  std::copy(bytes.begin(), bytes.end(), user.raw.begin());
  user.UserName = ReadCountedString(bytes, kUserNameOffset, kNameCapacity);
  user.Password = ReadCountedString(bytes, kPasswordOffset, kNameCapacity);
  user.Reserved = ReadInt32LE(bytes, kReservedOffset);
  user.Created = ReadDouble(bytes, kCreatedOffset);
  user.UserDir = ReadCountedString(bytes, kUserDirOffset, kUserDirCapacity);
  user.AddSignature = ReadFlag(bytes, kAddSignatureOffset);
  user.PermissionLevel = ReadInt32LE(bytes, kPermissionLevelOffset);
  user.EmailCheckOnLogin = ReadFlag(bytes, kEmailCheckOnLoginOffset);
  user.AutoCheckEmails = ReadFlag(bytes, kAutoCheckEmailsOffset);
  user.AutoAddContacts = ReadFlag(bytes, kAutoAddContactsOffset);
  user.LeaveEmails = ReadFlag(bytes, kLeaveEmailsOffset);
  user.EmailDisplayName = ReadCountedString(bytes, kEmailDisplayNameOffset, kNameCapacity);
  user.EmailAddress = ReadCountedString(bytes, kEmailAddressOffset, kNameCapacity);
  user.PopServer = ReadCountedString(bytes, kPopServerOffset, kNameCapacity);
  user.PopPort = ReadInt32LE(bytes, kPopPortOffset);
  user.PopUserName = ReadCountedString(bytes, kPopUserNameOffset, kNameCapacity);
  user.PopPassword = ReadCountedString(bytes, kPopPasswordOffset, kNameCapacity);
  return user;
}

std::array<std::uint8_t, TUserRecord::kSize> TUserRecord::ToBytes() const {
  std::array<std::uint8_t, kSize> out = raw;
  const std::span<std::uint8_t> bytes(out);
  WriteCountedString(bytes, kUserNameOffset, kNameCapacity, UserName);
  WriteCountedString(bytes, kPasswordOffset, kNameCapacity, Password);
  WriteInt32LE(bytes, kReservedOffset, Reserved);
  WriteDouble(bytes, kCreatedOffset, Created);
  WriteCountedString(bytes, kUserDirOffset, kUserDirCapacity, UserDir);
  WriteFlag(bytes, kAddSignatureOffset, AddSignature);
  WriteInt32LE(bytes, kPermissionLevelOffset, PermissionLevel);
  WriteFlag(bytes, kEmailCheckOnLoginOffset, EmailCheckOnLogin);
  WriteFlag(bytes, kAutoCheckEmailsOffset, AutoCheckEmails);
  WriteFlag(bytes, kAutoAddContactsOffset, AutoAddContacts);
  WriteFlag(bytes, kLeaveEmailsOffset, LeaveEmails);
  WriteCountedString(bytes, kEmailDisplayNameOffset, kNameCapacity, EmailDisplayName);
  WriteCountedString(bytes, kEmailAddressOffset, kNameCapacity, EmailAddress);
  WriteCountedString(bytes, kPopServerOffset, kNameCapacity, PopServer);
  WriteInt32LE(bytes, kPopPortOffset, PopPort);
  WriteCountedString(bytes, kPopUserNameOffset, kNameCapacity, PopUserName);
  WriteCountedString(bytes, kPopPasswordOffset, kNameCapacity, PopPassword);
  return out;
}

bool IsValidUserDirectoryName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.size() > TUserRecord::kNameCapacity) {
    return false;
  }
  // Invalid UTF-8 would read back as different (Windows-1252) text.
  if (!IsValidUtf8(name)) return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || c == ':' || byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

int TUserList::RecordCount(const RecordArray& records) {
  return static_cast<int>(records.size() / TUserRecord::kSize);
}

std::string TUserList::NameAt(const RecordArray& records, int index) {
  return ReadCountedString(RecordAt(records, index), TUserRecord::kUserNameOffset,
                           TUserRecord::kNameCapacity);
}

int TUserList::FindNth(const RecordArray& records, std::string_view name, int nth) {
  const int count = RecordCount(records);
  for (int index = 1; index <= count; ++index) {
    if (EqualsIgnoringAsciiCase(NameAt(records, index), name) && nth-- == 0) return index;
  }
  return 0;
}

int TUserList::OrdinalOfNameAt(const RecordArray& records, int index) {
  const std::string name = NameAt(records, index);
  int ordinal = 0;
  for (int earlier = 1; earlier < index; ++earlier) {
    if (EqualsIgnoringAsciiCase(NameAt(records, earlier), name)) ++ordinal;
  }
  return ordinal;
}

void TUserList::Apply(const Change& change, RecordArray& records) {
  switch (change.kind) {
    case Change::Kind::kAdd:
      records.insert(records.end(), change.record.begin(), change.record.end());
      return;
    case Change::Kind::kSetNth:
      if (const int index = FindNth(records, change.name, change.nth); index > 0) {
        StoreAt(records, index, change.record);
      }
      return;
    case Change::Kind::kDeleteNth:
      if (const int index = FindNth(records, change.name, change.nth); index > 0) {
        const auto start =
            records.begin() + static_cast<std::ptrdiff_t>(index - 1) * TUserRecord::kSize;
        records.erase(start, start + TUserRecord::kSize);
      }
      return;
    case Change::Kind::kUpdateByName: {
      const int count = RecordCount(records);
      for (int index = 1; index <= count; ++index) {
        if (EqualsIgnoringAsciiCase(NameAt(records, index), change.name)) {
          StoreAt(records, index, change.record);
        }
      }
      return;
    }
  }
}

TUserList::TUserList() : record_file_(kLayout) {}

bool TUserList::CheckOpen(std::string_view message) {
  if (!open_) ShowOperatorMessage(message);
  return open_;
}

void TUserList::Record(Change change) {
  Apply(change, records_);
  pending_.push_back(std::move(change));
}

bool TUserList::Open(const std::filesystem::path& directory) {
  try {
    auto file = std::make_unique<DataFile>(directory / kFileName);
    RecordFile::Header header;
    RecordArray records;
    if (const auto image = file->Read()) {
      if (image->size() >= kHeaderSize && !record_file_.MagicMatches(*image)) {
        ShowOperatorMessage("Invalid User DataBase Code:305");
        return false;
      }
      record_file_.Load(*image, header, records);
    } else {
      if (!CreatePrivateDirectories(directory)) {
        ShowOperatorMessage("Error Creating Users Directory Code:301");
        return false;
      }
      header = record_file_.NewHeader();
    }
    header_ = std::move(header);
    records_ = std::move(records);
    directory_ = directory;
    file_ = std::move(file);
    pending_.clear();
    open_ = true;
    return true;
  } catch (const std::exception&) {
    ShowOperatorMessage("Error Loading Users Database Code:300");
    return false;
  }
}

bool TUserList::Reload() {
  if (!open_) return false;
  const std::filesystem::path directory = directory_;
  Close();
  return Open(directory);
}

int TUserList::GetCount() {
  if (!CheckOpen("Error Loading Users Database Code:306")) return -1;
  return RecordCount(records_);
}

bool TUserList::GetUser(int index, TUserRecord& user) {
  if (!CheckOpen("Error Loading Users Database Code:308")) return false;
  if (index < 1 || index > RecordCount(records_)) return false;
  user = TUserRecord::FromBytes(RecordAt(records_, index));
  return true;
}

bool TUserList::FindUser(std::string_view name, TUserRecord& user) {
  if (!CheckOpen("Error Loading Users Database Code:309")) return false;
  const int index = FindNth(records_, name, 0);
  if (index == 0) return false;
  user = TUserRecord::FromBytes(RecordAt(records_, index));
  return true;
}

bool TUserList::UserExists(std::string_view name) {
  if (!CheckOpen("Error Loading Users Database Code:314")) return false;
  return FindNth(records_, name, 0) != 0;
}

bool TUserList::AddUser(TUserRecord& user) {
  if (!CheckOpen("Error Loading Users Database Code:307")) return false;
  user.Reserved = 0;
  user.Created = std::floor(NowAsDateValue());
  Record(Change{.kind = Change::Kind::kAdd, .name = {}, .nth = 0, .record = user.ToBytes()});
  return true;
}

bool TUserList::UpdateUser(std::string_view name, const TUserRecord& user) {
  if (!CheckOpen("Error Loading Users Database Code:313")) return false;
  if (FindNth(records_, name, 0) == 0) return false;
  Record(Change{
      .kind = Change::Kind::kUpdateByName, .name = std::string(name), .record = user.ToBytes()});
  return true;
}

bool TUserList::SetUser(int index, const TUserRecord& user) {
  if (!CheckOpen("Error Loading Users Database Code:312")) return false;
  if (index < 1 || index > RecordCount(records_)) return false;
  Record(Change{.kind = Change::Kind::kSetNth,
                .name = NameAt(records_, index),
                .nth = OrdinalOfNameAt(records_, index),
                .record = user.ToBytes()});
  return true;
}

bool TUserList::DeleteUserAt(int index) {
  if (!CheckOpen("Error Loading Users Database Code:310")) return false;
  if (index < 1 || index > RecordCount(records_)) return false;
  Record(Change{.kind = Change::Kind::kDeleteNth,
                .name = NameAt(records_, index),
                .nth = OrdinalOfNameAt(records_, index),
                .record = {}});
  return true;
}

bool TUserList::DeleteUser(std::string_view name) {
  if (!CheckOpen("Error Loading Users Database Code:311")) return false;
  if (FindNth(records_, name, 0) == 0) return false;
  Record(
      Change{.kind = Change::Kind::kDeleteNth, .name = std::string(name), .nth = 0, .record = {}});
  return true;
}

void TUserList::MergeCurrent(const CurrentFile& current, RecordFile::Header& header,
                             RecordArray& records) {
  if (!current.changed) return;
  // Another holder saved since this copy was read: apply this copy's changes again to
  // the records on disk so that neither side's changes are lost.
  if (current.bytes) {
    if (current.bytes->size() >= kHeaderSize && !record_file_.MagicMatches(*current.bytes)) {
      throw DamagedFileError("Users.Dat no longer holds a user database");
    }
    record_file_.Load(*current.bytes, header, records);
  } else {
    records.clear();
  }
  for (const Change& change : pending_) Apply(change, records);
}

void TUserList::Save() {
  constexpr const char* kNotOpen = "Error Saving Users Database Code:304";
  if (!CheckOpen(kNotOpen)) throw NotOpenError(kNotOpen);
  RecordFile::Header header = header_;
  RecordArray records = records_;
  file_->Modify([&](const CurrentFile& current) {
    MergeCurrent(current, header, records);
    return record_file_.BuildImage(header, records);
  });
  header_ = std::move(header);
  records_ = std::move(records);
  pending_.clear();
}

namespace {

// Thrown inside a save to leave the file as it was.
struct NameTaken {};

// UserDir in the one spelling used to compare mail stores: normalised, ending in "/".
std::string StoreKey(std::string_view user_dir) {
  std::string key = std::filesystem::path(user_dir).lexically_normal().string();
  if (key.empty() || key.back() != '/') key += '/';
  return key;
}

// Creates a mail store no record in records names: "NAME/", "NAME-2/", ... Returns its
// UserDir, or nullopt when none could be made.
std::optional<std::string> CreateFreeStore(const std::filesystem::path& users_directory,
                                           const std::string& name,
                                           const std::set<std::string>& named) {
  std::string base = users_directory.string();
  if (base.empty() || base.back() != '/') base += '/';
  constexpr int kMaxTries = 1000;
  for (int n = 1; n <= kMaxTries; ++n) {
    const std::string candidate = base + name + (n == 1 ? "" : "-" + std::to_string(n)) + "/";
    if (candidate.size() > TUserRecord::kUserDirCapacity) return std::nullopt;
    if (named.contains(StoreKey(candidate))) continue;
    // mkdir fails when anything exists under that name (a link included), so a store
    // is never shared, whoever made the directory.
    if (::mkdir(candidate.c_str(), 0700) == 0) return candidate;
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

NewAccountResult TUserList::AddUserWithNewStore(TUserRecord& user) {
  if (!CheckOpen("Error Loading Users Database Code:307")) return NewAccountResult::kNoStore;
  const std::string key = UserNameKey(user.UserName);
  RecordFile::Header header = header_;
  RecordArray records = records_;
  std::optional<std::string> created;
  bool no_store = false;
  user.Reserved = 0;
  user.Created = std::floor(NowAsDateValue());
  try {
    file_->Modify([&](const CurrentFile& current) {
      MergeCurrent(current, header, records);
      std::set<std::string> named;
      const int count = RecordCount(records);
      for (int index = 1; index <= count; ++index) {
        const TUserRecord other = TUserRecord::FromBytes(RecordAt(records, index));
        if (UserNameKey(other.UserName) == key) throw NameTaken{};
        if (!other.UserDir.empty()) named.insert(StoreKey(other.UserDir));
      }
      created = CreateFreeStore(directory_, user.UserName, named);
      if (!created) {
        no_store = true;
        throw NameTaken{};
      }
      user.UserDir = *created;
      Apply(Change{.kind = Change::Kind::kAdd, .name = {}, .nth = 0, .record = user.ToBytes()},
            records);
      return record_file_.BuildImage(header, records);
    });
  } catch (const NameTaken&) {
    return no_store ? NewAccountResult::kNoStore : NewAccountResult::kNameTaken;
  } catch (...) {
    if (created) ::rmdir(created->c_str());
    throw;
  }
  header_ = std::move(header);
  records_ = std::move(records);
  pending_.clear();
  return NewAccountResult::kAdded;
}

namespace {

// Thrown inside a save when the edit declined: the file stays as it was.
struct EditDeclined {};

}  // namespace

bool TUserList::EditUnderLock(const std::function<bool(std::vector<TUserRecord>& users)>& edit) {
  constexpr const char* kNotOpen = "Error Saving Users Database Code:304";
  if (!CheckOpen(kNotOpen)) throw NotOpenError(kNotOpen);
  RecordFile::Header header = header_;
  RecordArray records = records_;
  try {
    file_->Modify([&](const CurrentFile& current) {
      MergeCurrent(current, header, records);
      std::vector<TUserRecord> users;
      const int count = RecordCount(records);
      users.reserve(static_cast<std::size_t>(count));
      for (int index = 1; index <= count; ++index) {
        users.push_back(TUserRecord::FromBytes(RecordAt(records, index)));
      }
      if (!edit(users)) throw EditDeclined{};
      records.clear();
      records.reserve(users.size() * TUserRecord::kSize);
      for (const TUserRecord& user : users) {
        const auto bytes = user.ToBytes();
        records.insert(records.end(), bytes.begin(), bytes.end());
      }
      return record_file_.BuildImage(header, records);
    });
  } catch (const EditDeclined&) {
    return false;
  }
  header_ = std::move(header);
  records_ = std::move(records);
  pending_.clear();
  return true;
}

std::optional<std::filesystem::path> MoveMailStoreAside(std::string_view user_dir,
                                                        std::string_view users_directory) {
  if (user_dir.empty() || !IsUserDirInside(user_dir, users_directory)) return std::nullopt;
  // "Users/ann/" and "Users/ann" both name the store "ann", never the users directory.
  std::filesystem::path store = std::filesystem::path(user_dir).lexically_normal();
  if (!store.has_filename()) store = store.parent_path();
  std::error_code error;
  if (!std::filesystem::is_directory(std::filesystem::symlink_status(store, error))) {
    return std::nullopt;
  }
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &local);
  const std::string base = store.filename().string() + ".deleted-" + stamp;
  constexpr int kMaxTries = 100;
  for (int n = 1; n <= kMaxTries; ++n) {
    const std::filesystem::path target =
        store.parent_path() / (base + (n == 1 ? "" : "-" + std::to_string(n)));
    if (std::filesystem::exists(std::filesystem::symlink_status(target, error))) continue;
    std::filesystem::rename(store, target, error);
    if (!error) return target;
    return std::nullopt;
  }
  return std::nullopt;
}

bool TUserList::Close() {
  if (!CheckOpen("Error Closing Users DataBase Code:303")) return false;
  records_ = RecordArray();
  pending_.clear();
  file_.reset();
  open_ = false;
  return true;
}

}  // namespace kestrune
