#include "store/user_list.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <cmath>
#include <csignal>
#include <fstream>
#include <functional>
#include <system_error>
#include <thread>

#include "store/record_io.h"
#include "store/store_test_support.h"
#include "store/zlb_archive.h"

namespace kestrune {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

TUserRecord User(const std::string& name) {
  TUserRecord user;
  user.UserName = name;
  user.Password = "pw-" + name;
  user.UserDir = "/srv/kestrune/Users/" + name + "/";
  user.PermissionLevel = 2;
  user.PopPort = 110;
  return user;
}

// A Users.Dat image built without TUserList: header, then the records twice compressed.
Bytes UsersFile(const Bytes& magic, std::int32_t count, const Bytes& records) {
  Bytes image = magic;
  image.resize(8);
  WriteInt32LE(image, 4, count);
  TZLBArchive archive;
  Bytes body;
  archive.CompressStream(records, body);
  image.insert(image.end(), body.begin(), body.end());
  return image;
}

Bytes RecordsOf(const std::vector<TUserRecord>& users) {
  Bytes records;
  for (const auto& user : users) {
    const auto bytes = user.ToBytes();
    records.insert(records.end(), bytes.begin(), bytes.end());
  }
  return records;
}

const Bytes kMagic{3, 'K', 'S', 'T'};

// The record array of a Users.Dat on disk, and its header count.
Bytes RecordsOnDisk(const std::filesystem::path& file, std::int32_t* count = nullptr) {
  const Bytes image = ReadBytes(file);
  if (count != nullptr) *count = ReadInt32LE(image, 4);
  TZLBArchive archive;
  Bytes records;
  archive.DecompressStream(std::span(image).subspan(8), records);
  return records;
}

std::vector<std::string> NamesIn(TUserList& list) {
  std::vector<std::string> names;
  TUserRecord user;
  for (int i = 1; list.GetUser(i, user); ++i) names.push_back(user.UserName);
  return names;
}

class UserListTest : public ::testing::Test {
 protected:
  TempDir dir_;
  test::MessageRecorder messages_;
  std::filesystem::path file_ = dir_ / "Users.Dat";
};

TEST_F(UserListTest, OpeningADirectoryWithoutTheFileGivesAnEmptyDatabaseAndWritesNothing) {
  TUserList list;
  ASSERT_TRUE(list.Open(dir_.path()));
  EXPECT_EQ(list.GetCount(), 0);
  EXPECT_FALSE(std::filesystem::exists(file_));
  list.Save();
  const Bytes image = ReadBytes(file_);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 8), (Bytes{3, 'K', 'S', 'T', 0, 0, 0, 0}));
  EXPECT_EQ(RecordsOnDisk(file_), Bytes{});
  EXPECT_EQ(test::PermissionBits(file_), 0600u);
  EXPECT_TRUE(messages_.Take().empty());
}

TEST_F(UserListTest, OpenCreatesAMissingUsersDirectoryOwnerOnly) {
  TUserList list;
  ASSERT_TRUE(list.Open(dir_ / "a/Users/"));
  EXPECT_EQ(test::PermissionBits(dir_ / "a/Users"), 0700u);
  EXPECT_TRUE(messages_.Take().empty());
}

TEST_F(UserListTest, AnUncreatableDirectoryGivesCode301) {
  WriteBytes(dir_ / "plain", {1});
  TUserList list;
  EXPECT_FALSE(list.Open(dir_ / "plain/Users/"));
  EXPECT_FALSE(list.IsOpen());
  EXPECT_EQ(messages_.Take(), std::vector<std::string>{"Error Creating Users Directory Code:301"});
}

