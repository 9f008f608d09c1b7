#include "mail/line_connection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "mail/scripted_server.h"
#include "mail/socket_error.h"

namespace kestrune {
namespace {

using testing::ScriptedPeer;
using testing::ScriptedServer;

TEST(LineConnection, ReadsLinesEndedByCrLfOrLfAcrossPackets) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Send("first\r\nsec");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    peer.Send("ond\r\nbare\n\r\nlast");
    peer.Send("\r\n");
    EXPECT_EQ(peer.ReadLine(), "QUIT");
  });
  LineConnection connection;
  connection.Connect("127.0.0.1", server.Port(), 5000);
  EXPECT_EQ(connection.ReadLine(), "first");
  EXPECT_EQ(connection.ReadLine(), "second");
  EXPECT_EQ(connection.ReadLine(), "bare");
  EXPECT_EQ(connection.ReadLine(), "");
  EXPECT_EQ(connection.ReadLine(), "last");
  connection.WriteLine("QUIT");
}

TEST(LineConnection, LineAtTheLimitPassesAndALongerOneIsAnErrorThatCloses) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Send("0123456789\r\n0123456789A\r\n");
    peer.ReadLine();
  });
  LineConnection connection;
  connection.SetMaxLineLength(10);
  connection.Connect("127.0.0.1", server.Port(), 5000);
  EXPECT_EQ(connection.ReadLine(), "0123456789");
  try {
    connection.ReadLine();
    FAIL() << "over-long line accepted";
  } catch (const TransportError& e) {
    EXPECT_STREQ(e.what(), "Received a line longer than 10 characters.");
  }
  EXPECT_FALSE(connection.Connected());
}

TEST(LineConnection, LinesAlreadyReadDoNotCountTowardsTheLimitOfTheNext) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Send("ab\r\ncd\r\n01234");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    peer.Send("56789\r\nxy\r\n");
    peer.ReadLine();
  });
  LineConnection connection;
  connection.SetMaxLineLength(10);
  connection.Connect("127.0.0.1", server.Port(), 5000);
  EXPECT_EQ(connection.ReadLine(), "ab");
  EXPECT_EQ(connection.ReadLine(), "cd");
  EXPECT_EQ(connection.ReadLine(), "0123456789");
  EXPECT_EQ(connection.ReadLine(), "xy");
}

TEST(LineConnection, EndlessLineWithoutBreakIsRefusedWithoutWaitingForTheEnd) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Send(std::string(100000, 'x'));
    peer.ReadLine();
  });
  LineConnection connection;
  connection.SetMaxLineLength(16384);
  connection.SetReadTimeout(5000);
  connection.Connect("127.0.0.1", server.Port(), 5000);
  const auto start = std::chrono::steady_clock::now();
  try {
    connection.ReadLine();
    FAIL() << "endless line accepted";
  } catch (const ReadTimeout&) {
    FAIL() << "the line limit did not stop the read; the time-out did";
  } catch (const TransportError& e) {
    EXPECT_STREQ(e.what(), "Received a line longer than 16384 characters.");
  }
  EXPECT_FALSE(connection.Connected());
}

TEST(LineConnection, SilentServerGivesReadTimeout) {
  ScriptedServer server([](ScriptedPeer& peer) { peer.ReadLine(); });
  LineConnection connection;
  connection.SetReadTimeout(200);
  connection.Connect("127.0.0.1", server.Port(), 5000);
  const auto start = std::chrono::steady_clock::now();
  try {
    connection.ReadLine();
    FAIL() << "no time-out";
  } catch (const ReadTimeout& e) {
    EXPECT_STREQ(e.what(), "Read Timeout");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(connection.Connected());
}

TEST(LineConnection, ServerClosingIsConnectionClosedAndResetIsError10054) {
  {
    ScriptedServer server([](ScriptedPeer& peer) { peer.Send("partial line"); });
    LineConnection connection;
    connection.Connect("127.0.0.1", server.Port(), 5000);
    EXPECT_THROW(connection.ReadLine(), ConnectionClosed);
  }
  {
    ScriptedServer server([](ScriptedPeer& peer) {
      peer.ReadLine();
      peer.Reset();
    });
    LineConnection connection;
    connection.Connect("127.0.0.1", server.Port(), 5000);
    connection.WriteLine("HELLO");
    try {
      connection.ReadLine();
      FAIL() << "reset not reported";
    } catch (const SocketError& e) {
      EXPECT_EQ(e.Code(), kWsaConnectionReset);
      EXPECT_STREQ(e.what(), "Socket Error # 10054\nConnection reset by peer.");
    }
  }
}

TEST(LineConnection, RefusedConnectKeepsThePlatformError) {
  int port = 0;
  {
    ScriptedServer unused([](ScriptedPeer&) {});
    port = unused.Port();
  }
  LineConnection connection;
  try {
    connection.Connect("127.0.0.1", port, 5000);
    FAIL() << "connected to a closed port";
  } catch (const SocketError& e) {
    EXPECT_STREQ(e.what(), "Socket Error # 111\nConnection refused");
  }
  EXPECT_FALSE(connection.Connected());
}

// A listener that never accepts and whose queue is full drops further SYNs, so a
// connect to it hangs until the caller's time-out.
TEST(LineConnection, ConnectTimeOutIsError10060) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    fillers.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  LineConnection connection;
  try {
    connection.Connect("127.0.0.1", ntohs(address.sin_port), 300);
    ADD_FAILURE() << "connected past a full queue";
  } catch (const SocketError& e) {
    EXPECT_STREQ(e.what(), "Socket Error # 10060\nConnection timed out.");
  }
  EXPECT_FALSE(connection.Connected());
  for (const int fd : fillers) ::close(fd);
  ::close(listener);
}

TEST(TlsModeFromSetting, MapsTheSettingAndReadsUnknownValuesAsRequired) {
  EXPECT_EQ(TlsModeFromSetting(0), TlsMode::kNone);
  EXPECT_EQ(TlsModeFromSetting(1), TlsMode::kAuto);
  EXPECT_EQ(TlsModeFromSetting(2), TlsMode::kRequired);
  EXPECT_EQ(TlsModeFromSetting(3), TlsMode::kRequired);
  EXPECT_EQ(TlsModeFromSetting(-1), TlsMode::kRequired);
}

TEST(LineConnection, RefusesToSendALineThatWouldSmuggleAnotherCommand) {
  ScriptedServer server([](ScriptedPeer& peer) { EXPECT_EQ(peer.ReadLine(), "NOOP"); });
  LineConnection connection;
  connection.Connect("127.0.0.1", server.Port(), 5000);
  EXPECT_THROW(connection.WriteLine("USER a\r\nDELE 1"), TransportError);
  EXPECT_THROW(connection.WriteLine("USER a\nb"), TransportError);
  EXPECT_THROW(connection.WriteLine(std::string_view("USER a\0b", 8)), TransportError);
  connection.WriteLine("NOOP");
}

}  // namespace
}  // namespace kestrune
