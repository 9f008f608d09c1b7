// The receive and send runs against Dovecot and the recording SMTP server: the lines
// they log, what they file and what they leave on the servers.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <atomic>

#include "engines/fetched_uids.h"
#include "engines/mail_runs.h"
#include "engines/mail_store_lock.h"
#include "engines/user_fetch.h"
#include "mail/id_pop3.h"
#include "mail_fixture.h"
#include "settings/program_config.h"

namespace kestrune::testing {
namespace {

using Lines = std::vector<std::string>;

class MailEngines : public ::testing::Test {
 protected:
  MailEngines() {
    config_.ServerTimeOut = 10;
    config_.SmtpServer = "127.0.0.1";
    config_.SmtpPort = Peers::Get().Port("SMTP_REJECT_PORT");
    config_.UserDirectories = home_.UsersDirText();
  }

  Lines Run(bool (*run)(MailRunContext&)) {
    TUserList users;
    EXPECT_TRUE(users.Open(home_.UsersDirText()));
    Lines lines;
    MailRunContext context{config_, users, [&lines](std::string_view l) { lines.emplace_back(l); },
                           &stop_};
    last_result_ = run(context);
    return lines;
  }
  Lines Receive() { return Run(ReceiveMsgs); }
  Lines Send() { return Run(SendMsgs); }

  static Lines Count(const Lines& lines, const std::string& text) {
    Lines found;
    for (const std::string& line : lines) {
      if (line == text) found.push_back(line);
    }
    return found;
  }

  TestHome home_;
  TProgramConfig config_;
  std::atomic<bool> stop_{false};
  bool last_result_ = false;
};

TEST_F(MailEngines, ReceiveFilesEveryMessageDeletesThemAndLogsEachStep) {
  PopMailbox box;
  box.Deliver(TestMessage("First", "m1@test"));
  box.Deliver(TestMessage("Second, no To", "m2@test", 200, ""));
  box.Deliver(TestMessage("Third", ""));
  home_.SaveUsers({home_.User("Ann", &box), home_.User("NoPop", nullptr),
                   home_.User("AtLogin", &box, /*auto_check=*/false)});
  const std::string p = "Pop Server: User Ann ";
  const Lines expected = {"",
                          "Starting Email Recieve procedure.",
                          "",
                          p + "Connecting to Pop Server 127.0.0.1",
                          p + "Connected to Pop Server ",
                          p + "Password sent without TLS.",
                          p + "Number of Emails waiting: 3",
                          p + "Email number: 1 successfully retrieved.",
                          p + "Email number: 2 successfully retrieved.",
                          p + "Email number: 3 successfully retrieved.",
                          p + "Disconnected from Pop Server 127.0.0.1",
                          "",
                          "Pop Server: User NoPop Pop Settings are incorrect or not set, skipping.",
                          "",
                          "Pop Server: User AtLogin User is set to check Email at login, skipping.",
                          "",
                          "Ended Email Recieve procedure."};
  EXPECT_EQ(Receive(), expected);
  EXPECT_TRUE(last_result_);
  EXPECT_EQ(box.MessageCount(), 0u);

  const auto records = home_.Records("Ann");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].Subject, "First");
  EXPECT_EQ(records[0].Sender, "Sender <sender@test.example>");
  EXPECT_EQ(records[0].Recipient, "box@test");
  EXPECT_EQ(records[1].Recipient, "<Ann Display> Ann@kestrune.test");
  for (const TEmailRecord& record : records) {
    EXPECT_EQ(record.Status, email_status::kInboxUnread);
    TIdMessage message;
    EXPECT_NO_THROW(message.LoadFromFile(home_.StoreOf("Ann") / record.FileName));
  }
  TIdMessage third;
  third.LoadFromFile(home_.StoreOf("Ann") / records[2].FileName);
  EXPECT_EQ(third.Subject, "Third");
  EXPECT_TRUE(home_.UnreferencedFiles("Ann").empty());
}