TEST_F(UserListTest, EveryOperationOnAClosedListShowsItsCodeAndFails) {
  TUserList list;
  TUserRecord user = User("bob");
  EXPECT_EQ(list.GetCount(), -1);
  EXPECT_FALSE(list.GetUser(1, user));
  EXPECT_FALSE(list.FindUser("bob", user));
  EXPECT_FALSE(list.UserExists("bob"));
  EXPECT_FALSE(list.AddUser(user));
  EXPECT_FALSE(list.UpdateUser("bob", user));
  EXPECT_FALSE(list.SetUser(1, user));
  EXPECT_FALSE(list.DeleteUserAt(1));
  EXPECT_FALSE(list.DeleteUser("bob"));
  EXPECT_THROW(list.Save(), NotOpenError) << "a save that wrote nothing must not pass as done";
  EXPECT_FALSE(list.Close());
  EXPECT_FALSE(list.Reload());
  EXPECT_EQ(messages_.Take(), (std::vector<std::string>{
                                  "Error Loading Users Database Code:306",
                                  "Error Loading Users Database Code:308",
                                  "Error Loading Users Database Code:309",
                                  "Error Loading Users Database Code:314",
                                  "Error Loading Users Database Code:307",
                                  "Error Loading Users Database Code:313",
                                  "Error Loading Users Database Code:312",
                                  "Error Loading Users Database Code:310",
                                  "Error Loading Users Database Code:311",
                                  "Error Saving Users Database Code:304",
                                  "Error Closing Users DataBase Code:303",
                              }));
  EXPECT_FALSE(std::filesystem::exists(file_));
}

TEST_F(UserListTest, AddUserSetsReservedAndTodaysDateInTheCallersRecord) {
  TUserList list;
  ASSERT_TRUE(list.Open(dir_.path()));
  TUserRecord user = User("carol");
  user.Reserved = 77;
  user.Created = 1234.5;
  ASSERT_TRUE(list.AddUser(user));
  EXPECT_EQ(user.Reserved, 0);
  EXPECT_EQ(user.Created, std::floor(NowAsDateValue()));
  TUserRecord stored;
  ASSERT_TRUE(list.GetUser(1, stored));
  EXPECT_EQ(stored.Created, user.Created);
  EXPECT_EQ(stored.Password, "pw-carol");
}

TEST_F(UserListTest, NamesAreComparedIgnoringAsciiCaseAndDuplicatesFollowIndexOrder) {
  TUserList list;
  ASSERT_TRUE(list.Open(dir_.path()));
  for (const char* name : {"Admin", "bob", "Bob", "carol"}) {
    TUserRecord user = User(name);
    list.AddUser(user);
  }
  TUserRecord found;
  ASSERT_TRUE(list.FindUser("ADMIN", found));
  EXPECT_EQ(found.UserName, "Admin");
  ASSERT_TRUE(list.FindUser("bob", found));
  EXPECT_EQ(found.UserName, "bob");
  EXPECT_TRUE(list.UserExists("CAROL"));
  EXPECT_FALSE(list.UserExists("carol "));
  EXPECT_FALSE(list.FindUser("dave", found));

  TUserRecord replacement = User("Robert");
  EXPECT_TRUE(list.UpdateUser("BOB", replacement));
  EXPECT_EQ(NamesIn(list), (std::vector<std::string>{"Admin", "Robert", "Robert", "carol"}));
  EXPECT_FALSE(list.UpdateUser("bob", replacement));

  EXPECT_TRUE(list.DeleteUser("robert"));
  EXPECT_EQ(NamesIn(list), (std::vector<std::string>{"Admin", "Robert", "carol"}));
  EXPECT_FALSE(list.DeleteUser("nobody"));
  EXPECT_TRUE(messages_.Take().empty());
}

TEST_F(UserListTest, IndexesOutsideOneToCountFailWithoutAMessage) {
  TUserList list;
  ASSERT_TRUE(list.Open(dir_.path()));
  TUserRecord user = User("a");
  list.AddUser(user);
  for (const int index : {-1, 0, 2}) {
    EXPECT_FALSE(list.GetUser(index, user)) << index;
    EXPECT_FALSE(list.SetUser(index, user)) << index;
    EXPECT_FALSE(list.DeleteUserAt(index)) << index;
  }
  EXPECT_EQ(list.GetCount(), 1);
  EXPECT_TRUE(messages_.Take().empty());
}

