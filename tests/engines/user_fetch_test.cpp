// The fetch of one mailbox against scripted POP3 servers, for the server behaviours
// Dovecot does not show: no TOP, no UIDL, a clean "-ERR" to one RETR, and a connection
// that breaks inside a message.
#include "engines/user_fetch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>

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
  std::set<int> refused;  // RETR answered with -ERR
  int broken = 0;         // RETR of this number sends half a message and closes
  std::vector<std::string> commands;

  void operator()(ScriptedPeer& peer) {
    peer.Send("+OK scripted\r\n");
    for (;;) {
      const std::string line = peer.ReadLine();
      if (peer.Closed()) return;
      commands.push_back(line);
      const std::size_t blank = line.find(' ');
      const std::string verb = line.substr(0, blank);
      const int n = blank == std::string::npos ? 0 : std::atoi(line.c_str() + blank + 1);
      if (verb == "USER" || verb == "PASS" || verb == "DELE") {
        peer.Send("+OK\r\n");
      } else if (verb == "STAT") {
        peer.Send("+OK " + std::to_string(messages.size()) + " 1000\r\n");
      } else if (verb == "UIDL" && has_uidl) {
        peer.Send("+OK\r\n");
        for (const auto& [number, text] : messages) {
          peer.Send(std::to_string(number) + " uid-" + std::to_string(number) + "\r\n");
        }
        peer.Send(".\r\n");
      } else if (verb == "TOP" && has_top) {
        const std::string& text = messages.at(n);
        peer.Send("+OK\r\n" + text.substr(0, text.find("\r\n\r\n") + 2) + ".\r\n");
      } else if (verb == "RETR" && refused.contains(n)) {
        peer.Send("-ERR message " + std::to_string(n) + " is locked\r\n");
      } else if (verb == "RETR" && n == broken) {
        peer.Send("+OK\r\n" + messages.at(n).substr(0, 20));
        return;  // the connection breaks inside the message
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
    FetchOptions options;
    options.tls = TlsMode::kNone;
    options.read_timeout_ms = 5000;
    TIdPOP3 client;
    struct : FetchReporter {
    } reporter;
    return FetchUserMail(user_, options, client, reporter);
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
  EXPECT_EQ(second.commands, (Commands{"USER ann", "PASS pw", "STAT", "UIDL", "TOP 1 0", "RETR 1",
                                       "RETR 2", "QUIT"}));
}

TEST_F(ScriptedFetch, ACleanErrToOneRetrieveIsThatMessagesErrorOnly) {
  MailboxScript script;
  script.messages = {{1, Message(1, "")}, {2, Message(2, "")}, {3, Message(3, "")}};
  script.refused = {2};
  const FetchResult result = Fetch(script);
  EXPECT_EQ(result.failed, 1);
  EXPECT_FALSE(result.error);
  EXPECT_EQ(Subjects(), (Commands{"Scripted 1", "Scripted 3"}));
  EXPECT_EQ(script.commands, (Commands{"USER ann", "PASS pw", "STAT", "UIDL", "RETR 1", "DELE 1",
                                       "RETR 2", "RETR 3", "DELE 3", "QUIT"}));
}

TEST_F(ScriptedFetch, AConnectionBrokenInsideAMessageEndsWithoutQuitAndKeepsWhatWasStored) {
  MailboxScript script;
  script.messages = {{1, Message(1, "")}, {2, Message(2, "")}, {3, Message(3, "")}};
  script.broken = 2;
  const FetchResult result = Fetch(script);
  EXPECT_EQ(result.error.kind, MailErrorKind::kConnectionClosed);
  EXPECT_EQ(result.stored, 1);
  EXPECT_EQ(Subjects(), Commands{"Scripted 1"});
  EXPECT_EQ(script.commands,
            (Commands{"USER ann", "PASS pw", "STAT", "UIDL", "RETR 1", "DELE 1", "RETR 2"}));

  // The next session recognises message 1 by its UIDL: deleted, not stored again.
  MailboxScript next;
  next.messages = script.messages;
  EXPECT_TRUE(Fetch(next).Ok());
  EXPECT_EQ(Subjects(), (Commands{"Scripted 1", "Scripted 2", "Scripted 3"}));
  EXPECT_EQ(next.commands, (Commands{"USER ann", "PASS pw", "STAT", "UIDL", "DELE 1", "RETR 2",
                                     "DELE 2", "RETR 3", "DELE 3", "QUIT"}));
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

}  // namespace
}  // namespace kestrune::testing
