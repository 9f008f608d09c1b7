// TIdSMTP against a scripted server: the exact command transcript of a send with AUTH
// LOGIN, the collection of announced mechanisms, and failures mid-conversation.
#include "mail/id_smtp.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "mail/id_message.h"
#include "mail/scripted_server.h"
#include "mail/socket_error.h"

namespace kestrune {
namespace {

using testing::ScriptedPeer;
using testing::ScriptedServer;

void Configure(TIdSMTP& smtp, const ScriptedServer& server) {
  smtp.Host = "127.0.0.1";
  smtp.Port = server.Port();
  smtp.HeloName = "client.test";
  smtp.ReadTimeoutMs = 5000;
  smtp.AuthenticationType = TIdSMTPAuthenticationType::atLogin;
  smtp.Username = "user";
  smtp.Password = "pass word";
}

void Greet(ScriptedPeer& peer, std::string_view ehlo_reply) {
  peer.Send("220 smtp.test ESMTP\r\n");
  EXPECT_EQ(peer.ReadLine(), "EHLO client.test");
  peer.Send(ehlo_reply);
}

TEST(TIdSMTP, SendFollowsTheCommandSequenceWithAuthLoginAndDotStuffing) {
  std::vector<std::string> data_lines;
  ScriptedServer server([&data_lines](ScriptedPeer& peer) {
    Greet(peer, "250-smtp.test\r\n250-AUTH LOGIN PLAIN\r\n250-auth=login\r\n250 AUTH CRAM-MD5\r\n");
    EXPECT_EQ(peer.ReadLine(), "RSET");
    peer.Send("250 flushed\r\n");
    EXPECT_EQ(peer.ReadLine(), "AUTH LOGIN");
    peer.Send("334 VXNlcm5hbWU6\r\n");
    EXPECT_EQ(peer.ReadLine(), "dXNlcg==");
    peer.Send("334 UGFzc3dvcmQ6\r\n");
    EXPECT_EQ(peer.ReadLine(), "cGFzcyB3b3Jk");
    peer.Send("235 ok\r\n");
    EXPECT_EQ(peer.ReadLine(), "MAIL FROM:<me@test>");
    peer.Send("250 ok\r\n");
    EXPECT_EQ(peer.ReadLine(), "RCPT TO:<a@test>");
    peer.Send("250 ok\r\n");
    EXPECT_EQ(peer.ReadLine(), "RCPT TO:<b@test>");
    peer.Send("251 will forward\r\n");
    EXPECT_EQ(peer.ReadLine(), "RCPT TO:<c@test>");
    peer.Send("250 ok\r\n");
    EXPECT_EQ(peer.ReadLine(), "DATA");
    peer.Send("354 go ahead\r\n");
    data_lines = peer.ReadUntil(".");
    peer.Send("250 queued\r\n");
    EXPECT_EQ(peer.ReadLine(), "QUIT");
  });
  TIdSMTP smtp;
  Configure(smtp, server);
  smtp.Connect(5000);
  EXPECT_EQ(smtp.AuthMechanisms(), (std::vector<std::string>{"LOGIN", "PLAIN", "CRAM-MD5"}));

  TIdMessage message;
  message.NoEncode = true;
  message.From.Address = "me@test";
  message.Recipients.Add({"", "a@test; b@test;"});  // a typed list left in one item
  message.BccList.Add({"", "c@test"});
  message.Headers.Add("Subject", "s");
  message.Headers.Add("Bcc", "c@test");
  message.Body = {".", "..x", "y"};
  smtp.Send(message);
  smtp.Disconnect();
  EXPECT_EQ(data_lines, (std::vector<std::string>{"Subject: s", "", "..", "...x", "y"}));
}

TEST(TIdSMTP, GreetingOtherThan220FailsTheConnectWithTheReplyText) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Send("554-smtp.test\r\n554 No service for you\r\n");
    peer.ReadLine();
  });
  TIdSMTP smtp;
  Configure(smtp, server);
  try {
    smtp.Connect(5000);
    FAIL();
  } catch (const ProtocolError& e) {
    EXPECT_EQ(e.ReplyCode(), 554);
    EXPECT_STREQ(e.what(), "smtp.test\nNo service for you");
  }
  EXPECT_FALSE(smtp.Connected());
}