TEST_F(MailEngines, TlsRequiredRefusesAPlainServerAndUsesStls) {
  PopMailbox box;
  box.Deliver(TestMessage("Secret", ""));
  home_.SaveUsers({home_.User("Ann", &box)});
  config_.PopTls = 2;
  Lines lines = Receive();
  EXPECT_FALSE(last_result_);
  EXPECT_EQ(Count(lines, "Pop Server: User Ann Error connecting to Pop Server.").size(), 1u)
      << ::testing::PrintToString(lines);
  EXPECT_EQ(
      Count(lines, std::string("Pop Server: User Ann Error:") + TIdPOP3::kTlsRequiredText).size(),
      1u)
      << ::testing::PrintToString(lines);
  EXPECT_EQ(box.MessageCount(), 1u);

  // The same account on the instance that offers STLS: no clear-text warning.
  TUserRecord user = home_.User("Ann", &box);
  user.PopPort = Peers::Get().Port("POP3_STLS_PORT");
  fs::remove(home_.UsersDir() / TUserList::kFileName);
  home_.SaveUsers({user});
  LineConnection::SetTrustedCaFile(Peers::Get().CaFile());
  lines = Receive();
  LineConnection::SetTrustedCaFile({});
  EXPECT_TRUE(last_result_) << ::testing::PrintToString(lines);
  EXPECT_EQ(Count(lines, "Pop Server: User Ann Connected to Pop Server ").size(), 1u);
  EXPECT_EQ(Count(lines, "Pop Server: User Ann Password sent without TLS.").size(), 0u);
  EXPECT_EQ(box.MessageCount(), 0u);
}

TEST_F(MailEngines, AnEmptyMailboxIsCountedWithoutOpeningTheIndex) {
  PopMailbox box;
  home_.SaveUsers({home_.User("Ann", &box)});
  const Lines lines = Receive();
  EXPECT_EQ(Count(lines, "Pop Server: User Ann Number of Emails waiting: 0").size(), 1u);
  EXPECT_FALSE(fs::exists(home_.StoreOf("Ann") / TUserEmailDB::kFileName));
}

TEST_F(MailEngines, LeavingMailOnTheServerTwiceStoresNothingNewAndDeletesNothing) {
  PopMailbox box;
  box.Deliver(TestMessage("With id", "same@test"));
  box.Deliver(TestMessage("Without id 1", ""));
  box.Deliver(TestMessage("Without id 2", ""));
  box.Deliver(TestMessage("Same id again", "same@test"));
  home_.SaveUsers({home_.User("Ann", &box, true, /*leave=*/true)});
  Receive();
  // The second message with an already stored Message-ID is taken for the first one.
  ASSERT_EQ(home_.Records("Ann").size(), 3u);
  const Lines second = Receive();
  EXPECT_TRUE(last_result_);
  EXPECT_EQ(Count(second, "Pop Server: User Ann Number of Emails waiting: 4").size(), 1u);
  for (const std::string& line : second) EXPECT_EQ(line.find("retrieved"), std::string::npos);
  EXPECT_EQ(home_.Records("Ann").size(), 3u);
  EXPECT_EQ(box.MessageCount(), 4u);
  // A new message arriving is fetched, once.
  box.Deliver(TestMessage("Later, without id", ""));
  Receive();
  Receive();
  EXPECT_EQ(home_.Records("Ann").size(), 4u);
}

