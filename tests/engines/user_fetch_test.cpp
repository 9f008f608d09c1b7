// The fetch of one mailbox against scripted POP3 servers, for the server behaviours
// Dovecot does not show: no TOP, no UIDL, a clean "-ERR" to one RETR, a connection that
// breaks inside a message, and hostile servers (shared or unusable UIDLs, a false STAT,
// endless or trickling messages, a server that stalls).
#include "engines/user_fetch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "engines/fetched_uids.h"
#include "engines/unfetched_uids.h"
#include "mail/id_pop3.h"
#include "mail/scripted_server.h"
#include "store/email_db.h"
#include "store/user_list.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;

std::string Message(int n, const std::string& message_id) {
  std::string text = "From: s@test\r\nSubject: Scripted " + std::to_string(n) + "\r\n";
  if (!message_id.empty()) text += "Message-ID: <" + message_id + ">\r\n";
  return text + "\r\nBody " + std::to_string(n) + "\r\n";
}

// A POP3 server that answers from a table of messages and records every command.
struct MailboxScript {
  std::map<int, std::string> messages;
  bool has_top = true;
  bool has_uidl = true;
  bool has_list = false;
  std::map<int, std::string> uids;           // UIDL text per number (default uid-N)
  std::vector<std::string> uidl_lines;       // when set: the UIDL reply lines as they are
  std::map<int, std::size_t> claimed_sizes;  // LIST sizes that differ from the truth
  std::string stat_reply;                    // when set: the STAT reply
  std::set<int> refused;                     // RETR answered with -ERR
  bool refuse_all = false;
  int broken = 0;           // RETR of this number sends half a message and closes
  int endless = 0;          // RETR of this number sends lines for as long as the client reads
  int trickle = 0;          // RETR of this number sends one byte every 20 ms, for ever
  int stall = 0;            // RETR of this number says +OK and then nothing
  bool pipelining = false;  // CAPA lists PIPELINING (else CAPA is refused)
  int runs_on = 0;  // RETR of this number, the first time: no end line, running into the next
  int garbled = 0;  // RETR of this number is answered with a status line that is no status
  std::function<void(int)> on_dele;  // called with the number before DELE is answered
  std::vector<std::string> commands;

  void operator()(ScriptedPeer& peer) {
    peer.Send("+OK scripted\r\n");
    for (;;) {
      const std::string line = peer.ReadLine();
      if (peer.Closed()) return;
      if (line == "CAPA") {  // not recorded: asked at every log-in
        peer.Send(pipelining ? "+OK\r\nPIPELINING\r\nUIDL\r\n.\r\n" : "-ERR unknown command\r\n");
        continue;
      }
      commands.push_back(line);
      const std::size_t blank = line.find(' ');
      const std::string verb = line.substr(0, blank);
      const int n = blank == std::string::npos ? 0 : std::atoi(line.c_str() + blank + 1);
      if (verb == "DELE" && on_dele) on_dele(n);
      if (verb == "USER" || verb == "PASS" || verb == "DELE") {
        peer.Send("+OK\r\n");
      } else if (verb == "STAT") {
        peer.Send(stat_reply.empty() ? "+OK " + std::to_string(messages.size()) + " 1000\r\n"
                                     : stat_reply + "\r\n");
      } else if (verb == "UIDL" && has_uidl) {
        peer.Send("+OK\r\n");
        if (!uidl_lines.empty()) {
          for (const std::string& uidl : uidl_lines) peer.Send(uidl + "\r\n");
        } else {
          for (const auto& [number, text] : messages) {
            const auto uid = uids.find(number);
            peer.Send(std::to_string(number) + " " +
                      (uid != uids.end() ? uid->second : "uid-" + std::to_string(number)) + "\r\n");
          }
        }
        peer.Send(".\r\n");
      } else if (verb == "LIST" && has_list) {
        peer.Send("+OK\r\n");
        for (const auto& [number, text] : messages) {
          const auto claimed = claimed_sizes.find(number);
          peer.Send(std::to_string(number) + " " +
                    std::to_string(claimed != claimed_sizes.end() ? claimed->second : text.size()) +
                    "\r\n");
        }
        peer.Send(".\r\n");
      } else if (verb == "TOP" && has_top) {
        const std::string& text = messages.at(n);
        peer.Send("+OK\r\n" + text.substr(0, text.find("\r\n\r\n") + 2) + ".\r\n");
      } else if (verb == "RETR" && (refused.contains(n) || refuse_all)) {
        peer.Send("-ERR message " + std::to_string(n) + " is locked\r\n");
      } else if (verb == "RETR" && n == runs_on) {
        runs_on = 0;
        peer.Send("+OK\r\n" + messages.at(n).substr(0, 20) + "\r\n");
      } else if (verb == "RETR" && n == garbled) {
        peer.Send("+YES here it comes\r\n" + messages.at(n) + ".\r\n");
      } else if (verb == "RETR" && n == broken) {
        peer.Send("+OK\r\n" + messages.at(n).substr(0, 20));
        return;  // the connection breaks inside the message
      } else if (verb == "RETR" && n == endless) {
        const std::string lines = "Subject: endless\r\n" + std::string(8000, 'x') + "\r\n";
        if (!peer.Send("+OK\r\n")) return;
        while (peer.Send(lines)) {
        }
        return;
      } else if (verb == "RETR" && n == trickle) {
        peer.Send("+OK\r\n");
        while (peer.Send("x")) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return;
      } else if (verb == "RETR" && n == stall) {
        peer.Send("+OK\r\n");
        peer.ReadLine();  // until the client closes the connection
        return;
      } else if (verb == "RETR") {
        peer.Send("+OK\r\n" + messages.at(n) + ".\r\n");
      } else if (verb == "QUIT") {
        peer.Send("+OK bye\r\n");
        return;
      } else {
        peer.Send("-ERR unknown command\r\n");
      }
    }
  }
};

