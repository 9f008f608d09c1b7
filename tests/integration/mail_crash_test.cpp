// Crash safety of the mail commands: `kestrune mail receive` and `kestrune mail send`
// killed with SIGKILL at random moments, then run once to the end. Nothing may be lost,
// nothing stored twice, and a message sent twice only when a kill fell between the
// server's acceptance and the save of its Sent state.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>

#include "engines/fetched_uids.h"
#include "engines/unfetched_uids.h"
#include "mail_fixture.h"

namespace kestrune::testing {
namespace {

// A trial count and the range of kill delays; the soak script raises the count.
int Trials() {
  const char* text = std::getenv("KESTRUNE_CRASH_TRIALS");
  return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : 20;
}

class MailCrash : public ::testing::Test {
 protected:
  MailCrash() : binary_(fs::path(KESTRUNE_BINARY_DIR) / "kestrune") {}

  pid_t Start(const std::vector<std::string>& args, const TestHome* home = nullptr) {
    if (home == nullptr) home = &home_;
    std::vector<std::string> all = {binary_.string(), "--home", home->Root().string()};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::vector<char*> argv;
      for (std::string& arg : all) argv.push_back(arg.data());
      argv.push_back(nullptr);
      if (std::getenv("KESTRUNE_CRASH_VERBOSE") == nullptr) std::freopen("/dev/null", "w", stdout);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    return pid;
  }
  int Run(const std::vector<std::string>& args, const TestHome* home = nullptr) {
    const pid_t pid = Start(args, home);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Starts the command and kills it after a random delay; true when the kill came
  // before the command ended.
  bool RunAndKill(const std::vector<std::string>& args, std::mt19937& random,
                  std::chrono::microseconds max_delay) {
    const pid_t pid = Start(args);
    std::this_thread::sleep_for(std::chrono::microseconds(
        std::uniform_int_distribution<std::int64_t>(0, max_delay.count())(random)));
    const bool killed = ::kill(pid, SIGKILL) == 0;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return killed && WIFSIGNALED(status);
  }
  // How long a whole run of the command takes here, measured on a copy of the setup,
  // so that the kills fall inside a run rather than after it.
  std::chrono::microseconds TimeRun(const std::vector<std::string>& args, const TestHome& home) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(args, &home), 0);
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 start);
  }
  fs::path WriteSecret(const std::string& name, const std::string& text, const TestHome& home) {
    const fs::path file = home.Root() / name;
    std::ofstream(file) << text << "\n";
    return file;
  }
  void AddUser(const PopMailbox* box, const TestHome* home = nullptr) {
    if (home == nullptr) home = &home_;
    std::vector<std::string> args = {
        "users",       "add", "Ann", "--password-file", WriteSecret("pw", "secret", *home).string(),
        "--auto-check"};
    if (box != nullptr) {
      args.insert(args.end(),
                  {"--pop-server", "127.0.0.1", "--pop-port",
                   std::to_string(Peers::Get().Port("POP3_PORT")), "--pop-user", box->User(),
                   "--pop-password-file", WriteSecret("pop", box->Password(), *home).string()});
    }
    ASSERT_EQ(Run(args, home), 0);
  }

  TestHome home_;
  fs::path binary_;
};

