// The timer's mail tick: a user list whose reload fails is closed and opened again (and
// the tick skipped with one line while the file stays unreadable), errors the run did not
// handle end the tick without a new LastMailCheck.
#include "host/timed_mail_job.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "log/debug_log.h"
#include "settings/program_config.h"
#include "store/user_list.h"

namespace kestrune {
namespace {

std::string Slurp(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class TimedMailJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tick-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    SettingsHost host;
    host.program_directory = home_;
    settings_ = std::make_unique<ProgramSettings>(host);
    settings_->LoadSettings();
    ASSERT_TRUE(users_.Open(settings_->Config().UserDirectories));
    TUserRecord bob;
    bob.UserName = "bob";
    bob.UserDir = settings_->Config().UserDirectories + "bob/";
    ASSERT_TRUE(users_.AddUser(bob));
    users_.Save();
    DebugLog().StartLog("", 80, NowAsDateValue());
  }
  void TearDown() override { std::filesystem::remove_all(home_); }

  std::filesystem::path UsersFile() const {
    return std::filesystem::path(settings_->Config().UserDirectories) / TUserList::kFileName;
  }

  std::filesystem::path home_;
  std::unique_ptr<ProgramSettings> settings_;
  TUserList users_;
};

TEST_F(TimedMailJobTest, AFailedReloadReopensTheUserListAtTheNextTick) {
  std::vector<int> counts;
  TimedMailJob job(*settings_, users_, [&](MailRunContext& context) {
    counts.push_back(context.users.GetCount());
    context.log("a run");
    return true;
  });
  job.Run(nullptr);
  ASSERT_EQ(counts, std::vector<int>{1});
  EXPECT_NE(DebugLog().Stats().LastMailCheck, "Not Checked");
  EXPECT_EQ(DebugLog().Lines().back(), "a run");

  const std::string good = Slurp(UsersFile());
  std::ofstream(UsersFile(), std::ios::binary) << "KST garbage that is no user database";
  job.Run(nullptr);
  EXPECT_EQ(counts.size(), 1u);  // no run on an unreadable list
  EXPECT_EQ(DebugLog().Lines().back(),
            "User Database could not be opened; the timed mail run waits for the next tick.");

  std::ofstream(UsersFile(), std::ios::binary | std::ios::trunc) << good;
  job.Run(nullptr);
  EXPECT_EQ(counts, (std::vector<int>{1, 1}));  // the list works again without a restart
  EXPECT_TRUE(users_.IsOpen());
}

TEST_F(TimedMailJobTest, AnErrorOrAStopLeavesTheLastMailCheck) {
  TimedMailJob failing(*settings_, users_, [](MailRunContext&) -> bool {
    throw std::runtime_error("Socket Error # 10054");
  });
  failing.Run(nullptr);
  EXPECT_EQ(DebugLog().Lines().back(), "Timed mail run ended with an error: Socket Error # 10054");
  EXPECT_EQ(DebugLog().Stats().LastMailCheck, "Not Checked");

  std::atomic<bool> stop{true};
  const std::atomic<bool>* seen = nullptr;
  TimedMailJob stopped(*settings_, users_, [&](MailRunContext& context) {
    seen = context.stop;
    return false;
  });
  stopped.Run(&stop);
  EXPECT_EQ(seen, &stop);  // the run is handed the exit path's flag
  EXPECT_EQ(DebugLog().Stats().LastMailCheck, "Not Checked");
}

}  // namespace
}  // namespace kestrune