// What a fetch reported, one entry per call, e.g. "failed 2: -ERR message 2 is locked".
struct RecordingReporter : FetchReporter {
  std::vector<std::string> events;
  void MessageFailed(int number, const MailError& error) override {
    events.push_back("failed " + std::to_string(number) + ": " + error.text);
  }
  void MessageSkipped(int number, const MailError& reason) override {
    events.push_back("skipped " + std::to_string(number) + ": " + reason.text);
  }
  void EndedEarly(const MailError& reason) override { events.push_back("ended: " + reason.text); }
  void Failed(const MailError& error) override { events.push_back("error: " + error.text); }
  void Stopped() override { events.push_back("stopped"); }
};

class ScriptedFetch : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("kst-fetch-" + std::to_string(::getpid()));
    fs::create_directories(root_ / "Ann");
    user_.UserName = "Ann";
    user_.UserDir = (root_ / "Ann").string() + "/";
    user_.PopServer = "127.0.0.1";
    user_.PopUserName = "ann";
    user_.PopPassword = "pw";
  }
  void TearDown() override { fs::remove_all(root_); }

  FetchResult Fetch(MailboxScript& script) {
    ScriptedServer server([&script](ScriptedPeer& peer) { script(peer); });
    user_.PopPort = server.Port();
    options_.tls = TlsMode::kNone;
    options_.read_timeout_ms = 5000;
    TIdPOP3 client;
    reporter_.events.clear();
    return FetchUserMail(user_, options_, client, reporter_);
  }

  // The same mailbox fetched `runs` times; the subjects filed in the end.
  std::vector<std::string> FetchRuns(const MailboxScript& script, int runs) {
    for (int run = 0; run < runs; ++run) {
      MailboxScript copy = script;
      Fetch(copy);
    }
    return Subjects();
  }

  std::vector<std::string> Subjects() {
    std::vector<std::string> subjects;
    TUserEmailDB index;
    if (!index.Open(root_ / "Ann")) return subjects;
    for (int i = 1; i <= index.GetCount(); ++i) {
      TEmailRecord record;
      index.GetEmail(i, record);
      subjects.push_back(record.Subject);
    }
    return subjects;
  }

  fs::path root_;
  TUserRecord user_;
  FetchOptions options_;
  RecordingReporter reporter_;
};

using Commands = std::vector<std::string>;