TEST_F(MailEngines, MessagesStoredBeforeAnInterruptedQuitAreDeletedNotStoredAgain) {
  PopMailbox box;
  for (int i = 1; i <= 3; ++i) box.Deliver(TestMessage("M" + std::to_string(i), ""));
  const TUserRecord user = home_.User("Ann", &box);
  home_.SaveUsers({user});

  // Stop after two messages: the stop ends the session without QUIT.
  struct StopAfterTwo : FetchReporter {
    std::atomic<bool>* stop;
    void Stored(int number, const TIdMessage&) override {
      if (number == 2) stop->store(true);
    }
  } reporter;
  reporter.stop = &stop_;
  FetchOptions options;
  options.stop = &stop_;
  TIdPOP3 client;
  const FetchResult result = FetchUserMail(user, options, client, reporter);
  EXPECT_TRUE(result.stopped);
  EXPECT_EQ(result.stored, 2);
  EXPECT_EQ(box.MessageCount(), 3u);  // nothing committed on the server
  EXPECT_EQ(home_.Records("Ann").size(), 2u);

  stop_ = false;
  const Lines lines = Receive();
  EXPECT_EQ(Count(lines, "Pop Server: User Ann Email number: 3 successfully retrieved.").size(),
            1u);
  EXPECT_EQ(lines.size(), 11u);  // no line for the two known ones
  EXPECT_EQ(home_.Records("Ann").size(), 3u);
  EXPECT_EQ(box.MessageCount(), 0u);
}

TEST_F(MailEngines, AMessageThatCannotBeStoredStaysOnTheServerAndTheOthersAreFiled) {
  PopMailbox box;
  box.Deliver(TestMessage("One", "1@test"));
  box.Deliver(TestMessage("Two is too big", "2@test", 200000));
  box.Deliver(TestMessage("Three", "3@test"));
  const TUserRecord user = home_.User("Ann", &box);
  struct Log : FetchReporter {
    Lines failed;
    void MessageSkipped(int number, const MailError&) override {
      failed.push_back(std::to_string(number));
    }
  } reporter;
  TIdPOP3 client;
  FetchOptions options;
  options.max_message_size = 100000;
  const FetchResult result = FetchUserMail(user, options, client, reporter);
  EXPECT_EQ(reporter.failed, Lines{"2"});
  EXPECT_EQ(result.stored, 2);
  EXPECT_FALSE(result.error);
  EXPECT_EQ(box.MessageCount(), 1u);
  const auto records = home_.Records("Ann");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].Subject, "One");
  EXPECT_EQ(records[1].Subject, "Three");
}

TEST_F(MailEngines, ANewsletterWithAOneMegabyteLineAndAnOverSizeMessageDoNotBlockTheMailbox) {
  PopMailbox box;
  box.Deliver(TestMessage("Normal one", "n1@test"));
  std::string newsletter = TestMessage("Newsletter", "news@test");
  const std::string long_line = "<p>" + std::string(1024 * 1024, 'w') + "</p>";
  newsletter += long_line + "\n";
  box.Deliver(newsletter);
  box.Deliver(TestMessage("Far too big", "big@test", FetchOptions::kDefaultMaxMessageSize + 1000));
  box.Deliver(TestMessage("Normal two", "n2@test"));
  home_.SaveUsers({home_.User("Ann", &box)});
  const std::string p = "Pop Server: User Ann ";
  const std::string named =
      p + "Email number: 3 not retrieved (the message is ";  // its size and the limit follow

  auto named_lines = [&](const Lines& lines) {
    Lines found;
    for (const std::string& line : lines) {
      if (line.starts_with(named)) found.push_back(line);
    }
    return found;
  };
  const Lines first = Receive();
  EXPECT_TRUE(last_result_) << ::testing::PrintToString(first);
  EXPECT_EQ(named_lines(first).size(), 1u) << ::testing::PrintToString(first);
  EXPECT_EQ(Count(first, p + "Error connecting to Pop Server.").size(), 0u);
  const Lines second = Receive();  // the same day: not named again
  EXPECT_TRUE(last_result_) << ::testing::PrintToString(second);
  EXPECT_TRUE(named_lines(second).empty()) << ::testing::PrintToString(second);

  const auto records = home_.Records("Ann");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].Subject, "Normal one");
  EXPECT_EQ(records[1].Subject, "Newsletter");
  EXPECT_EQ(records[2].Subject, "Normal two");
  EXPECT_NE(FileText(home_.StoreOf("Ann") / records[1].FileName).find(long_line),
            std::string::npos);
  EXPECT_EQ(box.MessageCount(), 1u);  // the over-size message stays on the server
}

