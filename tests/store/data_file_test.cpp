#include "store/data_file.h"

#include <gtest/gtest.h>

#include <string>
#include <system_error>

#include "store/store_test_support.h"
#include "store/zlb_archive.h"

namespace kestrune {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::DirectoryEntries;
using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(DataFile, ModifyReplacesTheFileWholeOwnerOnlyAndLeavesNoTemporaryFile) {
  TempDir dir;
  const auto path = dir / "Users.Dat";
  DataFile file(path);
  file.Modify([](const CurrentFile&) { return Text("first version, longer"); });
  file.Modify([](const CurrentFile&) { return Text("second"); });
  EXPECT_EQ(ReadBytes(path), Text("second"));
  EXPECT_EQ(test::PermissionBits(path), 0600u);
  EXPECT_EQ(test::PermissionBits(dir / "Users.Dat.lock"), 0600u);
  EXPECT_EQ(DirectoryEntries(dir.path()),
            (std::vector<std::string>{"Users.Dat", "Users.Dat.lock"}));
}

TEST(DataFile, ModifyInAMissingDirectoryThrowsAndCreatesNothing) {
  TempDir dir;
  DataFile file(dir / "missing/Users.Dat");
  EXPECT_THROW(file.Modify([](const CurrentFile&) { return Text("x"); }), std::system_error);
  EXPECT_TRUE(DirectoryEntries(dir.path()).empty());
}

TEST(ReadDataFile, MissingFileIsNulloptAndADirectoryIsAnError) {
  TempDir dir;
  FileStamp stamp;
  EXPECT_EQ(ReadDataFile(dir / "none", &stamp), std::nullopt);
  EXPECT_FALSE(stamp.exists);
  EXPECT_THROW(ReadDataFile(dir.path()), std::system_error);
  WriteBytes(dir / "f", Text("abc"));
  EXPECT_EQ(ReadDataFile(dir / "f", &stamp), Text("abc"));
  EXPECT_EQ(stamp, StampOf(dir / "f"));
}

TEST(DataFile, ModifyTellsWhetherAnotherHolderSavedAndWhatIsOnDisk) {
  TempDir dir;
  const auto path = dir / "Contacts.Dat";
  DataFile mine(path);
  DataFile theirs(path);
  EXPECT_EQ(mine.Read(), std::nullopt);
  EXPECT_EQ(theirs.Read(), std::nullopt);

  std::vector<CurrentFile> seen;
  const auto record_and_write = [&](const std::string& text) {
    return [&seen, text](const CurrentFile& current) {
      seen.push_back(current);
      return Text(text);
    };
  };
  mine.Modify(record_and_write("mine 1"));
  mine.Modify(record_and_write("mine 2"));
  theirs.Modify(record_and_write("theirs"));
  mine.Modify(record_and_write("mine 3"));
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_FALSE(seen[0].changed);
  EXPECT_FALSE(seen[1].changed);
  EXPECT_TRUE(seen[2].changed);
  EXPECT_EQ(seen[2].bytes, Text("mine 2"));
  EXPECT_TRUE(seen[3].changed);
  EXPECT_EQ(seen[3].bytes, Text("theirs"));

  std::filesystem::remove(path);
  mine.Modify(record_and_write("mine 4"));
  EXPECT_TRUE(seen[4].changed);
  EXPECT_EQ(seen[4].bytes, std::nullopt);
}

TEST(DataFile, AFailingChangeWritesNothing) {
  TempDir dir;
  const auto path = dir / "Users.Dat";
  WriteBytes(path, Text("kept"));
  DataFile file(path);
  file.Read();
  EXPECT_THROW(file.Modify([](const CurrentFile&) -> Bytes { throw ZlibError(-3); }), ZlibError);
  EXPECT_EQ(ReadBytes(path), Text("kept"));
  EXPECT_EQ(DirectoryEntries(dir.path()),
            (std::vector<std::string>{"Users.Dat", "Users.Dat.lock"}));
}

TEST(CreatePrivateDirectories, CreatesMissingParentsOwnerOnly) {
  TempDir dir;
  const auto store = dir / "Users/bob/";
  EXPECT_TRUE(CreatePrivateDirectories(store));
  EXPECT_TRUE(std::filesystem::is_directory(store));
  EXPECT_EQ(test::PermissionBits(dir / "Users"), 0700u);
  EXPECT_EQ(test::PermissionBits(dir / "Users/bob"), 0700u);
  EXPECT_TRUE(CreatePrivateDirectories(store));  // already there
  WriteBytes(dir / "plain", Text("x"));
  EXPECT_FALSE(CreatePrivateDirectories(dir / "plain/sub"));
}

}  // namespace
}  // namespace kestrune