TEST_F(MailCrash, AKilledReceiveLosesNothingAndStoresNothingTwice) {
  // Once a run gets through, the mailbox is empty; a new batch keeps the kills coming.
  // Enough messages for a run of three commits (256 messages each at most), so that kills
  // fall before, inside and after a commit, among the deletions and before QUIT.
  constexpr int kMessages = 600;
  int batches = 0;
  auto fill = [&batches](PopMailbox& box) {
    ++batches;
    for (int i = 1; i <= kMessages; ++i) {
      const std::string name = std::to_string(batches) + "-" + std::to_string(i);
      box.Deliver(TestMessage("Crash " + name, i % 2 == 0 ? "crash" + name + "@test" : ""));
    }
  };
  std::chrono::microseconds full_run;
  {
    TestHome calibration;
    PopMailbox calibration_box;
    fill(calibration_box);
    AddUser(&calibration_box, &calibration);
    full_run = TimeRun({"mail", "receive"}, calibration);
  }
  batches = 0;
  PopMailbox box;
  fill(box);
  AddUser(&box);
  std::mt19937 random(20261210);
  int kills = 0;
  for (int attempt = 0; kills < Trials() && attempt < 20 * Trials(); ++attempt) {
    if (box.MessageCount() == 0) fill(box);
    if (RunAndKill({"mail", "receive"}, random, full_run)) ++kills;
  }
  ASSERT_EQ(Run({"mail", "receive"}), 0);

  EXPECT_EQ(box.MessageCount(), 0u);
  const fs::path store = home_.StoreOf("Ann");
  std::map<std::string, int> subjects;
  int torn = 0;
  for (const TEmailRecord& record : home_.Records("Ann")) {
    ++subjects[record.Subject];
    TIdMessage message;
    EXPECT_NO_THROW(message.LoadFromFile(store / record.FileName)) << record.FileName;
    // Every message ends with this line: a file cut short lacks it.
    if (FileText(store / record.FileName).find("a line that starts with a dot") ==
        std::string::npos) {
      ++torn;
    }
  }
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(subjects.size(), static_cast<std::size_t>(kMessages * batches));
  for (const auto& [subject, count] : subjects) EXPECT_EQ(count, 1) << subject;
  // Every data file the fetch writes loads.
  EXPECT_NO_THROW(FetchedUidFile(store).Load());
  EXPECT_NO_THROW(UnfetchedUidFile(store).Load());
  // Each message file is named in the record of fetched messages before it is created,
  // so the run after a kill removes what the killed one left unlisted.
  const std::vector<std::string> unreferenced = home_.UnreferencedFiles("Ann");
  std::cout << "receive: " << kills << " kills over " << batches << " mailboxes (a full run "
            << full_run.count() / 1000 << " ms), " << unreferenced.size()
            << " unreferenced files\n";
  EXPECT_EQ(unreferenced, std::vector<std::string>{});
}

// Accepted messages per envelope sender.
std::map<std::string, int> SmtpRecordCounts() {
  std::map<std::string, int> counts;
  for (const auto& entry : fs::directory_iterator(Peers::Get().Value("SMTP_RECORD_DIR"))) {
    if (entry.path().filename().string().starts_with(".")) continue;
    std::istringstream envelope(FileText(entry.path() / "envelope"));
    std::string line;
    while (std::getline(envelope, line)) {
      if (line.starts_with("mail_from ")) ++counts[line.substr(10)];
    }
  }
  return counts;
}

TEST_F(MailCrash, AKilledSendDeliversEverythingAndRepeatsOnlyUnrecordedMessages) {
  constexpr int kMessages = 50;
  auto add_outbox = [](const TestHome& home, std::vector<std::string>& senders) {
    for (int i = 0; i < kMessages; ++i) {
      senders.push_back(UniqueSender());
      home.AddOutbox("Ann", "From: " + senders.back() + "\nTo: rcpt" + std::to_string(i) +
                                "@x.test\nSubject: Out " + std::to_string(i) + "\n\nBody\n");
    }
  };
  auto set_up = [this, &add_outbox](const TestHome& home, std::vector<std::string>& senders) {
    AddUser(nullptr, &home);
    ASSERT_EQ(Run({"settings", "set", "SmtpServer.SmtpServer", "127.0.0.1"}, &home), 0);
    ASSERT_EQ(Run({"settings", "set", "SmtpServer.SmtpPort",
                   std::to_string(Peers::Get().Port("SMTP_PORT"))},
                  &home),
              0);
    add_outbox(home, senders);
  };
  std::chrono::microseconds full_run;
  {
    TestHome calibration;
    std::vector<std::string> ignored;
    set_up(calibration, ignored);
    full_run = TimeRun({"mail", "send"}, calibration);
  }
  std::vector<std::string> senders;
  set_up(home_, senders);
  auto all_sent = [this] {
    for (const TEmailRecord& record : home_.Records("Ann")) {
      if (record.Status != email_status::kSent) return false;
    }
    return true;
  };
  std::mt19937 random(20261211);
  int kills = 0;
  for (int attempt = 0; kills < Trials() && attempt < 20 * Trials(); ++attempt) {
    if (all_sent()) add_outbox(home_, senders);
    if (RunAndKill({"mail", "send"}, random, full_run)) ++kills;
  }
  ASSERT_EQ(Run({"mail", "send"}), 0);

  for (const TEmailRecord& record : home_.Records("Ann")) {
    EXPECT_EQ(record.Status, email_status::kSent) << record.FileName;
  }
  const std::map<std::string, int> counts = SmtpRecordCounts();
  int duplicates = 0;
  for (const std::string& sender : senders) {
    const auto it = counts.find(sender);
    ASSERT_NE(it, counts.end()) << sender << " never delivered";
    duplicates += it->second - 1;
  }
  std::cout << "send: " << kills << " kills (a full run " << full_run.count() / 1000 << " ms), "
            << duplicates << " messages delivered twice\n";
  // Each kill can fall into at most one message's window between reply and save.
  EXPECT_LE(duplicates, kills);
}

