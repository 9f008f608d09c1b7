// The user database: every account as a 2080-byte TUserRecord in Users.Dat (header
// "KST" + count, then the twice-compressed record array). TUserList is one holder's
// in-memory copy with record operations by 1-based index and by user name; misuse is
// reported to the console operator with the numbered "Error ... Code:3xx" messages.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/date_time.h"
#include "store/data_file.h"
#include "store/record_file.h"

namespace kestrune {

// One account. The fields are the record's contents; raw keeps the 2080 bytes the
// record was read from, so that bytes outside the fields (alignment, text after a
// counted string's end) are written back as found. A record built by a caller starts
// zero-filled.
struct TUserRecord {
  static constexpr std::size_t kSize = 2080;
  static constexpr std::size_t kNameCapacity = 255;
  static constexpr std::size_t kUserDirCapacity = 254;

  // Byte offsets of the fields.
  static constexpr std::size_t kUserNameOffset = 0;
  static constexpr std::size_t kPasswordOffset = 256;
  static constexpr std::size_t kReservedOffset = 512;
  static constexpr std::size_t kCreatedOffset = 520;
  static constexpr std::size_t kUserDirOffset = 528;
  static constexpr std::size_t kAddSignatureOffset = 783;
  static constexpr std::size_t kPermissionLevelOffset = 784;
  static constexpr std::size_t kEmailCheckOnLoginOffset = 788;
  static constexpr std::size_t kAutoCheckEmailsOffset = 789;
  static constexpr std::size_t kAutoAddContactsOffset = 790;
  static constexpr std::size_t kLeaveEmailsOffset = 791;
  static constexpr std::size_t kEmailDisplayNameOffset = 792;
  static constexpr std::size_t kEmailAddressOffset = 1048;
  static constexpr std::size_t kPopServerOffset = 1304;
  static constexpr std::size_t kPopPortOffset = 1560;
  static constexpr std::size_t kPopUserNameOffset = 1564;
  static constexpr std::size_t kPopPasswordOffset = 1820;

  std::string UserName;
  std::string Password;  // stored as typed
  std::int32_t Reserved = 0;
  DateValue Created = 0;
  std::string UserDir;  // mail store directory, ending in "/"
  bool AddSignature = false;
  std::int32_t PermissionLevel = 0;  // 0 Administrator, 1 Power User, 2 User
  bool EmailCheckOnLogin = false;
  bool AutoCheckEmails = false;
  bool AutoAddContacts = false;
  bool LeaveEmails = false;
  std::string EmailDisplayName;
  std::string EmailAddress;
  std::string PopServer;
  std::int32_t PopPort = 0;
  std::string PopUserName;
  std::string PopPassword;  // stored as typed

  std::array<std::uint8_t, kSize> raw{};

  static TUserRecord FromBytes(std::span<const std::uint8_t, kSize> bytes);
  // raw with every field written over it.
  std::array<std::uint8_t, kSize> ToBytes() const;
};

// Whether name can be a user name that is also the name of its mail store directory:
// not empty, not "." or "..", and without "/", "\", ":" or control characters.
bool IsValidUserDirectoryName(std::string_view name);

// Moves a deleted account's mail store aside to "<dir name>.deleted-YYYYMMDDTHHMMSS"
// (local time; "-2", "-3"... when taken) beside it, so that nothing is destroyed and no
// new account is ever given the old mail. Only a store inside users_directory is moved.
// The new path, or nullopt when nothing was moved.
std::optional<std::filesystem::path> MoveMailStoreAside(std::string_view user_dir,
                                                        std::string_view users_directory);

// What AddUserWithNewStore did.
enum class NewAccountResult {
  kAdded,      // saved, with user.UserDir its new mail store
  kNameTaken,  // a record's name has the same UserNameKey
  kNoStore,    // no mail store directory could be created (or none fits 254 bytes)
};

// Save on a list that is not open: nothing was written.
class NotOpenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Users.Dat, one holder's copy. Used by one thread at a time (the console's copy by the
// console, a session's by the thread serving its request). Save merges: when another
// holder saved since this copy was read, this copy's changes since then are applied
// again to the file's current records, so neither side's changes are lost.
class TUserList {
 public:
  static constexpr const char* kFileName = "Users.Dat";
  static constexpr std::size_t kHeaderSize = 8;

  TUserList();
  TUserList(const TUserList&) = delete;
  TUserList& operator=(const TUserList&) = delete;

  bool Open(const std::filesystem::path& directory);
  bool Reload();
  int GetCount();
  bool GetUser(int index, TUserRecord& user);
  bool FindUser(std::string_view name, TUserRecord& user);
  bool UserExists(std::string_view name);
  bool AddUser(TUserRecord& user);
  bool UpdateUser(std::string_view name, const TUserRecord& user);
  bool SetUser(int index, const TUserRecord& user);
  bool DeleteUserAt(int index);
  bool DeleteUser(std::string_view name);
  // Throws (std::system_error, ZlibError, DamagedFileError) when the file cannot be
  // written; the file is then unchanged and this copy keeps its unsaved changes. On a
  // list that is not open, shows code 304 and throws NotOpenError.
  void Save();
  // Adds user together with a mail store of its own, in one step under Users.Dat's lock
  // (so also against other processes): refused when a record's name has the name's
  // UserNameKey; otherwise the first of "<users directory>/NAME/", "NAME-2/", "NAME-3/"...
  // that no record names as its UserDir and that does not exist is created with mkdir
  // (which fails when it exists meanwhile: the next is tried), user.UserDir set to it,
  // the record added (as AddUser) and the file saved with this copy's other changes.
  // Not open: code 307 and kNoStore. A failed write throws as Save does, after the new
  // directory was removed again.
  NewAccountResult AddUserWithNewStore(TUserRecord& user);
  // Runs edit on the file's current records (this copy's unsaved changes applied first)
  // under Users.Dat's lock, also against other processes; when edit returns true the
  // records it leaves are written at once and become this copy. False (nothing written)
  // when edit declined. Throws as Save does; on a list that is not open, code 304 and
  // NotOpenError.
  bool EditUnderLock(const std::function<bool(std::vector<TUserRecord>& users)>& edit);
  // Close and Open again: false (the list then closed) when it was not open or the
  // file can no longer be read.
  bool Close();

  bool IsOpen() const { return open_; }

 private:
  // A change made since the last load or save, kept so that Save can apply it again
  // to records another holder saved in between. Index-based changes are remembered by
  // the name of the record they hit and which of the records of that name it was.
  struct Change {
    enum class Kind { kAdd, kSetNth, kDeleteNth, kUpdateByName };
    Kind kind;
    std::string name;
    int nth = 0;
    std::array<std::uint8_t, TUserRecord::kSize> record{};
  };

  using RecordArray = RecordFile::RecordArray;

  static int RecordCount(const RecordArray& records);
  static std::string NameAt(const RecordArray& records, int index);
  static int FindNth(const RecordArray& records, std::string_view name, int nth);
  static int OrdinalOfNameAt(const RecordArray& records, int index);
  static void Apply(const Change& change, RecordArray& records);

  bool CheckOpen(std::string_view message);
  // Inside a save: header and records become the file's current ones with this copy's
  // changes applied, when another holder saved since this copy was read.
  void MergeCurrent(const CurrentFile& current, RecordFile::Header& header, RecordArray& records);
  void Record(Change change);

  bool open_ = false;
  RecordFile::Header header_;
  RecordArray records_;
  std::filesystem::path directory_;
  std::unique_ptr<DataFile> file_;
  std::vector<Change> pending_;
  RecordFile record_file_;
};

}  // namespace kestrune