TEST_F(ScriptedFetch, WithoutTopOrUidlTheWholeMessageDecidesWhetherItIsStoredAlready) {
  user_.LeaveEmails = true;
  MailboxScript first;
  first.messages = {{1, Message(1, "one@test")}};
  first.has_top = first.has_uidl = false;
  ASSERT_TRUE(Fetch(first).Ok());

  MailboxScript second;
  second.messages = {{1, Message(1, "one@test")}, {2, Message(2, "two@test")}};
  second.has_top = second.has_uidl = false;
  const FetchResult result = Fetch(second);
  EXPECT_TRUE(result.Ok());
  EXPECT_EQ(result.stored, 1);
  EXPECT_EQ(Subjects(), (Commands{"Scripted 1", "Scripted 2"}));
  // TOP is tried once; after its -ERR every message is retrieved whole.
  EXPECT_EQ(second.commands, (Commands{"USER ann", "PASS pw", "STAT", "UIDL", "LIST", "TOP 1 0",
                                       "RETR 1", "RETR 2", "QUIT"}));
}

TEST_F(ScriptedFetch, ACleanErrToOneRetrieveIsThatMessagesErrorOnly) {
  MailboxScript script;
  script.messages = {{1, Message(1, "")}, {2, Message(2, "")}, {3, Message(3, "")}};
  script.refused = {2};
  const FetchResult result = Fetch(script);
  EXPECT_EQ(result.failed, 1);
  EXPECT_FALSE(result.error);
  EXPECT_EQ(Subjects(), (Commands{"Scripted 1", "Scripted 3"}));
  EXPECT_EQ(script.commands, (Commands{"USER ann", "PASS pw", "STAT", "UIDL", "LIST", "RETR 1",
                                       "RETR 2", "RETR 3", "DELE 1", "DELE 3", "QUIT"}));
}

TEST_F(ScriptedFetch, AConnectionBrokenInsideAMessageEndsWithoutQuitAndANewSessionTakesTheRest) {
  MailboxScript script;
  script.messages = {{1, Message(1, "")}, {2, Message(2, "")}, {3, Message(3, "")}};
  script.broken = 2;
  const FetchResult result = Fetch(script);
  EXPECT_EQ(result.error.kind, MailErrorKind::kConnectionClosed);
  EXPECT_EQ(result.stored, 2);
  EXPECT_EQ(result.failed, 1);
  EXPECT_EQ(Subjects(), (Commands{"Scripted 1", "Scripted 3"}));
  // The second session recognises message 1 by its UIDL (deleted, not stored again) and
  // leaves message 2 alone for the rest of the run.
  EXPECT_EQ(script.commands,
            (Commands{"USER ann", "PASS pw", "STAT", "UIDL", "LIST", "RETR 1", "RETR 2", "USER ann",
                      "PASS pw", "STAT", "UIDL", "LIST", "DELE 1", "RETR 3", "DELE 3", "QUIT"}));

  // The next run tries message 2 again.
  MailboxScript next;
  next.messages = {{2, script.messages[2]}};
  EXPECT_TRUE(Fetch(next).Ok());
  EXPECT_EQ(Subjects(), (Commands{"Scripted 1", "Scripted 3", "Scripted 2"}));
  EXPECT_EQ(next.commands,
            (Commands{"USER ann", "PASS pw", "STAT", "UIDL", "LIST", "RETR 2", "DELE 2", "QUIT"}));
}

TEST_F(ScriptedFetch, AUserWithoutAMailStoreDirectoryIsNotFetched) {
  user_.UserDir.clear();
  MailboxScript script;
  script.messages = {{1, Message(1, "")}};
  const FetchResult result = Fetch(script);
  EXPECT_TRUE(result.store_failed);
  EXPECT_TRUE(script.commands.empty());
  EXPECT_FALSE(fs::exists("Fetch.lock"));
}

TEST_F(ScriptedFetch, AServerListingTwoMessagesUnderOneUidGetsBothDownloadedBeforeAnyDele) {
  MailboxScript script;
  script.messages = {{1, Message(1, "")}, {2, Message(2, "")}};
  script.uids = {{1, "same"}, {2, "same"}};
  const FetchResult result = Fetch(script);
  EXPECT_TRUE(result.Ok());
  EXPECT_EQ(Subjects(), (Commands{"Scripted 1", "Scripted 2"}));
  EXPECT_EQ(script.commands, (Commands{"USER ann", "PASS pw", "STAT", "UIDL", "LIST", "RETR 1",
                                       "RETR 2", "DELE 1", "DELE 2", "QUIT"}));
}

