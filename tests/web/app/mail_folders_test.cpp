#include "web/app/mail_folders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "settings/program_config.h"
#include "store/email_db.h"
#include "web/app/user_session.h"

namespace kestrune {
namespace {

namespace st = email_status;

class MailFoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = std::filesystem::temp_directory_path() /
             ("kst-folders-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(store_);
    std::filesystem::create_directories(store_);
    app_ = std::make_unique<TWebApp>(config_, std::make_shared<LanguagePack>(), SessionPages{});
    session_ = std::make_unique<TUserSession>(*app_);
    session_->User.UserDir = store_.string() + "/";
  }
  void TearDown() override { std::filesystem::remove_all(store_); }

  // Adds a message whose file exists, returns its index number.
  int Add(const std::string& file_name, std::int32_t status, bool write_file = true) {
    TUserEmailDB index;
    EXPECT_TRUE(index.Open(store_));
    TEmailRecord record;
    record.Subject = "About " + file_name;
    record.FileName = file_name;
    record.Status = status;
    EXPECT_TRUE(index.AddEmail(record));
    index.Save(store_);
    if (write_file) std::ofstream(store_ / file_name) << "Subject: x\r\n\r\nbody\r\n";
    return index.GetCount();
  }

  std::int32_t StatusOnDisk(int n) {
    TUserEmailDB index;
    EXPECT_TRUE(index.Open(store_));
    TEmailRecord record;
    EXPECT_TRUE(index.GetEmail(n, record));
    return record.Status;
  }

  // Another holder (a second session, the command line) changes record n.
  void ChangeElsewhere(int n, std::int32_t status, const std::string& file_name = {}) {
    TUserEmailDB index;
    ASSERT_TRUE(index.Open(store_));
    TEmailRecord record;
    ASSERT_TRUE(index.GetEmail(n, record));
    record.Status = status;
    if (!file_name.empty()) record.FileName = file_name;
    ASSERT_TRUE(index.SetEmail(n, record));
    index.Save(store_);
  }

