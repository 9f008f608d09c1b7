// The mail clients against servers that misbehave on purpose: an SMTP server that never
// answers, a POP3 server whose message has a 1 MB line, and waits that a stop request
// must end at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "mail/id_message.h"
#include "mail/id_pop3.h"
#include "mail/id_smtp.h"
#include "mail/scripted_server.h"
#include "mail/socket_error.h"

namespace kestrune {
namespace {

using testing::ScriptedPeer;
using testing::ScriptedServer;

// Greets, then reads commands without ever answering, until the client goes.
void SilentAfterGreeting(ScriptedPeer& peer) {
  peer.Send("220 silent.test ESMTP\r\n");
  while (!peer.Closed()) peer.ReadLine();
}

TEST(HostileSmtpServer, AServerThatNeverAnswersIsGivenUpAfterTheReplyTimeOut) {
  ScriptedServer server(SilentAfterGreeting);
  TIdSMTP smtp;
  smtp.Host = "127.0.0.1";
  smtp.Port = server.Port();
  smtp.UseTls = TlsMode::kNone;
  smtp.ReadTimeoutMs = 0;  // as the send runs set it: no limit between two bytes
  smtp.ReplyTimeoutMs = 1000;
  EXPECT_THROW(smtp.Connect(5000), DeadlinePassed);
  EXPECT_FALSE(smtp.Connected());
}

TEST(HostileSmtpServer, TheRepliesWaitFiveMinutesAndTheEndOfDataTenByDefault) {
  const TIdSMTP smtp;
  EXPECT_EQ(smtp.ReplyTimeoutMs, 5 * 60 * 1000);
  EXPECT_EQ(smtp.DataEndTimeoutMs, 10 * 60 * 1000);
}

TEST(HostileSmtpServer, AStopRequestClosesTheConnectionOfAServerThatNeverAnswers) {
  ScriptedServer server(SilentAfterGreeting);
  std::atomic<bool> stop{false};
  TIdSMTP smtp;
  smtp.Host = "127.0.0.1";
  smtp.Port = server.Port();
  smtp.UseTls = TlsMode::kNone;
  smtp.ReadTimeoutMs = 0;
  smtp.ReplyTimeoutMs = 0;  // nothing but the stop request can end the wait
  smtp.StopFlag = &stop;
  std::thread stopper([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop = true;
  });
  EXPECT_THROW(smtp.Connect(5000), StopRequested);
  stopper.join();
  EXPECT_FALSE(smtp.Connected());
}

TEST(HostilePop3Server, ANewsletterWithAOneMegabyteLineIsRetrievedWhileStatusLinesKeepTheirLimit) {
  const std::string long_line(1024 * 1024, 'w');
  ScriptedServer server([&long_line](ScriptedPeer& peer) {
    peer.Send("+OK ready\r\n");
    EXPECT_EQ(peer.ReadLine(), "CAPA");
    peer.Send("-ERR unknown command\r\n");
    EXPECT_EQ(peer.ReadLine(), "USER u");
    peer.Send("+OK\r\n");
    EXPECT_EQ(peer.ReadLine(), "PASS p");
    peer.Send("+OK\r\n");
    EXPECT_EQ(peer.ReadLine(), "RETR 1");
    peer.Send("+OK\r\nSubject: news\r\n\r\n" + long_line + "\r\n.\r\n");
    EXPECT_EQ(peer.ReadLine(), "STAT");
    peer.Send("+OK " + std::string(20000, '1') + "\r\n");
    peer.ReadLine();
  });
  TIdPOP3 pop;
  pop.Host = "127.0.0.1";
  pop.Port = server.Port();
  pop.Username = "u";
  pop.Password = "p";
  pop.UseTls = TlsMode::kNone;
  pop.Connect(5000);
  TIdMessage message;
  message.NoDecode = true;
  ASSERT_TRUE(pop.Retrieve(1, message));
  ASSERT_EQ(message.Body.size(), 1u);
  EXPECT_EQ(message.Body[0], long_line);
  EXPECT_THROW(pop.CheckMessages(), LineTooLong);
}

}  // namespace
}  // namespace kestrune
