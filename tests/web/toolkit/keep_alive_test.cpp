// Kept-alive connections and installed files as a browser meets them: several requests
// on one connection, pipelining, the idle time-out and the request cap, limits on each
// request, revalidation (304), files answered while every page worker is busy, and TLS
// session resumption.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "listener_fixture.h"
#include "socket_client.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/standalone_server.h"

namespace kestrune::testing {
namespace {

class KeepAliveTest : public ::testing::Test {
 protected:
  KeepAliveTest() : controller_(MakeController(home_.path())) {
    controller_.Port = 0;
    controller_.BoundIP = "127.0.0.1";
    controller_.WorkerThreads = 2;
    controller_.KeepAliveSeconds = 1;
    WriteFile(home_.path() / "Files" / "a.txt", "hello");
    WriteFile(home_.path() / "Files" / "b.txt", "world!");
  }
  TempDir home_;
  TIWServerController controller_;
};

std::string Get(std::string_view path, std::string_view extra = "") {
  return "GET " + std::string(path) + " HTTP/1.1\r\nHost: x\r\n" + std::string(extra) + "\r\n";
}

// The whole answers at the start of what a connection received, in order.
std::vector<std::string> Answers(std::string_view wire) {
  std::vector<std::string> answers;
  while (const std::size_t length = WholeAnswerLength(wire)) {
    answers.emplace_back(wire.substr(0, length));
    wire.remove_prefix(length);
  }
  return answers;
}

std::string BodyOf(std::string_view answer) {
  const auto end = answer.find("\r\n\r\n");
  return end == std::string_view::npos ? std::string() : std::string(answer.substr(end + 4));
}

std::string HeaderOf(std::string_view answer, std::string_view name) {
  const std::string lower = AsciiLower(answer);
  const auto at = lower.find("\r\n" + AsciiLower(name) + ": ");
  if (at == std::string::npos) return {};
  const auto start = at + name.size() + 4;
  return std::string(answer.substr(start, answer.find("\r\n", start) - start));
}

TEST_F(KeepAliveTest, BrowserFetchesTwoFilesOverOneConnectionThenIdleCloses) {
  TIWStandAloneServer server(controller_);
  server.Start();
  const int fd = Connect(server.HttpPort());
  ASSERT_GE(fd, 0);
  SendAll(fd, Get("/files/a.txt"));
  const std::string first = ReadAll(fd);
  SendAll(fd, Get("/files/b.txt"));
  const std::string second = ReadAll(fd);
  EXPECT_EQ(BodyOf(first), "hello") << first;
  EXPECT_EQ(HeaderOf(first, "Connection"), "") << first;
  EXPECT_EQ(BodyOf(second), "world!") << second;
  EXPECT_TRUE(ClosedByServer(fd, 10));  // the idle time-out
  close(fd);
}

TEST_F(KeepAliveTest, PipelinedRequestsAreAnsweredInOrderUpToTheRequestCap) {
  controller_.MaxRequestsPerConnection = 3;
  TIWStandAloneServer server(controller_);
  server.Start();
  const int fd = Connect(server.HttpPort());
  SendAll(fd,
          Get("/files/a.txt") + Get("/files/b.txt") + Get("/files/a.txt") + Get("/files/b.txt"));
  std::string wire;
  EXPECT_TRUE(ClosedByServer(fd, 10, &wire));
  close(fd);
  const auto answers = Answers(wire);
  ASSERT_EQ(answers.size(), 3u) << wire;
  EXPECT_EQ(BodyOf(answers[0]), "hello");
  EXPECT_EQ(BodyOf(answers[1]), "world!");
  EXPECT_EQ(BodyOf(answers[2]), "hello");
  EXPECT_EQ(HeaderOf(answers[2], "Connection"), "close");
}

// A header that trickles in over a slow link, on the first request and on a kept-alive one.
TEST_F(KeepAliveTest, HeaderArrivingInPiecesIsAnswered) {
  TIWStandAloneServer server(controller_);
  server.Start();
  const int fd = Connect(server.HttpPort());
  ASSERT_GE(fd, 0);
  for (const auto& [path, body] :
       {std::pair{"/files/a.txt", "hello"}, {"/files/b.txt", "world!"}}) {
    const std::string request = Get(path);
    for (std::size_t at = 0; at < request.size(); at += 7) {
      SendAll(fd, std::string_view(request).substr(at, 7));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(BodyOf(ReadAll(fd)), body) << path;
  }
  close(fd);
}

// Big answers pipelined to a client that reads only later: more than the socket takes at
// once, so each answer's rest is awaited; every byte arrives, in order.
TEST_F(KeepAliveTest, BigFilesPipelinedToAClientThatReadsLateArriveWhole) {
  controller_.MaxRequestsPerConnection = 3;
  std::string big(200 * 1024, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
  WriteFile(home_.path() / "Files" / "big.txt", big);
  TIWStandAloneServer server(controller_);
  server.Start();
  const int fd = Connect(server.HttpPort());
  ASSERT_GE(fd, 0);
  SendAll(fd, Get("/files/big.txt") + Get("/files/a.txt") + Get("/files/big.txt"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string wire;
  EXPECT_TRUE(ClosedByServer(fd, 10, &wire));
  close(fd);
  const auto answers = Answers(wire);
  ASSERT_EQ(answers.size(), 3u) << wire.size();
  EXPECT_TRUE(BodyOf(answers[0]) == big);
  EXPECT_EQ(BodyOf(answers[1]), "hello");
  EXPECT_TRUE(BodyOf(answers[2]) == big);
}

// Each of these ends the connection after one answer; the request sent behind it is
// never read (a refused request's unread body must not be taken for a request).
TEST_F(KeepAliveTest, AnswersThatEndTheConnection) {
  controller_.MaxBodyBytes = 1024;
  TIWStandAloneServer server(controller_);
  server.Start();
  const struct {
    const char* name;
    std::string request;
    const char* status;
  } cases[] = {
      {"HTTP/1.0 client", "GET /files/a.txt HTTP/1.0\r\n\r\n", "200"},
      {"client asks to close", Get("/files/a.txt", "Connection: close\r\n"), "200"},
      {"header too big", Get("/files/a.txt", "X-Pad: " + std::string(17000, 'a') + "\r\n"), "431"},
      {"body too big",
       "POST /files/a.txt HTTP/1.1\r\nHost: x\r\nContent-Length: 4096\r\n\r\n" +
           Get("/files/b.txt") + std::string(4096 - Get("/files/b.txt").size(), 'x'),
       "413"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const int fd = Connect(server.HttpPort());
    SendAll(fd, test.request + Get("/files/b.txt"));
    std::string wire;
    EXPECT_TRUE(ClosedByServer(fd, 5, &wire));
    close(fd);
    const auto answers = Answers(wire);
    ASSERT_EQ(answers.size(), 1u) << wire;
    EXPECT_TRUE(answers[0].find(std::string(" ") + test.status + " ") == 8) << answers[0];
  }
}

TEST_F(KeepAliveTest, SlowBodyOnTheSecondRequestIsDropped) {
  controller_.ReadTimeoutSeconds = 1;
  controller_.KeepAliveSeconds = 5;
  TIWStandAloneServer server(controller_);
  server.Start();
  const int fd = Connect(server.HttpPort());
  SendAll(fd, Get("/files/a.txt"));
  EXPECT_EQ(BodyOf(ReadAll(fd)), "hello");
  SendAll(fd, "POST /files/a.txt HTTP/1.1\r\nHost: x\r\nContent-Length: 20000000\r\n\r\n");
  EXPECT_TRUE(ClosedByServer(fd, 5));
  close(fd);
}

TEST_F(KeepAliveTest, RevalidatedFilesAnswer304) {
  TIWStandAloneServer server(controller_);
  server.Start();
  const struct {
    const char* path;
    const char* cache_control;
  } cases[] = {
      {"/files/a.txt", "max-age="}, {"/favicon.ico", "max-age="}, {"/filesnc/a.txt", "no-cache"}};
  for (const auto& [path, cache_control] : cases) {
    SCOPED_TRACE(path);
    const std::string first = Exchange(server.HttpPort(), Get(path));
    const std::string etag = HeaderOf(first, "ETag");
    ASSERT_FALSE(etag.empty()) << first;
    EXPECT_NE(HeaderOf(first, "Cache-Control").find(cache_control), std::string::npos) << first;
    const std::string again =
        Exchange(server.HttpPort(), Get(path, "If-None-Match: " + etag + "\r\n"));
    EXPECT_TRUE(again.starts_with("HTTP/1.1 304 ")) << again;
    EXPECT_EQ(BodyOf(again), "");
    const std::string other =
        Exchange(server.HttpPort(), Get(path, "If-None-Match: \"other\"\r\n"));
    EXPECT_TRUE(other.starts_with("HTTP/1.1 200 ")) << other;
  }
}

TEST_F(KeepAliveTest, AdministratorsEditIsServedAfterTheRecheck) {
  TIWStandAloneServer server(controller_);
  server.Start();
  EXPECT_EQ(BodyOf(Exchange(server.HttpPort(), Get("/files/a.txt"))), "hello");
  WriteFile(home_.path() / "Files" / "a.txt", "edited by hand");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(BodyOf(Exchange(server.HttpPort(), Get("/files/a.txt"))), "edited by hand");
}

// A first page whose "IWSlow" link holds its worker until the test lets it go.
std::atomic<bool> page_released{false};
std::atomic<bool> page_returned{false};

class BlockingPage : public TIWAppForm {
 public:
  BlockingPage(TIWApplication& session, std::string name, std::string class_name)
      : TIWAppForm(session, std::move(name), std::move(class_name)) {
    auto& link = AddControl<TIWLink>("IWSlow");
    link.Caption = "IWSlow";
    link.OnClick = [](TIWBaseControl&) {
      for (int i = 0; i < 500 && !page_released; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      page_returned = true;
    };
  }
};

TEST_F(KeepAliveTest, FileIsAnsweredWhileEveryPageWorkerIsBusy) {
  controller_.WorkerThreads = 1;
  controller_.MainFormClass = PageClassOf<BlockingPage>("TIWBlocking", "IWBlocking");
  TIWStandAloneServer server(controller_);
  server.Start();
  const int port = server.HttpPort();
  const std::string click = SlowClickRequest(port);
  ASSERT_FALSE(click.empty());
  std::string page_answer;
  std::thread page([&] { page_answer = Exchange(port, click); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(BodyOf(Exchange(port, Get("/files/a.txt"))), "hello");
  EXPECT_FALSE(page_returned.load());  // answered while the only worker was held
  page_released = true;
  page.join();
  EXPECT_TRUE(page_answer.starts_with("HTTP/1.1 200")) << page_answer;
}

TEST_F(KeepAliveTest, ReturningHttpsClientResumesItsTlsSession) {
  controller_.SSLOptions.Port = FreePort();
  controller_.SSLOptions.CertificatePassword = "vexo";
  TIWStandAloneServer server(controller_);
  server.Start();
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL_SESSION* saved = nullptr;
  for (int round = 0; round < 2; ++round) {
    SSL* tls = SSL_new(context);
    const int fd = Connect(server.HttpsPort());
    SSL_set_fd(tls, fd);
    if (saved != nullptr) SSL_set_session(tls, saved);
    ASSERT_EQ(SSL_connect(tls), 1);
    const std::string answer = HttpsGetRoot(tls);  // the ticket arrives with the answer
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 302")) << answer;
    if (saved == nullptr) {
      saved = SSL_get1_session(tls);
    } else {
      EXPECT_EQ(SSL_session_reused(tls), 1);
    }
    SSL_shutdown(tls);  // a session ended without close_notify is not resumed
    SSL_free(tls);
    close(fd);
  }
  SSL_SESSION_free(saved);
  SSL_CTX_free(context);
}

}  // namespace
}  // namespace kestrune::testing