  TProgramConfig config_;
  std::unique_ptr<TWebApp> app_;
  std::unique_ptr<TUserSession> session_;
  std::filesystem::path store_;
};

TEST(MailFolderStatus, FoldersSavedAndOpenedStatusesFollowTheStatusTable) {
  EXPECT_EQ(FolderOf(0), MailFolder::kInbox);
  EXPECT_EQ(FolderOf(3), MailFolder::kInbox);
  EXPECT_EQ(FolderOf(4), MailFolder::kDeleted);
  EXPECT_EQ(FolderOf(5), MailFolder::kOutbox);
  EXPECT_EQ(FolderOf(6), MailFolder::kSent);
  EXPECT_EQ(FolderOf(7), MailFolder::kSaved);
  EXPECT_EQ(FolderOf(10), MailFolder::kSaved);
  EXPECT_EQ(FolderOf(99), std::nullopt);
  EXPECT_EQ(FolderOf(11), std::nullopt);
  EXPECT_EQ(FolderOf(-1), std::nullopt);

  EXPECT_EQ(SavedStatus(0), 7);
  EXPECT_EQ(SavedStatus(2), 9);
  EXPECT_EQ(SavedStatus(3), 10);
  EXPECT_EQ(SavedStatus(4), 8);  // from Deleted, whatever it was before
  EXPECT_EQ(SavedStatus(6), 8);
  EXPECT_EQ(OpenedStatus(0), 1);
  EXPECT_EQ(OpenedStatus(7), 8);
  EXPECT_EQ(OpenedStatus(9), 9);
  EXPECT_EQ(OpenedStatus(5), 5);
}

TEST(MailFolderStatus, OnlyBareGeneratedNamesCountAsMessageFiles) {
  EXPECT_TRUE(IsGeneratedMessageName("aB3xY9zQ.eml"));
  EXPECT_TRUE(IsGeneratedMessageName("AB3XY9ZQ.EML"));
  for (const char* name : {"", ".eml", "../x.eml", "a/b.eml", "x.eml.txt", "Emails.Dat", "a b.eml",
                           "x.eml/", "..eml", "Users.Dat"}) {
    EXPECT_FALSE(IsGeneratedMessageName(name)) << name;
  }
  EXPECT_FALSE(IsGeneratedMessageName(std::string(65, 'a') + ".eml"));
}

TEST_F(MailFoldersTest, AMoveChangesOnlyRecordsStillShownInTheFolderAndSavesOnce) {
  const int a = Add("aaaaaaaa.eml", st::kInboxUnread);
  const int b = Add("bbbbbbbb.eml", st::kInboxReplied);
  const int c = Add("cccccccc.eml", st::kInboxRead);
  ASSERT_TRUE(session_->OpenEmailDB());
  // After the page rendered, another session moved c to Deleted.
  ChangeElsewhere(c, st::kDeleted);

  const std::vector<ShownMessage> shown{
      {a, "aaaaaaaa.eml"}, {b, "bbbbbbbb.eml"}, {c, "cccccccc.eml"}, {42, "gone.eml"}};
  const auto skipped = MoveMessages(*session_, MailFolder::kInbox, shown, SavedStatus);
  EXPECT_EQ(skipped, (std::vector<int>{c, 42}));
  EXPECT_EQ(StatusOnDisk(a), st::kSavedUnread);
  EXPECT_EQ(StatusOnDisk(b), st::kSavedReplied);
  EXPECT_EQ(StatusOnDisk(c), st::kDeleted);  // the other session's move stands
}

TEST_F(MailFoldersTest, ARecordThatNamesAnotherFileSinceTheRenderIsLeftAlone) {
  const int a = Add("aaaaaaaa.eml", st::kInboxRead);
  ASSERT_TRUE(session_->OpenEmailDB());
  ChangeElsewhere(a, st::kInboxRead, "zzzzzzzz.eml");
  const std::vector<ShownMessage> shown{{a, "aaaaaaaa.eml"}};
  EXPECT_EQ(
      MoveMessages(*session_, MailFolder::kInbox, shown, [](std::int32_t) { return st::kDeleted; }),
      std::vector<int>{a});
  EXPECT_EQ(StatusOnDisk(a), st::kInboxRead);
}

TEST_F(MailFoldersTest, PurgeRemovesTheFileOnlyForADeletedGeneratedNameNoLiveRecordShares) {
  const int purged = Add("aaaaaaaa.eml", st::kDeleted);
  const int shared = Add("bbbbbbbb.eml", st::kDeleted);
  Add("bbbbbbbb.eml", st::kInboxRead, false);  // a second live record of that file
  const int foreign = Add("../outside.eml", st::kDeleted, false);
  const int missing = Add("dddddddd.eml", st::kDeleted, false);
  const int inbox = Add("eeeeeeee.eml", st::kInboxRead);
  std::ofstream(store_.parent_path() / "outside.eml") << "not mine";

  const std::vector<ShownMessage> shown{{purged, "aaaaaaaa.eml"},
                                        {shared, "bbbbbbbb.eml"},
                                        {foreign, "../outside.eml"},
                                        {missing, "dddddddd.eml"},
                                        {inbox, "eeeeeeee.eml"}};
  EXPECT_EQ(PurgeMessages(*session_, shown), std::vector<int>{inbox});
  EXPECT_FALSE(std::filesystem::exists(store_ / "aaaaaaaa.eml"));
  EXPECT_TRUE(std::filesystem::exists(store_ / "bbbbbbbb.eml"));
  EXPECT_TRUE(std::filesystem::exists(store_.parent_path() / "outside.eml"));
  EXPECT_TRUE(std::filesystem::exists(store_ / "eeeeeeee.eml"));
  for (int n : {purged, shared, foreign, missing}) EXPECT_EQ(StatusOnDisk(n), st::kPurged) << n;
  EXPECT_EQ(StatusOnDisk(inbox), st::kInboxRead);
  std::filesystem::remove(store_.parent_path() / "outside.eml");

  // A purged record is in no folder: it can be neither purged nor moved again.
  EXPECT_EQ(PurgeMessages(*session_, std::vector<ShownMessage>{{purged, "aaaaaaaa.eml"}}),
            std::vector<int>{purged});
  EXPECT_EQ(MoveMessages(*session_, std::nullopt,
                         std::vector<ShownMessage>{{purged, "aaaaaaaa.eml"}}, SavedStatus),
            std::vector<int>{purged});
  EXPECT_EQ(CurrentMessage(*session_, purged), std::nullopt);
}

TEST_F(MailFoldersTest, DeleteFromTheViewMovesToDeletedThenPurges) {
  const int n = Add("aaaaaaaa.eml", st::kSent);
  const ShownMessage shown{n, "aaaaaaaa.eml"};
  EXPECT_EQ(DeleteMessage(*session_, shown), DeleteOutcome::kMovedToDeleted);
  EXPECT_EQ(StatusOnDisk(n), st::kDeleted);
  EXPECT_TRUE(std::filesystem::exists(store_ / "aaaaaaaa.eml"));
  EXPECT_EQ(DeleteMessage(*session_, shown), DeleteOutcome::kPurged);
  EXPECT_EQ(StatusOnDisk(n), st::kPurged);
  EXPECT_FALSE(std::filesystem::exists(store_ / "aaaaaaaa.eml"));
  EXPECT_EQ(DeleteMessage(*session_, shown), DeleteOutcome::kNotFound);
}

TEST_F(MailFoldersTest, OpeningWritesOnlyWhenTheStatusChanges) {
  const int unread = Add("aaaaaaaa.eml", st::kInboxUnread);
  const int sent = Add("bbbbbbbb.eml", st::kSent);
  const auto before = StampOf(store_ / TUserEmailDB::kFileName);

  const auto opened_sent = OpenMessage(*session_, {sent, "bbbbbbbb.eml"});
  ASSERT_TRUE(opened_sent);
  EXPECT_EQ(opened_sent->Status, st::kSent);
  EXPECT_EQ(StampOf(store_ / TUserEmailDB::kFileName), before);  // nothing written

  const auto opened = OpenMessage(*session_, {unread, "aaaaaaaa.eml"});
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->Status, st::kInboxRead);
  EXPECT_EQ(StatusOnDisk(unread), st::kInboxRead);
  EXPECT_FALSE(OpenMessage(*session_, {unread, "other.eml"}));
  EXPECT_FALSE(OpenMessage(*session_, {99, "aaaaaaaa.eml"}));
}

TEST_F(MailFoldersTest, TheSessionCopyFollowsItsOwnSavesWithoutReadingTheFileAgain) {
  const int n = Add("aaaaaaaa.eml", st::kInboxUnread);
  ASSERT_TRUE(session_->OpenEmailDB());
  const TUserEmailDB* copy = session_->EmailDB.get();
  ASSERT_TRUE(OpenMessage(*session_, {n, "aaaaaaaa.eml"}));
  ASSERT_TRUE(session_->OpenEmailDB());
  EXPECT_EQ(session_->EmailDB.get(), copy);  // its own save did not make it stale
  ChangeElsewhere(n, st::kDeleted);
  ASSERT_TRUE(session_->OpenEmailDB());
  TEmailRecord record;
  ASSERT_TRUE(session_->EmailDB->GetEmail(n, record));
  EXPECT_EQ(record.Status, st::kDeleted);  // another holder's save is read
}

}  // namespace
}  // namespace kestrune