TEST_F(MailEngines, AMessageThatCannotBeDecodedIsFiledFromItsHeaderAndFetchedOnce) {
  // Multiparts nested deeper than any reader goes: the one structure left that does not
  // decode, now that broken boundaries read as text.
  std::string nested = "deepest text\n";
  for (int depth = 40; depth >= 1; --depth) {
    const std::string boundary = "b" + std::to_string(depth);
    nested = "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\n\n--" + boundary +
             "\n" + nested + "--" + boundary + "--\n";
  }
  PopMailbox box;
  box.Deliver(
      "From: Odd <odd@test.example>\nTo: box@test\nSubject: Broken parts\n"
      "MIME-Version: 1.0\n" +
      nested);
  home_.SaveUsers({home_.User("Ann", &box, true, /*leave=*/true)});
  Receive();
  EXPECT_TRUE(last_result_);
  Receive();
  const auto records = home_.Records("Ann");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Subject, "Broken parts");
  EXPECT_EQ(records[0].Sender, "Odd <odd@test.example>");
  EXPECT_FALSE(records[0].HasAttachment);
  EXPECT_TRUE(home_.UnreferencedFiles("Ann").empty());
  TIdMessage decoded;  // the case is real: the file does not decode
  EXPECT_THROW(decoded.LoadFromFile(home_.StoreOf("Ann") / records[0].FileName), MessageError);
}

TEST_F(MailEngines, ARecordPointingOutsideTheUsersDirectoryIsNeitherFetchedNorSent) {
  // A damaged or imported Users.Dat whose record names a directory of the system: the runs
  // must not write mail into it nor send files from it.
  PopMailbox box;
  box.Deliver(TestMessage("Stays on the server", "m1@test"));
  const fs::path elsewhere = home_.UsersDir().parent_path() / "elsewhere";
  TUserRecord eve = home_.User("Eve", &box);
  eve.UserDir = elsewhere.string() + "/";
  home_.SaveUsers({eve});
  const std::string refused =
      "Error: mail store " + eve.UserDir + " lies outside the users directory, skipping.";
  EXPECT_EQ(Count(Receive(), "Pop Server: User Eve " + refused).size(), 1u);
  EXPECT_FALSE(last_result_);
  EXPECT_EQ(box.MessageCount(), 1u);
  EXPECT_FALSE(fs::exists(elsewhere));
  EXPECT_EQ(Count(Send(), "Smtp Server: User Eve " + refused).size(), 1u);
}