// A server that deletes at DELE (or when the connection drops) instead of at QUIT
// must never take a message this store could still lose: at each DELE the message is
// listed by the saved index and its UIDL is in the synced record.
TEST_F(ScriptedFetch, EveryDeleFollowsTheSaveThatHoldsItsMessage) {
  MailboxScript script;
  for (int n = 1; n <= 5; ++n) script.messages[n] = Message(n, "");
  std::vector<std::string> missing;
  script.on_dele = [&](int n) {
    const std::vector<std::string> saved = Subjects();
    if (std::find(saved.begin(), saved.end(), "Scripted " + std::to_string(n)) == saved.end()) {
      missing.push_back("DELE " + std::to_string(n) + " before its index save");
    }
    bool recorded = false;
    for (const FetchedMessage& entry : FetchedUidFile(root_ / "Ann").Load()) {
      recorded = recorded || entry.uid == "uid-" + std::to_string(n);
    }
    if (!recorded) missing.push_back("DELE " + std::to_string(n) + " before its UIDL line");
  };
  EXPECT_TRUE(Fetch(script).Ok());
  EXPECT_EQ(missing, Commands{});
  EXPECT_EQ(Subjects().size(), 5u);
  EXPECT_EQ(script.commands.back(), "QUIT");

  // In batches of two, each batch is committed (and deleted) before the next begins.
  fs::remove_all(root_ / "Ann");
  fs::create_directories(root_ / "Ann");
  options_.batch_messages = 2;
  options_.save_spacing = 0;
  MailboxScript batched = script;
  batched.commands.clear();
  EXPECT_TRUE(Fetch(batched).Ok());
  EXPECT_EQ(missing, Commands{});
  EXPECT_EQ(batched.commands, (Commands{"USER ann", "PASS pw", "STAT", "UIDL", "LIST", "RETR 1",
                                        "RETR 2", "DELE 1", "DELE 2", "RETR 3", "RETR 4", "DELE 3",
                                        "DELE 4", "RETR 5", "DELE 5", "QUIT"}));
}

// What a run killed at each point of a commit leaves, and what the next run makes of it:
// a file named only when it was created is removed and its message fetched again; a
// synced file with its UIDL line is filed without a new download; a saved one is only
// deleted on the server. Never two copies, never none.
TEST_F(ScriptedFetch, WhatAKilledRunLeftIsFiledOnceByTheNextRun) {
  struct Case {
    const char* killed;
    bool uid_line;
    bool in_index;
    Commands commands;
  };
  const Commands retrieved{"USER ann", "PASS pw", "STAT",   "UIDL",
                           "LIST",     "RETR 1",  "DELE 1", "QUIT"};
  const Commands recognised{"USER ann", "PASS pw", "STAT", "UIDL", "LIST", "DELE 1", "QUIT"};
  const std::vector<Case> cases = {{"while writing the file", false, false, retrieved},
                                   {"after the batch's sync", true, false, recognised},
                                   {"after the index save", true, true, recognised}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.killed);
    fs::remove_all(root_ / "Ann");
    fs::create_directories(root_ / "Ann");
    const std::string account = AccountKey("ann", "127.0.0.1");
    FetchedUidFile trail(root_ / "Ann");
    trail.Append({account, "", "killed01.eml"});
    if (c.uid_line) trail.Append({account, "uid-1", "killed01.eml"});
    const std::string text = Message(1, "");
    std::ofstream(root_ / "Ann" / "killed01.eml", std::ios::binary)
        << (c.uid_line ? text : text.substr(0, 20));
    if (c.in_index) {
      TUserEmailDB index;
      ASSERT_TRUE(index.Open(root_ / "Ann"));
      TEmailRecord record;
      record.Subject = "Scripted 1";
      record.FileName = "killed01.eml";
      index.AddEmail(record);
      index.Save(root_ / "Ann");
    }
    MailboxScript script;
    script.messages = {{1, text}};
    EXPECT_TRUE(Fetch(script).Ok());
    EXPECT_EQ(script.commands, c.commands);
    EXPECT_EQ(Subjects(), Commands{"Scripted 1"});
    int files = 0;
    for (const auto& entry : fs::directory_iterator(root_ / "Ann")) {
      files += entry.path().extension() == ".eml";
    }
    EXPECT_EQ(files, 1);
  }
}

