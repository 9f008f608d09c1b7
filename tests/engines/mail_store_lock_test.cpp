// One holder of a user's mail at a time, across threads and processes.
#include "engines/mail_store_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

class MailStoreLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kst-lock-" + std::to_string(::getpid())) / "User";
  }
  void TearDown() override { fs::remove_all(dir_.parent_path()); }
  fs::path dir_;
};

TEST_F(MailStoreLockTest, SecondHolderInTheSameProcessIsRefusedUntilTheFirstEnds) {
  auto first = MailStoreLock::Take(dir_, MailStoreActivity::kFetch, milliseconds(0));
  ASSERT_TRUE(first);  // and the missing mail store was created
  EXPECT_FALSE(MailStoreLock::Take(dir_, MailStoreActivity::kFetch, milliseconds(0)));
  // A send of the same user is not held up by a fetch.
  EXPECT_TRUE(MailStoreLock::Take(dir_, MailStoreActivity::kSend, milliseconds(0)));
  bool taken_on_thread = true;
  std::thread([&] {
    taken_on_thread =
        MailStoreLock::Take(dir_, MailStoreActivity::kFetch, milliseconds(0)).has_value();
  }).join();
  EXPECT_FALSE(taken_on_thread);
  first.reset();
  EXPECT_TRUE(MailStoreLock::Take(dir_, MailStoreActivity::kFetch, milliseconds(0)));
}

TEST_F(MailStoreLockTest, AWaitingHolderGetsTheLockWhenItIsReleased) {
  auto first = MailStoreLock::Take(dir_, MailStoreActivity::kSend, milliseconds(0));
  ASSERT_TRUE(first);
  std::thread release([&] {
    std::this_thread::sleep_for(milliseconds(100));
    first.reset();
  });
  EXPECT_TRUE(MailStoreLock::Take(dir_, MailStoreActivity::kSend, milliseconds(5000)));
  release.join();
}

TEST_F(MailStoreLockTest, AnotherProcessIsKeptOutAndAKilledHolderFreesTheLock) {
  fs::create_directories(dir_);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto lock = MailStoreLock::Take(dir_, MailStoreActivity::kFetch, milliseconds(0));
    const char byte = lock ? '1' : '0';
    (void)::write(ready[1], &byte, 1);
    ::pause();  // killed by the parent while holding the lock
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, '1');
  EXPECT_FALSE(MailStoreLock::Take(dir_, MailStoreActivity::kFetch, milliseconds(50)));
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(MailStoreLock::Take(dir_, MailStoreActivity::kFetch, milliseconds(0)));
  ::close(ready[0]);
  ::close(ready[1]);
}

}  // namespace
}  // namespace kestrune