TEST_F(MailEngines, AFullDiskDeletesNothingThatIsNotStored) {
  const fs::path store = home_.StoreOf("Ann");
  fs::create_directories(store);
  if (::mount("tmpfs", store.c_str(), "tmpfs", 0, "size=96k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
  }
  struct Unmount {
    fs::path dir;
    ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
  } unmount{store};
  PopMailbox box;
  for (int i = 1; i <= 12; ++i) box.Deliver(TestMessage("Big " + std::to_string(i), "", 20000));
  home_.SaveUsers({home_.User("Ann", &box)});
  const Lines lines = Receive();
  EXPECT_FALSE(last_result_);
  const auto records = home_.Records("Ann");
  // Whatever was filed is complete; everything else is still on the server.
  for (const TEmailRecord& record : records) {
    TIdMessage message;
    EXPECT_NO_THROW(message.LoadFromFile(store / record.FileName));
  }
  EXPECT_LT(records.size(), 12u);
  EXPECT_EQ(box.MessageCount() + records.size(), 12u) << ::testing::PrintToString(lines);
}

TEST_F(MailEngines, AnIndexThatCannotBeSavedDeletesNothing) {
  PopMailbox box;
  for (int i = 1; i <= 3; ++i) box.Deliver(TestMessage("M" + std::to_string(i), ""));
  home_.SaveUsers({home_.User("Ann", &box)});
  // An index that reads but cannot be written: its lock file is a directory.
  const fs::path store = home_.StoreOf("Ann");
  fs::create_directories(store);
  TUserEmailDB index;
  index.Open(store);
  index.Save(store);
  fs::remove(store / "Emails.Dat.lock");
  fs::create_directories(store / "Emails.Dat.lock" / "blocker");
  const Lines lines = Receive();
  EXPECT_FALSE(last_result_);
  EXPECT_EQ(Count(lines, "Pop Server: User Ann Email number: 3 successfully retrieved.").size(), 1u)
      << ::testing::PrintToString(lines);
  EXPECT_EQ(box.MessageCount(), 3u) << ::testing::PrintToString(lines);
  // Once the index can be written again, the next run files them; nothing is lost.
  fs::remove_all(store / "Emails.Dat.lock");
  Receive();
  EXPECT_TRUE(last_result_);
  EXPECT_EQ(home_.Records("Ann").size(), 3u);
  EXPECT_EQ(box.MessageCount(), 0u);
}

TEST_F(MailEngines, SendSendsAsStoredWithBccInTheEnvelopeOnlyAndKeepsARefusedMessage) {
  home_.SaveUsers({home_.User("Ann", nullptr)});
  const std::string good = UniqueSender();
  const std::string refused = UniqueSender();
  const std::string after = UniqueSender();
  home_.AddOutbox("Ann", "From: " + good +
                             "\nTo: a@x.test;b@y.test;\nBcc: hidden@z.test\n"
                             "Subject: Hi\n\nHello\n..dot\n");
  home_.AddOutbox("Ann", "From: " + refused + "\nTo: reject-me@x.test\nSubject: No\n\nNo\n");
  const std::string missing = home_.AddOutbox("Ann", "From: x@y\nTo: m@x.test\n\nGone\n");
  fs::remove(home_.StoreOf("Ann") / missing);
  home_.AddOutbox("Ann", "From: " + after + "\nTo: c@x.test, C@X.test\nSubject: After\n\nOk\n");

  const std::string s = "Smtp Server: User Ann ";
  const Lines expected = {"",
                          "Starting Email Send procedure.",
                          "Smtp Server: Connecting to Smtp Server 127.0.0.1",
                          "Smtp Server: Connected to Smtp Server",
                          "",
                          s + "Number of Emails waiting: 4",
                          s + "Sending Email To: a@x.test",
                          s + "Sending Email To: reject-me@x.test",
                          s + "5.1.1 <reject-me@x.test>: Recipient address rejected: User unknown",
                          s + "Error Reading Email File number: 3",
                          s + "Sending Email To: c@x.test",
                          s + "Completed sending users mail.",
                          "",
                          "Smtp Server: Disconnected from Smtp Server 127.0.0.1",
                          "Ended Email Send procedure."};
  EXPECT_EQ(Send(), expected);
  EXPECT_TRUE(last_result_);  // nothing ended the run

  const auto record = FindSmtpRecord(good);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->rcpt_to, (Lines{"a@x.test", "b@y.test", "hidden@z.test"}));
  EXPECT_EQ(record->data.find("hidden@z.test"), std::string::npos) << record->data;
  EXPECT_EQ(record->data.find("Bcc"), std::string::npos) << record->data;
  EXPECT_NE(record->data.find("To: a@x.test;b@y.test;\r\n"), std::string::npos) << record->data;
  EXPECT_NE(record->data.find("\r\nHello\r\n.dot\r\n"), std::string::npos) << record->data;
  const auto later = FindSmtpRecord(after);
  ASSERT_TRUE(later);
  EXPECT_EQ(later->rcpt_to, Lines{"c@x.test"});
  EXPECT_FALSE(FindSmtpRecord(refused, std::chrono::milliseconds(0)));

  const auto records = home_.Records("Ann");
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].Status, email_status::kSent);
  EXPECT_EQ(records[1].Status, email_status::kOutbox);
  EXPECT_EQ(records[2].Status, email_status::kOutbox);
  EXPECT_EQ(records[3].Status, email_status::kSent);
  EXPECT_FALSE(records[0].DateText.empty());

  // The next run tries only what is left; nothing goes out twice.
  const Lines again = Send();
  EXPECT_EQ(Count(again, s + "Number of Emails waiting: 2").size(), 1u);
  EXPECT_EQ(Count(again, s + "Sending Email To: a@x.test").size(), 0u);
}