TEST_F(ScriptedFetch, KeptMessagesWithUnusableUidsAreStoredOnceOverThreeRuns) {
  user_.LeaveEmails = true;
  MailboxScript script;
  script.has_list = true;
  script.uidl_lines = {"1 has space", "2 ctl\x01id", "3 " + std::string(4096, 'u'), "4 -",
                       "6 uid-6"};  // 5 is not listed at all
  for (int n = 1; n <= 6; ++n) script.messages[n] = Message(n, "m" + std::to_string(n) + "@t");
  const std::vector<std::string> subjects = FetchRuns(script, 3);
  EXPECT_EQ(subjects, (Commands{"Scripted 1", "Scripted 2", "Scripted 3", "Scripted 4",
                                "Scripted 5", "Scripted 6"}));
  // A message without a usable UIDL is written with a mark no UIDL can be.
  std::ifstream trail(root_ / "Ann" / FetchedUidFile::kFileName);
  std::string text((std::istreambuf_iterator<char>(trail)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("\t-\t"), std::string::npos) << text;  // "-" is a real UIDL
}

TEST_F(ScriptedFetch, AStatClaimOfAHundredMillionMessagesCostsOnlyWhatUidlLists) {
  MailboxScript script;
  script.messages = {{1, Message(1, "")}, {2, Message(2, "")}};
  script.stat_reply = "+OK 100000000 1";
  const FetchResult result = Fetch(script);
  EXPECT_TRUE(result.Ok());
  EXPECT_EQ(Subjects(), (Commands{"Scripted 1", "Scripted 2"}));
  EXPECT_EQ(script.commands.back(), "QUIT");
}

TEST_F(ScriptedFetch, AServerRefusingEveryRetrieveEndsTheSessionAfterThreeInARow) {
  MailboxScript script;
  script.messages = {{1, Message(1, "")}};
  script.has_uidl = false;
  script.stat_reply = "+OK 100000000 1";
  script.refuse_all = true;
  const FetchResult result = Fetch(script);
  EXPECT_EQ(result.failed, 3);
  EXPECT_TRUE(result.ended_early);
  EXPECT_EQ(script.commands, (Commands{"USER ann", "PASS pw", "STAT", "UIDL", "LIST", "RETR 1",
                                       "RETR 2", "RETR 3", "QUIT"}));
}

TEST_F(ScriptedFetch, AMessageThatKeepsFailingIsTriedThreeRunsThenSkippedAndNamedOnceADay) {
  MailboxScript script;
  script.messages = {{1, Message(1, "")}, {2, Message(2, "")}};
  script.refused = {2};
  user_.LeaveEmails = true;
  std::vector<std::vector<std::string>> events;
  std::vector<bool> ok;
  for (const std::string day :
       {"2026-12-01", "2026-12-01", "2026-12-01", "2026-12-01", "2026-12-01", "2026-12-02"}) {
    options_.today = day;
    MailboxScript copy = script;
    ok.push_back(Fetch(copy).Ok());
    events.push_back(reporter_.events);
  }
  const std::string refused = "failed 2: -ERR message 2 is locked";
  const std::string skipped =
      "skipped 2: it failed in 3 runs and is no longer retried; the last error: -ERR message 2 "
      "is locked";
  EXPECT_EQ(events, (std::vector<std::vector<std::string>>{
                        {refused}, {refused}, {refused, skipped}, {}, {}, {skipped}}));
  EXPECT_EQ(ok, (std::vector<bool>{false, false, false, true, true, true}));
  EXPECT_EQ(Subjects(), Commands{"Scripted 1"});
}

TEST_F(ScriptedFetch, AMessageOverTheSizeLimitIsNeverDownloadedAndNamedOnceADay) {
  options_.max_message_size = 5000;
  MailboxScript script;
  script.has_list = true;
  script.messages = {{1, Message(1, "")},
                     {2, Message(2, "") + std::string(6000, 'x') + "\r\n"},
                     {3, Message(3, "")}};
  options_.today = "2026-12-01";
  const FetchResult first = Fetch(script);
  EXPECT_TRUE(first.Ok());
  EXPECT_EQ(first.skipped, 1);
  EXPECT_EQ(reporter_.events,
            Commands{"skipped 2: the message is 6047 bytes, larger than the limit of 5000 bytes"});
  EXPECT_EQ(script.commands, (Commands{"USER ann", "PASS pw", "STAT", "UIDL", "LIST", "RETR 1",
                                       "RETR 3", "DELE 1", "DELE 3", "QUIT"}));
  MailboxScript same_day;
  same_day.messages = {{2, script.messages[2]}};
  same_day.has_list = true;
  EXPECT_TRUE(Fetch(same_day).Ok());
  EXPECT_TRUE(reporter_.events.empty());
  options_.today = "2026-12-02";
  MailboxScript next_day = same_day;
  Fetch(next_day);
  EXPECT_EQ(reporter_.events.size(), 1u);
  EXPECT_EQ(Subjects(), (Commands{"Scripted 1", "Scripted 3"}));
}

TEST_F(ScriptedFetch, AnEndlessMessageUnderAFalseSizeIsCutAtTheLimitAndSkippedNextRun) {
  options_.max_message_size = 100000;
  MailboxScript script;
  script.has_list = true;
  script.messages = {{1, Message(1, "")}, {2, Message(2, "")}, {3, Message(3, "")}};
  script.claimed_sizes = {{2, 100}};
  script.endless = 2;
  const FetchResult first = Fetch(script);
  EXPECT_TRUE(first.Ok());
  EXPECT_EQ(first.skipped, 1);
  EXPECT_TRUE(first.ended_early);
  // Closed at the limit, without QUIT; a new session takes message 3.
  EXPECT_EQ(script.commands,
            (Commands{"USER ann", "PASS pw", "STAT", "UIDL", "LIST", "RETR 1", "RETR 2", "USER ann",
                      "PASS pw", "STAT", "UIDL", "LIST", "DELE 1", "RETR 3", "DELE 3", "QUIT"}));
  EXPECT_EQ(Subjects(), (Commands{"Scripted 1", "Scripted 3"}));
  MailboxScript next;
  next.messages = {{2, script.messages[2]}};
  next.has_list = true;
  next.claimed_sizes = script.claimed_sizes;
  next.endless = 2;
  EXPECT_TRUE(Fetch(next).Ok());
  EXPECT_EQ(next.commands, (Commands{"USER ann", "PASS pw", "STAT", "UIDL", "LIST", "QUIT"}));
}

TEST_F(ScriptedFetch, AServerTricklingOneByteAtATimeIsCutOffAtTheMessageDeadline) {
  options_.message_time_floor = std::chrono::milliseconds(1000);
  MailboxScript script;
  script.messages = {{1, Message(1, "")}, {2, Message(2, "")}};
  script.has_list = true;  // a small message: the deadline is the floor
  script.trickle = 1;
  const FetchResult result = Fetch(script);  // the read time-out alone (5 s) never trips
  EXPECT_EQ(result.failed, 1);
  EXPECT_TRUE(result.ended_early);
  ASSERT_FALSE(reporter_.events.empty());
  EXPECT_EQ(reporter_.events[0],
            "failed 1: The message did not arrive whole within 1 s; the connection was closed.");
  EXPECT_EQ(Subjects(), Commands{"Scripted 2"});  // taken by a second session
  EXPECT_EQ(script.commands.back(), "QUIT");
}

// A server that answers nothing until the whole window has arrived: a client that
// waits for each answer before the next command never gets one.
TEST_F(ScriptedFetch, AServerOfferingPipeliningGetsTheRetrievesAndDeletesAheadOfTheirAnswers) {
  std::map<int, std::string> messages;
  for (int n = 1; n <= 3; ++n) messages[n] = Message(n, "");
  Commands received;
  auto read = [&](ScriptedPeer& peer, int count) {
    for (int i = 0; i < count && !peer.Closed(); ++i) received.push_back(peer.ReadLine());
  };
  ScriptedServer server([&](ScriptedPeer& peer) {
    peer.Send("+OK scripted\r\n");
    read(peer, 1);
    peer.Send("+OK\r\nPIPELINING\r\n.\r\n");
    for (const char* reply : {"+OK\r\n", "+OK\r\n", "+OK 3 300\r\n"}) {
      read(peer, 1);
      peer.Send(reply);
    }
    read(peer, 1);
    peer.Send("+OK\r\n1 a\r\n2 b\r\n3 c\r\n.\r\n");
    read(peer, 1);
    std::string list = "+OK\r\n";
    for (const auto& [n, text] : messages)
      list += std::to_string(n) + " " + std::to_string(text.size()) + "\r\n";
    peer.Send(list + ".\r\n");
    read(peer, 3);
    for (const auto& [n, text] : messages) peer.Send("+OK\r\n" + text + ".\r\n");
    read(peer, 3);
    peer.Send("+OK\r\n+OK\r\n+OK\r\n");
    read(peer, 1);
    peer.Send("+OK bye\r\n");
  });
  user_.PopPort = server.Port();
  options_.tls = TlsMode::kNone;
  options_.read_timeout_ms = 5000;
  TIdPOP3 client;
  EXPECT_TRUE(FetchUserMail(user_, options_, client, reporter_).Ok());
  EXPECT_EQ(received, (Commands{"CAPA", "USER ann", "PASS pw", "STAT", "UIDL", "LIST", "RETR 1",
                                "RETR 2", "RETR 3", "DELE 1", "DELE 2", "DELE 3", "QUIT"}));
  EXPECT_EQ(Subjects(), (Commands{"Scripted 1", "Scripted 2", "Scripted 3"}));
}

// A server that offers pipelining and then answers out of step, with four messages in
// one window: whatever it does, no message is stored twice, and none is deleted before
// the saved index lists it.
TEST_F(ScriptedFetch, PipelinedAnswersOutOfStepLeaveTheMailboxConsistent) {
  struct Case {
    const char* server;
    std::function<void(MailboxScript&)> misbehave;
    Commands subjects;
    std::string event;  // the start of the first event
  };
  const std::vector<Case> cases = {
      {"-ERR in the middle of the window",
       [](MailboxScript& s) { s.refused = {2}; },
       {"Scripted 1", "Scripted 3", "Scripted 4"},
       "failed 2: -ERR message 2 is locked"},
      {"an answer without its end line, running into the next",
       [](MailboxScript& s) { s.runs_on = 2; },
       {"Scripted 1", "Scripted 2", "Scripted 3", "Scripted 4"},
       "ended: the answer to RETR 2 was 72 bytes where LIST said 45: the Pop Server's answers "
       "to pipelined commands are out of step."},
      {"a status line that is none",
       [](MailboxScript& s) { s.garbled = 2; },
       {"Scripted 1", "Scripted 3", "Scripted 4"},
       "failed 2: Unrecognized POP3 Response Header:\n\"+YES here it comes\""},
      {"the connection closed in the middle of the window",
       [](MailboxScript& s) { s.broken = 2; },
       {"Scripted 1", "Scripted 3", "Scripted 4"},
       "failed 2: "},
      {"an answer that trickles",
       [](MailboxScript& s) { s.trickle = 2; },
       {"Scripted 1", "Scripted 3", "Scripted 4"},
       "failed 2: The message did not arrive whole within 1 s"},
      {"-ERR to everything (the session ends with a RETR still unanswered)",
       [](MailboxScript& s) { s.refuse_all = true; },
       {},
       "failed 1: -ERR message 1 is locked"},
  };
  options_.message_time_floor = std::chrono::milliseconds(1000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    fs::remove_all(root_ / "Ann");
    fs::create_directories(root_ / "Ann");
    MailboxScript script;
    script.pipelining = script.has_list = true;
    for (int n = 1; n <= 4; ++n) script.messages[n] = Message(n, "");
    c.misbehave(script);
    Commands early_deletes;
    script.on_dele = [&](int n) {
      const Commands saved = Subjects();
      if (std::find(saved.begin(), saved.end(), "Scripted " + std::to_string(n)) == saved.end()) {
        early_deletes.push_back("DELE " + std::to_string(n));
      }
    };
    Fetch(script);
    Commands subjects = Subjects();
    std::sort(subjects.begin(), subjects.end());
    EXPECT_EQ(subjects, c.subjects);
    EXPECT_EQ(early_deletes, Commands{});
    ASSERT_FALSE(reporter_.events.empty());
    EXPECT_EQ(reporter_.events[0].substr(0, c.event.size()), c.event);
  }
}

TEST_F(ScriptedFetch, AStopRequestClosesAStalledConnectionAtOnce) {
  std::atomic<bool> stop{false};
  options_.stop = &stop;
  options_.read_timeout_ms = 600000;
  MailboxScript script;
  script.messages = {{1, Message(1, "")}};
  script.stall = 1;
  std::thread stopper([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
  });
  ScriptedServer server([&script](ScriptedPeer& peer) { script(peer); });
  user_.PopPort = server.Port();
  options_.tls = TlsMode::kNone;
  TIdPOP3 client;
  const FetchResult result = FetchUserMail(user_, options_, client, reporter_);
  stopper.join();
  EXPECT_TRUE(result.stopped);
  EXPECT_EQ(reporter_.events, Commands{"stopped"});
}

}  // namespace
}  // namespace kestrune::testing