TEST(TIdSMTP, ServerClosingBeforeAcceptingTheDataIsAnError) {
  ScriptedServer server([](ScriptedPeer& peer) {
    Greet(peer, "250 smtp.test\r\n");
    EXPECT_EQ(peer.ReadLine(), "RSET");
    peer.Send("250 ok\r\n");
    EXPECT_EQ(peer.ReadLine(), "MAIL FROM:<me@test>");
    peer.Send("250 ok\r\n");
    EXPECT_EQ(peer.ReadLine(), "RCPT TO:<a@test>");
    peer.Send("250 ok\r\n");
    EXPECT_EQ(peer.ReadLine(), "DATA");
    peer.Send("354 go ahead\r\n");
    peer.ReadUntil(".");
  });
  TIdSMTP smtp;
  Configure(smtp, server);
  smtp.Connect(5000);
  EXPECT_TRUE(smtp.AuthMechanisms().empty());
  TIdMessage message;
  message.NoEncode = true;
  message.From.Address = "me@test";
  message.Recipients.Add({"", "a@test"});
  message.Body = {"text"};
  EXPECT_THROW(smtp.Send(message), ConnectionClosed);
}

TEST(TIdSMTP, MalformedReplyIsAnErrorOfTheTransport) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Send("hello there\r\n");
    peer.ReadLine();
  });
  TIdSMTP smtp;
  Configure(smtp, server);
  try {
    smtp.Connect(5000);
    FAIL();
  } catch (const TransportError& e) {
    EXPECT_STREQ(e.what(), "Invalid SMTP reply: \"hello there\"");
  }
}

TEST(TIdSMTP, ReplyThatNeverEndsIsRefusedAtItsLineLimit) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Send("220 smtp.test ESMTP\r\n");
    peer.ReadLine();
    std::string block;
    for (int i = 0; i < 1000; ++i) block += "250-PIPELINING\r\n";
    for (int n = 0; n < 200; ++n) peer.Send(block);  // until the client hangs up
  });
  TIdSMTP smtp;
  Configure(smtp, server);
  try {
    smtp.Connect(5000);
    FAIL() << "an endless reply was accepted";
  } catch (const ProtocolError&) {
    FAIL() << "wrong error kind";
  } catch (const TransportError& e) {
    EXPECT_STREQ(e.what(), "SMTP reply longer than 1000 lines.");
  }
  EXPECT_FALSE(smtp.Connected());
}

// An address that could smuggle a command is refused before the client sends anything
// for the message: the next line the server sees is the QUIT of the disconnect.
TEST(TIdSMTP, UnsafeAddressIsRefusedBeforeAnyCommandOfTheSend) {
  ScriptedServer server([](ScriptedPeer& peer) {
    Greet(peer, "250-smtp.test\r\n250 AUTH LOGIN\r\n");
    EXPECT_EQ(peer.ReadLine(), "QUIT");
    peer.Send("221 bye\r\n");
  });
  TIdSMTP smtp;
  Configure(smtp, server);
  smtp.Connect(5000);
  TIdMessage message;
  message.From.Address = "me@test";
  message.Recipients.Add({"", "a@test"});
  message.BccList.Add({"", "x@test>\r\nRCPT TO:<victim@test"});
  EXPECT_THROW(smtp.Send(message), TransportError);
  EXPECT_TRUE(smtp.Connected());
  smtp.Disconnect();
}

// A client that stops in the middle of the data must fail the test, not hang the script.
TEST(ScriptedPeer, ReadUntilStopsAtTheEndOfTheStream) {
  std::vector<std::string> lines;
  bool closed = false;
  {
    ScriptedServer server([&](ScriptedPeer& peer) {
      peer.Send("go\r\n");
      EXPECT_NONFATAL_FAILURE(lines = peer.ReadUntil("."),
                              "the client closed the connection before sending \".\"");
      closed = peer.Closed();
    });
    LineConnection connection;
    connection.Connect("127.0.0.1", server.Port(), 5000);
    EXPECT_EQ(connection.ReadLine(), "go");  // the script runs
    connection.WriteLine("one");
    connection.WriteLine("two");
    connection.Close();
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));
  EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace kestrune
