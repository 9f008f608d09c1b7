// TIdPOP3 against scripted servers: the reply forms real servers rarely produce
// (unrecognised greetings, odd STAT texts, a connection dropped mid-message).
#include "mail/id_pop3.h"

#include <gtest/gtest.h>

#include "mail/id_message.h"
#include "mail/scripted_server.h"
#include "mail/socket_error.h"

namespace kestrune {
namespace {

using testing::ScriptedPeer;
using testing::ScriptedServer;

// Greets, refuses CAPA, and accepts USER and PASS, checking the exact commands.
void LogInScript(ScriptedPeer& peer) {
  peer.Send("+OK ready\r\n");
  EXPECT_EQ(peer.ReadLine(), "CAPA");
  peer.Send("-ERR unknown command\r\n");
  EXPECT_EQ(peer.ReadLine(), "USER joe");
  peer.Send("+ok\r\n");
  EXPECT_EQ(peer.ReadLine(), "PASS s3cret");
  peer.Send("+OK logged in\r\n");
}

void Configure(TIdPOP3& pop, const ScriptedServer& server) {
  pop.Host = "127.0.0.1";
  pop.Port = server.Port();
  pop.Username = "joe";
  pop.Password = "s3cret";
  pop.ReadTimeoutMs = 5000;
}

TEST(TIdPOP3, GreetingThatIsNeitherOkNorErrFailsWithTheUnrecognisedReplyText) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Send("* OK [CAPABILITY IMAP4rev1] ready\r\n");
    peer.ReadLine();
  });
  TIdPOP3 pop;
  Configure(pop, server);
  try {
    pop.Connect(5000);
    FAIL() << "IMAP greeting accepted";
  } catch (const ProtocolError&) {
    FAIL() << "wrong error kind";
  } catch (const TransportError& e) {
    EXPECT_STREQ(e.what(),
                 "Unrecognized POP3 Response Header:\n\"* OK [CAPABILITY IMAP4rev1] ready\"");
  }
  EXPECT_FALSE(pop.Connected());
}

TEST(TIdPOP3, ErrGreetingIsAProtocolErrorWithTheServersText) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Send("-ERR too many connections\r\n");
    peer.ReadLine();
  });
  TIdPOP3 pop;
  Configure(pop, server);
  try {
    pop.Connect(5000);
    FAIL();
  } catch (const ProtocolError& e) {
    EXPECT_STREQ(e.what(), "too many connections");
  }
  EXPECT_FALSE(pop.Connected());
}

TEST(TIdPOP3, StatCountIsTheTextUpToItsFirstBlank) {
  ScriptedServer server([](ScriptedPeer& peer) {
    LogInScript(peer);
    for (const char* reply : {"+OK 0 0", "+OK 3 12345", "+OK", "+OK x 1"}) {
      EXPECT_EQ(peer.ReadLine(), "STAT");
      peer.Send(std::string(reply) + "\r\n");
    }
    EXPECT_EQ(peer.ReadLine(), "QUIT");
    peer.Send("+OK bye\r\n");
  });
  TIdPOP3 pop;
  Configure(pop, server);
  pop.Connect(5000);
  EXPECT_EQ(pop.CheckMessages(), 0);
  EXPECT_EQ(pop.CheckMessages(), 3);
  EXPECT_EQ(pop.CheckMessages(), 0);
  EXPECT_THROW(pop.CheckMessages(), TransportError);
  pop.Disconnect();
}

TEST(TIdPOP3, ConnectionDroppedInTheMiddleOfAMessageIsAnErrorNotAShortMessage) {
  ScriptedServer server([](ScriptedPeer& peer) {
    LogInScript(peer);
    EXPECT_EQ(peer.ReadLine(), "RETR 1");
    peer.Send("+OK 100 octets\r\nSubject: cut\r\n\r\nfirst half\r\n");
  });
  TIdPOP3 pop;
  Configure(pop, server);
  pop.Connect(5000);
  TIdMessage message;
  EXPECT_THROW(pop.Retrieve(1, message), ConnectionClosed);
}

TEST(TIdPOP3, StlsOfferedInCapaIsTakenAndItsRefusalFailsTheConnect) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Send("+OK ready\r\n");
    EXPECT_EQ(peer.ReadLine(), "CAPA");
    peer.Send("+OK\r\nTOP\r\nSTLS\r\nUSER\r\n.\r\n");
    EXPECT_EQ(peer.ReadLine(), "STLS");
    peer.Send("-ERR TLS not available now\r\n");
    peer.ReadLine();
  });
  TIdPOP3 pop;
  Configure(pop, server);
  try {
    pop.Connect(5000);
    FAIL() << "went on in plain text after offering STLS";
  } catch (const ProtocolError& e) {
    EXPECT_STREQ(e.what(), "TLS not available now");
  }
  EXPECT_FALSE(pop.Connected());
}

TEST(TIdPOP3, CapaListThatNeverEndsIsRefusedAtItsLineLimit) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Send("+OK ready\r\n");
    EXPECT_EQ(peer.ReadLine(), "CAPA");
    peer.Send("+OK capabilities\r\n");
    std::string block;
    for (int i = 0; i < 1000; ++i) block += "UIDL\r\n";
    for (int n = 0; n < 200; ++n) peer.Send(block);  // until the client hangs up
  });
  TIdPOP3 pop;
  Configure(pop, server);
  try {
    pop.Connect(5000);
    FAIL() << "an endless reply was accepted";
  } catch (const ProtocolError&) {
    FAIL() << "wrong error kind";
  } catch (const TransportError& e) {
    EXPECT_STREQ(e.what(), "POP3 reply longer than 1000 lines.");
  }
  EXPECT_FALSE(pop.Connected());
}

}  // namespace
}  // namespace kestrune
