// The one file writer: whole replacement, the mode asked for, no temporary file left
// behind on success or failure, and the status of the version written.
#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform_test_support.h"

namespace kestrune {
namespace {

using test::DirectoryEntries;
using test::PermissionBits;
using test::TempDir;

std::string FileText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ReplaceFileAtomically, ReplacesTheFileWholeWithTheModeAndLeavesNoTemporaryFile) {
  TempDir dir;
  const auto file = dir / "Users.Dat";
  ReplaceFileAtomically(file, "first version, longer", 0600);
  const std::vector<std::uint8_t> bytes{'s', 'e', 'c', 0, 'n', 'd'};
  const struct stat written = ReplaceFileAtomically(file, bytes, 0600);
  EXPECT_EQ(FileText(file), std::string("sec\0nd", 6));
  EXPECT_EQ(PermissionBits(file), 0600u);
  EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"Users.Dat"});

  // The status returned is that of the file now in place.
  struct stat now {};
  ASSERT_EQ(::stat(file.c_str(), &now), 0);
  EXPECT_EQ(written.st_ino, now.st_ino);
  EXPECT_EQ(written.st_dev, now.st_dev);
  EXPECT_EQ(written.st_size, 6);
  EXPECT_EQ(written.st_mtim.tv_sec, now.st_mtim.tv_sec);
  EXPECT_EQ(written.st_mtim.tv_nsec, now.st_mtim.tv_nsec);
}

TEST(ReplaceFileAtomically, AMissingDirectoryThrowsNamingTheTemporaryFile) {
  TempDir dir;
  const auto file = dir / "missing/kestrune.toml";
  try {
    ReplaceFileAtomically(file, "x", 0600);
    FAIL() << "no exception";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    EXPECT_EQ(std::string(error.what()).rfind("cannot create " + file.string() + ".", 0), 0u)
        << error.what();
  }
  EXPECT_TRUE(DirectoryEntries(dir.path()).empty());
}

TEST(ReplaceFileAtomically, AFailedRenameRemovesTheTemporaryFileAndKeepsTheTarget) {
  TempDir dir;
  // A non-empty directory cannot be replaced by a file.
  const auto target = dir / "Emails.Dat";
  std::filesystem::create_directory(target);
  std::ofstream(target / "inside") << "kept";
  try {
    ReplaceFileAtomically(target, "new", 0600);
    FAIL() << "no exception";
  } catch (const std::system_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("cannot replace " + target.string(), 0), 0u)
        << error.what();
  }
  EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"Emails.Dat"});
  EXPECT_EQ(FileText(target / "inside"), "kept");
}

TEST(WriteNewFile, CreatesOnlyANewFileAndNeverFollowsALink) {
  TempDir dir;
  const auto file = dir / "upload.tmp";
  WriteNewFile(file, std::string("a\0b", 3), 0600);
  EXPECT_EQ(FileText(file), std::string("a\0b", 3));
  EXPECT_EQ(PermissionBits(file), 0600u);

  // A file already there, or a link planted in its place, is left as it was.
  EXPECT_THROW(WriteNewFile(file, "other", 0600), std::system_error);
  EXPECT_EQ(FileText(file), std::string("a\0b", 3));
  const auto target = dir / "target";
  std::ofstream(target) << "kept";
  std::filesystem::create_symlink(target, dir / "link.tmp");
  EXPECT_THROW(WriteNewFile(dir / "link.tmp", "planted", 0600), std::system_error);
  EXPECT_EQ(FileText(target), "kept");
}

// A server killed between writing and renaming leaves "Users.Dat.<hex>.tmp" behind,
// up to 256 MB each; the next save of that file removes such leftovers, and only them.
TEST(ReplaceFileAtomically, TemporariesLeftByAKilledWriterGoAtTheNextSave) {
  TempDir dir;
  const auto file = dir / "Users.Dat";
  const std::vector<std::string> stale = {"Users.Dat.0123456789ab.tmp",
                                          "Users.Dat.a1b2c3d4e5f6.tmp"};
  const std::vector<std::string> kept = {"Users.Dat.lock", "Emails.Dat.0123456789ab.tmp",
                                         "Users.Dat.notrandomhex.tmp",
                                         "Users.Dat.fedcba987654.tmp"};
  for (const auto& name : stale) std::ofstream(dir / name) << "half";
  for (const auto& name : kept) std::ofstream(dir / name) << "other";
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::minutes(5);
  for (const auto& name : stale) std::filesystem::last_write_time(dir / name, old);
  for (const auto& name : kept) {
    if (name != "Users.Dat.fedcba987654.tmp") std::filesystem::last_write_time(dir / name, old);
  }
  ReplaceFileAtomically(file, "saved", 0600);
  std::vector<std::string> expected = kept;
  expected.push_back("Users.Dat");
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> entries = DirectoryEntries(dir.path());
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, expected);
}

}  // namespace
}  // namespace kestrune