TEST_F(MailEngines, AnOutboxFileThatCannotBeReadFailsTheSendRun) {
  home_.SaveUsers({home_.User("Ann", nullptr)});
  const std::string missing = home_.AddOutbox("Ann", "From: x@y\nTo: m@x.test\n\nGone\n");
  fs::remove(home_.StoreOf("Ann") / missing);
  TUserList users;
  ASSERT_TRUE(users.Open(home_.UsersDirText()));
  MailRunContext context{config_, users, [](std::string_view) {}, &stop_};
  EXPECT_EQ(RunSendMsgs(context), SendRunEnd::kMessageErrors);  // "mail send" exits 1
  EXPECT_EQ(SendUser(context, "Ann"), 1);                       // "mail send Ann" too
  EXPECT_EQ(home_.Records("Ann").at(0).Status, email_status::kOutbox);
}

TEST_F(MailEngines, SendWithoutUsersOrServerLogsOnlyItsFrame) {
  EXPECT_EQ(Send(), (Lines{"", "Starting Email Send procedure.", "Ended Email Send procedure."}));
  home_.SaveUsers({home_.User("Ann", nullptr)});
  config_.SmtpServer.clear();
  EXPECT_EQ(Send(), (Lines{"", "Starting Email Send procedure.",
                           "Smtp Server: Error Smtp Settings not set unable to continue.", "",
                           "Ended Email Send procedure."}));
  EXPECT_TRUE(last_result_);
}

TEST_F(MailEngines, ARefusedLogInEndsTheTimerRunWithoutTryingAgain) {
  home_.SaveUsers({home_.User("Ann", nullptr)});
  home_.AddOutbox("Ann", "From: " + UniqueSender() + "\nTo: a@x.test\n\nHi\n");
  config_.SmtpPort = Peers::Get().Port("SMTP_PORT");
  config_.SmtpAuthType = 1;
  config_.SmtpUserName = Peers::Get().Value("SMTP_USER");
  config_.SmtpPassword = "wrong";
  const Lines lines = Run(TimedMailRun);
  EXPECT_FALSE(last_result_);
  EXPECT_EQ(Count(lines, "Starting Email Send procedure.").size(), 1u);
  EXPECT_EQ(Count(lines, "Ended Email Send procedure with Error.").size(), 1u);
  EXPECT_EQ(home_.Records("Ann")[0].Status, email_status::kOutbox);
}

TEST_F(MailEngines, AFailedConnectionIsTriedFourTimesByTheTimerRun) {
  home_.SaveUsers({home_.User("Ann", nullptr)});
  config_.SmtpPort = 1;  // nothing listens there
  const Lines lines = Run(TimedMailRun);
  EXPECT_FALSE(last_result_);
  EXPECT_EQ(Count(lines, "Ended Email Send procedure with Error.").size(), 4u);
}

TEST_F(MailEngines, AnotherHolderOfTheMailStoreMakesTheRunSkipTheUser) {
  PopMailbox box;
  box.Deliver(TestMessage("One", ""));
  home_.SaveUsers({home_.User("Ann", &box)});
  auto lock = MailStoreLock::Take(home_.StoreOf("Ann"), MailStoreActivity::kFetch,
                                  std::chrono::milliseconds(0));
  ASSERT_TRUE(lock);
  const Lines lines = Receive();
  EXPECT_EQ(
      Count(lines, "Pop Server: User Ann Mail is being fetched by another run, skipping.").size(),
      1u);
  EXPECT_EQ(box.MessageCount(), 1u);
}

}  // namespace
}  // namespace kestrune::testing