TEST_F(UserListTest, SetAndDeleteByIndexMoveLaterRecordsDown) {
  TUserList list;
  ASSERT_TRUE(list.Open(dir_.path()));
  for (const char* name : {"a", "b", "c", "d"}) {
    TUserRecord user = User(name);
    list.AddUser(user);
  }
  EXPECT_TRUE(list.SetUser(3, User("C")));
  EXPECT_TRUE(list.DeleteUserAt(2));
  EXPECT_EQ(NamesIn(list), (std::vector<std::string>{"a", "C", "d"}));
  EXPECT_EQ(list.GetCount(), 3);
  list.Save();
  list.Reload();
  EXPECT_EQ(NamesIn(list), (std::vector<std::string>{"a", "C", "d"}));
}

TEST_F(UserListTest, LongTextIsCutToTheFieldCapacity) {
  TUserList list;
  ASSERT_TRUE(list.Open(dir_.path()));
  TUserRecord user = User(std::string(300, 'n'));
  user.UserDir = std::string(260, 'd');
  user.EmailDisplayName = std::string(254, 'x') + "é";  // é would end at byte 256
  list.AddUser(user);
  list.Save();
  list.Reload();
  TUserRecord stored;
  ASSERT_TRUE(list.GetUser(1, stored));
  EXPECT_EQ(stored.UserName, std::string(255, 'n'));
  EXPECT_EQ(stored.UserDir, std::string(254, 'd'));
  EXPECT_EQ(stored.EmailDisplayName, std::string(254, 'x'));
}

TEST_F(UserListTest, LowerCaseMagicOpensAndIsSavedBack) {
  WriteBytes(file_, UsersFile({3, 'k', 's', 't'}, 1, RecordsOf({User("bob")})));
  TUserList list;
  ASSERT_TRUE(list.Open(dir_.path()));
  EXPECT_EQ(NamesIn(list), std::vector<std::string>{"bob"});
  TUserRecord user = User("eve");
  list.AddUser(user);
  list.Save();
  const Bytes image = ReadBytes(file_);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 8), (Bytes{3, 'k', 's', 't', 2, 0, 0, 0}));
}

TEST_F(UserListTest, BytesOutsideTheFieldsAreKeptWhenARecordIsRewritten) {
  Bytes records = RecordsOf({User("bob"), User("M\xC3\xBCller")});
  records[516] = 0x11;         // alignment
  records[2076 + 3] = 0x22;    // alignment at the end
  records[1 + 3 + 10] = 0x33;  // after the name "bob"
  records[2080 + 1820] = 7;    // second record's POP password
  for (int i = 0; i < 7; ++i) records[2080 + 1821 + i] = "caf\xE9!!!"[i];  // Windows-1252 text
  WriteBytes(file_, UsersFile(kMagic, 2, records));
  TUserList list;
  ASSERT_TRUE(list.Open(dir_.path()));
  TUserRecord second;
  ASSERT_TRUE(list.GetUser(2, second));
  EXPECT_EQ(second.PopPassword, "café!!!");
  TUserRecord bob;
  ASSERT_TRUE(list.FindUser("bob", bob));
  bob.Password = "changed";
  second.PopPort = 995;
  ASSERT_TRUE(list.UpdateUser("bob", bob));
  ASSERT_TRUE(list.SetUser(2, second));
  list.Save();

  Bytes expected = records;
  WriteCountedString(expected, 256, 255, "changed");
  WriteInt32LE(expected, 2080 + 1560, 995);
  EXPECT_EQ(RecordsOnDisk(file_), expected);
}

