// The lock of a shared file: the lock file it leaves, exclusion between threads of one
// process (under any spelling of the path) and between processes.
#include "platform/file_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>
#include <thread>

#include "platform/platform_test_support.h"

namespace kestrune {
namespace {

using test::DirectoryEntries;
using test::PermissionBits;
using test::TempDir;

// In a forked child: 0 when an flock on lock_file is free, 1 when somebody holds it.
int ChildFindsLockHeld(const std::filesystem::path& lock_file) {
  return test::RunInChild([&] {
    const int fd = ::open(lock_file.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return 2;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    return errno == EWOULDBLOCK ? 1 : 3;
  });
}

TEST(FileLock, HoldsAnFlockOnTheLockFileCreatedOwnerOnly) {
  TempDir dir;
  const auto file = dir / "kestrune.toml";
  {
    const FileLock lock(file);
    EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"kestrune.toml.lock"});
    EXPECT_EQ(PermissionBits(dir / "kestrune.toml.lock"), 0600u);
    EXPECT_EQ(ChildFindsLockHeld(dir / "kestrune.toml.lock"), 1);
  }
  EXPECT_EQ(ChildFindsLockHeld(dir / "kestrune.toml.lock"), 0);
  // The lock file stays for the next holder.
  EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"kestrune.toml.lock"});
}

TEST(FileLock, ThreadsExcludeEachOtherUnderAnySpellingOfThePath) {
  TempDir dir;
  std::filesystem::create_directory(dir / "sub");
  const auto file = dir / "Contacts.Dat";
  const auto other_spelling = dir / "sub/../Contacts.Dat";
  EXPECT_EQ(FileLockKey(file), FileLockKey(other_spelling));
  EXPECT_NE(FileLockKey(file), FileLockKey(dir / "Emails.Dat"));

  std::atomic<bool> released{false};
  std::atomic<bool> second_saw_release{false};
  std::thread second;
  {
    const FileLock lock(file);
    second = std::thread([&] {
      const FileLock inner(other_spelling);
      second_saw_release = released.load();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    released = true;
  }
  second.join();
  EXPECT_TRUE(second_saw_release);
}

// flock alone cannot keep two threads apart once the lock file was replaced (the second
// opens and locks a new inode); the in-process mutex, taken before the lock file is
// opened, still does.
TEST(FileLock, ThreadsExcludeEachOtherEvenWhenTheLockFileWasReplaced) {
  TempDir dir;
  const auto file = dir / "Users.Dat";
  std::atomic<bool> released{false};
  std::atomic<bool> second_saw_release{false};
  std::thread second;
  {
    const FileLock lock(file);
    std::filesystem::remove(dir / "Users.Dat.lock");
    second = std::thread([&] {
      const FileLock inner(file);
      second_saw_release = released.load();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    released = true;
  }
  second.join();
  EXPECT_TRUE(second_saw_release) << "the second thread held the lock at the same time";
}

TEST(FileLock, AnUnopenableLockFileThrowsNamingIt) {
  TempDir dir;
  const auto file = dir / "missing/Users.Dat";
  try {
    const FileLock lock(file);
    FAIL() << "no exception";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    EXPECT_EQ(std::string(error.what()),
              "cannot open lock file " + file.string() + ".lock: " + error.code().message());
  }
  // A failed lock leaves the path's mutex free.
  std::filesystem::create_directory(dir / "missing");
  const FileLock lock(file);
}

}  // namespace
}  // namespace kestrune