using MailCommand = MailCrash;

TEST_F(MailCommand, ExitStatusesAndAOneUserFetchOfAnAtLoginAccount) {
  PopMailbox box;
  box.Deliver(TestMessage("For the at-login user", ""));
  std::vector<std::string> args = {"users",
                                   "add",
                                   "Bob",
                                   "--password-file",
                                   WriteSecret("pw", "secret", home_).string(),
                                   "--pop-server",
                                   "127.0.0.1",
                                   "--pop-port",
                                   std::to_string(Peers::Get().Port("POP3_PORT")),
                                   "--pop-user",
                                   box.User(),
                                   "--pop-password-file",
                                   WriteSecret("pop", box.Password(), home_).string(),
                                   "--check-on-login"};
  ASSERT_EQ(Run(args), 0);
  ASSERT_EQ(Run({"settings", "set", "PopTls", "0"}), 0);
  EXPECT_EQ(Run({"mail"}), 2);
  EXPECT_EQ(Run({"mail", "fetch"}), 2);
  EXPECT_EQ(Run({"mail", "run", "Bob"}), 2);
  EXPECT_EQ(Run({"mail", "receive", "Nobody"}), 1);
  EXPECT_EQ(Run({"mail", "receive"}), 0);  // skips the at-login account
  EXPECT_EQ(box.MessageCount(), 1u);
  EXPECT_EQ(Run({"mail", "receive", "bob"}), 0);  // names compare without case
  EXPECT_EQ(box.MessageCount(), 0u);
  EXPECT_EQ(home_.Records("Bob").size(), 1u);
  // No SMTP server reachable: the send ends with an error.
  ASSERT_EQ(Run({"settings", "set", "SmtpServer.SmtpServer", "127.0.0.1"}), 0);
  ASSERT_EQ(Run({"settings", "set", "SmtpServer.SmtpPort", "1"}), 0);
  EXPECT_EQ(Run({"mail", "send", "Bob"}), 1);
}

TEST_F(MailCommand, ALongLineAndAnOverSizeMessageNeverStopTheMailBehindThem) {
  PopMailbox box;
  box.Deliver(TestMessage("Normal one", "n1@test"));
  box.Deliver(TestMessage("Newsletter", "news@test") + std::string(1024 * 1024, 'w') + "\n");
  box.Deliver(TestMessage("Far too big", "big@test", 50u * 1024u * 1024u + 1000));
  box.Deliver(TestMessage("Normal two", "n2@test"));
  AddUser(&box);
  ASSERT_EQ(Run({"settings", "set", "PopTls", "0"}), 0);
  const fs::path out = home_.Root() / "receive.out";
  std::vector<int> statuses;
  std::vector<std::size_t> stored;
  std::vector<std::string> outputs;
  for (int run = 0; run < 3; ++run) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::freopen(out.c_str(), "w", stdout);
      const std::string home = home_.Root().string();
      ::execl(binary_.c_str(), binary_.c_str(), "--home", home.c_str(), "mail", "receive",
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    stored.push_back(home_.Records("Ann").size());
    outputs.push_back(FileText(out));
  }
  EXPECT_EQ(statuses, (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(stored, (std::vector<std::size_t>{3, 3, 3}));
  const auto records = home_.Records("Ann");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].Subject, "Normal one");
  EXPECT_EQ(records[1].Subject, "Newsletter");
  EXPECT_EQ(records[2].Subject, "Normal two");
  const std::string named = "Pop Server: User Ann Email number: 3 not retrieved (the message is ";
  EXPECT_NE(outputs[0].find(named), std::string::npos) << outputs[0];
  EXPECT_EQ(outputs[1].find("not retrieved"), std::string::npos) << outputs[1];  // once a day
  EXPECT_EQ(outputs[0].find("Error connecting"), std::string::npos) << outputs[0];
  EXPECT_EQ(box.MessageCount(), 1u);
}

}  // namespace
}  // namespace kestrune::testing