TEST_F(UserListTest, AnotherCopysSaveIsSeenAfterReload) {
  TUserList console;
  TUserList session;
  ASSERT_TRUE(console.Open(dir_.path()));
  ASSERT_TRUE(session.Open(dir_.path()));
  TUserRecord user = User("dave");
  session.AddUser(user);
  session.Save();
  EXPECT_EQ(console.GetCount(), 0);
  EXPECT_TRUE(console.Reload());
  EXPECT_EQ(NamesIn(console), std::vector<std::string>{"dave"});
}

TEST_F(UserListTest, AReloadThatCannotReadTheFileFailsAndLeavesTheListClosed) {
  TUserList list;
  ASSERT_TRUE(list.Open(dir_.path()));
  TUserRecord user = User("erin");
  list.AddUser(user);
  list.Save();
  {
    std::ofstream damaged(file_, std::ios::binary | std::ios::trunc);
    damaged << "\x03KST\x01";  // cut inside the header
  }
  messages_.Take();
  EXPECT_FALSE(list.Reload());
  EXPECT_EQ(messages_.Take(), std::vector<std::string>{"Error Loading Users Database Code:300"});
  EXPECT_FALSE(list.IsOpen());
  EXPECT_EQ(list.GetCount(), -1);
}

TEST_F(UserListTest, ASaveKeepsWhatAnotherCopySavedInBetween) {
  {
    TUserList setup;
    ASSERT_TRUE(setup.Open(dir_.path()));
    for (const char* name : {"bob", "carol", "dave"}) {
      TUserRecord user = User(name);
      setup.AddUser(user);
    }
    setup.Save();
  }
  TUserList console;
  TUserList session;
  ASSERT_TRUE(console.Open(dir_.path()));
  ASSERT_TRUE(session.Open(dir_.path()));

  ASSERT_TRUE(console.DeleteUserAt(1));  // bob
  TUserRecord eve = User("eve");
  console.AddUser(eve);
  console.Save();

  TUserRecord carol;
  ASSERT_TRUE(session.GetUser(2, carol));
  carol.Password = "new";
  ASSERT_TRUE(session.SetUser(2, carol));  // index 2 of the session's older copy
  ASSERT_TRUE(session.DeleteUser("dave"));
  session.Save();
  EXPECT_EQ(NamesIn(session), (std::vector<std::string>{"carol", "eve"}));

  TUserList check;
  ASSERT_TRUE(check.Open(dir_.path()));
  EXPECT_EQ(NamesIn(check), (std::vector<std::string>{"carol", "eve"}));
  ASSERT_TRUE(check.FindUser("carol", carol));
  EXPECT_EQ(carol.Password, "new");
}

// Each damaged file gives code 300 (or 305 for a foreign magic), leaves the object
// closed and the file exactly as it was.
struct DamagedCase {
  const char* name;
  std::function<Bytes()> make;
  const char* message;
};

class DamagedUsersFile : public UserListTest, public ::testing::WithParamInterface<DamagedCase> {};

TEST_P(DamagedUsersFile, IsRefusedAndLeftUnchanged) {
  const Bytes image = GetParam().make();
  WriteBytes(file_, image);
  TUserList list;
  EXPECT_FALSE(list.Open(dir_.path()));
  EXPECT_FALSE(list.IsOpen());
  EXPECT_EQ(messages_.Take(), std::vector<std::string>{GetParam().message});
  EXPECT_EQ(list.GetCount(), -1);
  EXPECT_EQ(ReadBytes(file_), image);
}

Bytes TwoUsers() { return UsersFile(kMagic, 2, RecordsOf({User("a"), User("b")})); }

INSTANTIATE_TEST_SUITE_P(
    UserList, DamagedUsersFile,
    ::testing::Values(DamagedCase{"DamagedBody",
                                  [] {
                                    Bytes image = TwoUsers();
                                    image[image.size() / 2] ^= 0xFF;
                                    return image;
                                  },
                                  "Error Loading Users Database Code:300"},
                      DamagedCase{"TruncatedBody",
                                  [] {
                                    Bytes image = TwoUsers();
                                    image.resize(image.size() - 10);
                                    return image;
                                  },
                                  "Error Loading Users Database Code:300"},
                      DamagedCase{"ShorterThanTheHeader",
                                  [] {
                                    return Bytes{3, 'K', 'S', 'T', 1};
                                  },
                                  "Error Loading Users Database Code:300"},
                      DamagedCase{"SingleStageBody",
                                  [] {
                                    Bytes image{3, 'K', 'S', 'T', 1, 0, 0, 0};
                                    const Bytes records = RecordsOf({User("a")});
                                    uLongf size = compressBound(records.size());
                                    Bytes body(size);
                                    compress(body.data(), &size, records.data(), records.size());
                                    image.insert(image.end(), body.begin(), body.begin() + size);
                                    return image;
                                  },
                                  "Error Loading Users Database Code:300"},
                      DamagedCase{"CountLargerThanTheBody",
                                  [] {
                                    return UsersFile(kMagic, 3, RecordsOf({User("a"), User("b")}));
                                  },
                                  "Error Loading Users Database Code:300"},
                      DamagedCase{"CountSmallerThanTheBody",
                                  [] {
                                    return UsersFile(kMagic, 1, RecordsOf({User("a"), User("b")}));
                                  },
                                  "Error Loading Users Database Code:300"},
                      DamagedCase{"NegativeCount", [] { return UsersFile(kMagic, -1, {}); },
                                  "Error Loading Users Database Code:300"},
                      DamagedCase{"WrongMagicLetters",
                                  [] {
                                    return UsersFile({3, 'K', 'S', 'X'}, 0, {});
                                  },
                                  "Invalid User DataBase Code:305"},
                      DamagedCase{"WrongMagicLength",
                                  [] {
                                    return UsersFile({4, 'K', 'S', 'T'}, 0, {});
                                  },
                                  "Invalid User DataBase Code:305"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UserListTest, AFullDiskDuringSaveThrowsAndLeavesTheFileUnchanged) {
  {
    TUserList setup;
    ASSERT_TRUE(setup.Open(dir_.path()));
    TUserRecord user = User("bob");
    setup.AddUser(user);
    setup.Save();
  }
  const Bytes before = ReadBytes(file_);
  const int status = test::RunInChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    TUserList list;
    if (!list.Open(dir_.path())) return 3;
    for (int i = 0; i < 200; ++i) {
      TUserRecord user = User("user" + std::to_string(i) + std::string(200, char('a' + i % 26)));
      list.AddUser(user);
    }
    const rlimit limit{before.size() + 100, before.size() + 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    try {
      list.Save();
    } catch (const std::system_error& error) {
      return error.code().value() == EFBIG && list.GetCount() == 201 ? 0 : 2;
    }
    return 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadBytes(file_), before);
  EXPECT_EQ(test::DirectoryEntries(dir_.path()),
            (std::vector<std::string>{"Users.Dat", "Users.Dat.lock"}));
}

// Adds count users named prefix + number, saving after each, without reloading.
void AddUsers(const std::filesystem::path& directory, const std::string& prefix, int count) {
  TUserList list;
  if (!list.Open(directory)) throw std::runtime_error("open failed");
  for (int i = 0; i < count; ++i) {
    TUserRecord user = User(prefix + std::to_string(i));
    list.AddUser(user);
    list.Save();
  }
}

void ExpectAllUsers(const std::filesystem::path& directory, int per_writer) {
  TUserList list;
  ASSERT_TRUE(list.Open(directory));
  EXPECT_EQ(list.GetCount(), 2 * per_writer);
  for (const char* prefix : {"first", "second"}) {
    for (int i = 0; i < per_writer; ++i) {
      EXPECT_TRUE(list.UserExists(prefix + std::to_string(i))) << prefix << i;
    }
  }
}

TEST_F(UserListTest, TwoThreadsAddingUsersAtOnceLoseNothing) {
  std::thread first(AddUsers, dir_.path(), "first", 40);
  std::thread second(AddUsers, dir_.path(), "second", 40);
  first.join();
  second.join();
  ExpectAllUsers(dir_.path(), 40);
}

TEST_F(UserListTest, TwoProcessesAddingUsersAtOnceLoseNothing) {
  const pid_t first = ::fork();
  if (first == 0) {
    try {
      AddUsers(dir_.path(), "first", 40);
    } catch (...) {
      ::_exit(1);
    }
    ::_exit(0);
  }
  const int second_status = test::RunInChild([&] {
    AddUsers(dir_.path(), "second", 40);
    return 0;
  });
  int first_status = 0;
  ::waitpid(first, &first_status, 0);
  ASSERT_EQ(second_status, 0);
  ASSERT_TRUE(WIFEXITED(first_status) && WEXITSTATUS(first_status) == 0);
  ExpectAllUsers(dir_.path(), 40);
}

TEST(IsValidUserDirectoryName, RefusesNamesThatAreNotOneDirectoryName) {
  EXPECT_TRUE(IsValidUserDirectoryName("Admin"));
  EXPECT_TRUE(IsValidUserDirectoryName("jean.dupont"));
  EXPECT_TRUE(IsValidUserDirectoryName("Müller"));
  EXPECT_TRUE(IsValidUserDirectoryName(std::string(255, 'n')));
  for (const std::string& name : std::vector<std::string>{
           "", ".", "..", "a/b", "/", "a\\b", "c:", "tab\there", std::string("nul\0", 4), "del\x7F",
           "M\xFCller", std::string(256, 'n')}) {
    EXPECT_FALSE(IsValidUserDirectoryName(name)) << name;
  }
}

// Eve registers and gets "eve/"; a leftover "eve-2/" and the store an old record names
// ("eve-3/") are never handed out again, and a later account named "eve-2" gets a
// store of its own instead of reading Eve's or the leftover mail.
TEST_F(UserListTest, NewAccountsNeverShareAMailStore) {
  std::filesystem::create_directory(dir_ / "eve-2");
  TUserList list;
  ASSERT_TRUE(list.Open(dir_.path()));
  TUserRecord old = User("old");
  old.UserDir = (dir_ / "eve-3/").string();
  ASSERT_TRUE(list.AddUser(old));
  list.Save();

  std::vector<std::string> stores;
  for (const char* name : {"eve", "Eve2", "eve-2"}) {
    TUserRecord user = User(name);
    user.UserDir.clear();
    ASSERT_EQ(list.AddUserWithNewStore(user), NewAccountResult::kAdded) << name;
    stores.push_back(std::filesystem::path(user.UserDir).lexically_relative(dir_.path()));
  }
  EXPECT_EQ(stores, (std::vector<std::string>{"eve/", "Eve2/", "eve-2-2/"}));
  TUserList reread;
  ASSERT_TRUE(reread.Open(dir_.path()));
  TUserRecord saved;
  ASSERT_TRUE(reread.FindUser("eve-2", saved));
  EXPECT_EQ(saved.UserDir, (dir_ / "eve-2-2/").string());
  EXPECT_EQ(test::PermissionBits(dir_ / "eve-2-2"), 0700u);

  // A name whose key is taken is refused under the lock, also when another copy added it.
  TUserList other;
  ASSERT_TRUE(other.Open(dir_.path()));
  TUserRecord twin = User("EVE");
  EXPECT_EQ(list.AddUserWithNewStore(twin), NewAccountResult::kNameTaken);
  TUserRecord first = User("zoe");
  ASSERT_EQ(other.AddUserWithNewStore(first), NewAccountResult::kAdded);
  TUserRecord second = User("Zoe");
  EXPECT_EQ(list.AddUserWithNewStore(second), NewAccountResult::kNameTaken);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "Zoe"));
  EXPECT_TRUE(messages_.Take().empty());
}

}  // namespace
}  // namespace kestrune
