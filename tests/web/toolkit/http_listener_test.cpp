// The running server over real sockets on 127.0.0.1: redirects and cookies on the
// wire, size limits, slow clients, HTTPS with first-start certificates, the banner.
#include "web/toolkit/http_listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <thread>
#include <vector>

#include "listener_fixture.h"
#include "platform/memory_tuning.h"
#include "platform/read_file.h"
#include "socket_client.h"
#include "web/toolkit/listener_error.h"
#include "web/toolkit/standalone_server.h"
#include "web/toolkit/static_files.h"

namespace kestrune::testing {
namespace {

class RecordingLog : public ListenerEvents {
 public:
  void OnDebugLog(std::string_view text) override { lines.emplace_back(text); }
  void OnNewSession(TIWApplication&) override { ++opened; }
  void OnCloseSession(TIWApplication&) override { ++closed; }
  std::vector<std::string> lines;
  std::atomic<int> opened{0};
  std::atomic<int> closed{0};
};

class ListenerTest : public ::testing::Test {
 protected:
  ListenerTest() : controller_(MakeController(home_.path())) {
    controller_.Port = 0;
    controller_.BoundIP = "127.000.000.001";
    controller_.Listener = &log_;
    controller_.WorkerThreads = 4;
  }
  TempDir home_;
  TIWServerController controller_;
  RecordingLog log_;
};

TEST_F(ListenerTest, BannerAndRedirectWithCookiesOnTheWire) {
  TIWStandAloneServer server(controller_);
  server.Start();
  ASSERT_GT(server.HttpPort(), 0);
  EXPECT_EQ(controller_.Port, server.HttpPort());
  const std::vector<std::string> banner_tail = {"Warning: Port has been assigned by system.", "",
                                                "---------------------", ""};
  ASSERT_EQ(log_.lines.size(), 7u);
  EXPECT_EQ(log_.lines[0], "");
  EXPECT_EQ(std::vector<std::string>(log_.lines.begin() + 3, log_.lines.end()), banner_tail);
  EXPECT_EQ(server.StartAddress(false),
            "http://127.000.000.001:" + std::to_string(server.HttpPort()) + "/");

  const std::string answer =
      Exchange(server.HttpPort(), "GET /?a=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: " +
                                      std::string(kChrome) + "\r\nConnection: close\r\n\r\n");
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 302 Found\r\n")) << answer;
  EXPECT_NE(answer.find("Location: http://127.0.0.1:" + std::to_string(server.HttpPort()) +
                        "/index?a=1\r\n"),
            std::string::npos)
      << answer;
  EXPECT_NE(answer.find("Set-Cookie: IW_CookieCheck_=Enabled"), std::string::npos);
  EXPECT_NE(answer.find("Connection: close"), std::string::npos);
  EXPECT_EQ(log_.opened.load(), 1);
  server.Stop();
  EXPECT_EQ(log_.closed.load(), 1);
}

TEST_F(ListenerTest, StopAnswersARequestInFlightAndClosesIdleConnections) {
  TIWStandAloneServer server(controller_);
  server.Start();
  const int port = server.HttpPort();
  const std::string click = SlowClickRequest(port);
  ASSERT_FALSE(click.empty());
  std::string answer;
  std::thread client([&] { answer = Exchange(port, click); });
  const int idle = Connect(port);
  ASSERT_GE(idle, 0);
  SendAll(idle, "GET /files/a.txt HTTP/1.1\r\n");               // never finishes its header
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the handler runs 400 ms
  server.Stop();
  client.join();
  // Closed by Stop (after a "400" for the cut request), not left to its read time-out.
  char buffer[512];
  ssize_t got = 0;
  while ((got = recv(idle, buffer, sizeof buffer, 0)) > 0) {
  }
  EXPECT_EQ(got, 0);
  close(idle);
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer;
  EXPECT_NE(answer.find("IW_TrackID_=2"), std::string::npos);
  EXPECT_EQ(server.Sessions().Count(), 0u);
  EXPECT_EQ(log_.closed.load(), 1);
}

TEST_F(ListenerTest, ErrorPageHasServerErrorStatusText) {
  TIWStandAloneServer server(controller_);
  server.Start();
  const std::string answer =
      Exchange(server.HttpPort(), "GET /nope HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 500 Server error\r\n")) << answer;
  EXPECT_NE(answer.find("Pragma: no-cache"), std::string::npos);

  // HEAD: the same header, the GET body's length, no body.
  const std::size_t body_start = answer.find("\r\n\r\n") + 4;
  const std::string head =
      Exchange(server.HttpPort(), "HEAD /nope HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_TRUE(head.starts_with("HTTP/1.1 500 Server error\r\n")) << head;
  EXPECT_NE(head.find("Content-Length: " + std::to_string(answer.size() - body_start) + "\r\n"),
            std::string::npos)
      << head;
  EXPECT_TRUE(head.ends_with("\r\n\r\n")) << head;
}

TEST_F(ListenerTest, OversizedBodyAndHeaderAreRefused) {
  controller_.MaxBodyBytes = 1024;
  TIWStandAloneServer server(controller_);
  server.Start();
  const std::string big_body = Exchange(
      server.HttpPort(), "POST /index HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 4096\r\n\r\n" +
                             std::string(4096, 'x'));
  EXPECT_TRUE(big_body.starts_with("HTTP/1.1 413 ")) << big_body;
  const std::string big_header =
      Exchange(server.HttpPort(),
               "GET / HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(17000, 'a') + "\r\n\r\n");
  EXPECT_TRUE(big_header.starts_with("HTTP/1.1 431 ")) << big_header;
}

TEST_F(ListenerTest, SlowClientIsDroppedAndDoesNotHoldOthers) {
  controller_.ReadTimeoutSeconds = 1;
  controller_.WorkerThreads = 1;
  WriteFile(home_.path() / "Files" / "a.txt", "hello");
  TIWStandAloneServer server(controller_);
  server.Start();
  const int slow = Connect(server.HttpPort());
  ASSERT_GE(slow, 0);
  SendAll(slow, "GET /files/a.txt HTTP/1.1\r\nHost: x\r\n");  // never finishes its header
  const auto started = std::chrono::steady_clock::now();
  const std::string other =
      Exchange(server.HttpPort(), "GET /files/a.txt HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_NE(other.find("\r\n\r\nhello"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
  EXPECT_EQ(ReadAll(slow), "");  // closed by the server after the read time-out
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  close(slow);
}

TEST_F(ListenerTest, FirstHttpsStartGeneratesProtectedKeyAndServesTls) {
  controller_.SSLOptions.Port = FreePort();
  controller_.SSLOptions.CertificatePassword = "vexo";
  TIWStandAloneServer server(controller_);
  server.Start();
  const auto key = home_.path() / "key.pem";
  struct stat info {};
  ASSERT_EQ(stat(key.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600);
  EXPECT_NE(ReadWholeFile(key).find("BEGIN ENCRYPTED PRIVATE KEY"), std::string::npos);

  // A browser that trusts root.pem accepts the server under the name localhost.
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  ASSERT_EQ(SSL_CTX_load_verify_locations(context, (home_.path() / "root.pem").c_str(), nullptr),
            1);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  SSL* tls = SSL_new(context);
  SSL_set1_host(tls, "localhost");
  const int fd = Connect(server.HttpsPort());
  SSL_set_fd(tls, fd);
  ASSERT_EQ(SSL_connect(tls), 1);
  const std::string answer = HttpsGetRoot(tls);
  SSL_free(tls);
  SSL_CTX_free(context);
  close(fd);
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 302")) << answer;
  EXPECT_NE(
      answer.find("Location: https://localhost:" + std::to_string(server.HttpsPort()) + "/index"),
      std::string::npos);
  EXPECT_NE(answer.find("; Secure"), std::string::npos);
}

// A client that offers TLS 1.2 with SHA-1 or CBC suites only (an old or downgraded one)
// finds no common suite; an AEAD suite is served, with Strict-Transport-Security where
// plain HTTP only redirects to HTTPS.
TEST_F(ListenerTest, Tls12OffersOnlyAeadSuitesAndHttpsAnswersCarryHsts) {
  controller_.SSLOptions.Port = FreePort();
  controller_.SSLOptions.CertificatePassword = "vexo";
  controller_.SSLOptions.NonSSLRequest = NonSSLMode::nsRedirect;
  controller_.SSLOptions.StrictTransportSecurity =
      StrictTransportSecurityFromSetting(2, NonSSLMode::nsRedirect);
  TIWStandAloneServer server(controller_);
  server.Start();
  const struct {
    const char* ciphers;
    bool served;
  } cases[] = {
      {"ECDHE-ECDSA-AES128-SHA", false},       {"ECDHE-ECDSA-AES256-SHA", false},
      {"ECDHE-ECDSA-AES128-SHA256", false},    {"ECDHE-ECDSA-AES256-SHA384", false},
      {"ECDHE-ECDSA-AES128-GCM-SHA256", true}, {"ECDHE-ECDSA-CHACHA20-POLY1305", true},
  };
  for (const auto& test : cases) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
    ASSERT_EQ(SSL_CTX_set_cipher_list(context, test.ciphers), 1) << test.ciphers;
    SSL* tls = SSL_new(context);
    const int fd = Connect(server.HttpsPort());
    SSL_set_fd(tls, fd);
    const bool connected = SSL_connect(tls) == 1;
    EXPECT_EQ(connected, test.served) << test.ciphers;
    if (connected) {
      const std::string answer = HttpsGetRoot(tls);
      EXPECT_NE(answer.find("Strict-Transport-Security: max-age=31536000\r\n"), std::string::npos)
          << answer;
    }
    SSL_free(tls);
    SSL_CTX_free(context);
    close(fd);
  }
  // Plain HTTP carries no such header; the setting's values.
  const std::string plain =
      Exchange(server.HttpPort(), "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
  EXPECT_EQ(plain.find("Strict-Transport-Security"), std::string::npos) << plain;
  EXPECT_FALSE(StrictTransportSecurityFromSetting(0, NonSSLMode::nsRedirect));
  EXPECT_TRUE(StrictTransportSecurityFromSetting(1, NonSSLMode::nsAccept));
  EXPECT_FALSE(StrictTransportSecurityFromSetting(2, NonSSLMode::nsAccept));
  EXPECT_FALSE(StrictTransportSecurityFromSetting(2, NonSSLMode::nsBlock));
}

TEST_F(ListenerTest, WrongKeyPasswordAndBrokenCertificateAreReportedByKind) {
  controller_.SSLOptions.Port = FreePort();
  controller_.SSLOptions.CertificatePassword = "vexo";
  {
    TIWStandAloneServer first(controller_);
    first.Start();
  }
  controller_.SSLOptions.CertificatePassword = "wrong";
  try {
    TIWStandAloneServer server(controller_);
    server.Start();
    FAIL() << "started with a wrong key password";
  } catch (const ListenerStartError& error) {
    EXPECT_EQ(error.kind(), ListenerStartError::Kind::kPrivateKey);
  }
  controller_.SSLOptions.CertificatePassword = "vexo";
  WriteFile(home_.path() / "cert.pem", "garbage");
  try {
    TIWStandAloneServer server(controller_);
    server.Start();
    FAIL() << "started with a broken certificate";
  } catch (const ListenerStartError& error) {
    EXPECT_EQ(error.kind(), ListenerStartError::Kind::kCertificates);
  }
}

TEST_F(ListenerTest, PortInUseIsReportedByKind) {
  TIWStandAloneServer first(controller_);
  first.Start();
  TIWServerController second_settings = MakeController(home_.path());
  second_settings.Port = first.HttpPort();
  second_settings.BoundIP = "127.0.0.1";
  TIWStandAloneServer second(second_settings);
  try {
    second.Start();
    FAIL() << "bound a port in use";
  } catch (const ListenerStartError& error) {
    EXPECT_EQ(error.kind(), ListenerStartError::Kind::kPortInUse);
  }
}

TEST_F(ListenerTest, TimeoutThreadRemovesASessionOnceItIsIdleLongEnough) {
  controller_.SetSessionTimeout(30);
  controller_.AnonymousSessionTimeoutSeconds = 30 * 60;  // the session time-out alone
  controller_.SessionScanIntervalMs = 20;
  std::atomic<int> minutes_later{0};
  TIWStandAloneServer server(controller_, [&minutes_later] {
    return std::chrono::steady_clock::now() + std::chrono::minutes(minutes_later.load());
  });
  server.Start();
  Exchange(server.HttpPort(),
           "GET / HTTP/1.1\r\nHost: x\r\nUser-Agent: " + std::string(kChrome) + "\r\n\r\n");
  minutes_later = 29;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // ten scans
  EXPECT_EQ(server.Sessions().Count(), 1u);
  EXPECT_EQ(log_.closed.load(), 0);
  minutes_later = 30;
  for (int i = 0; i < 100 && server.Sessions().Count() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(server.Sessions().Count(), 0u);
  EXPECT_EQ(log_.closed.load(), 1);
}

TEST(BoundAddressTest, GroupsAreReadAsDecimal) {
  EXPECT_EQ(NormaliseBoundAddress(" 010.000.000.001 "), "10.0.0.1");
  EXPECT_EQ(NormaliseBoundAddress("::1"), "::1");
  EXPECT_EQ(SplitBoundAddresses("127.0.0.1, 192.168.001.010,"),
            (std::vector<std::string>{"127.0.0.1", "192.168.1.10"}));
}

constexpr const char* kBigPostHeader =
    "POST /files/a.txt HTTP/1.1\r\nHost: x\r\nContent-Length: 20000000\r\n\r\n";

TEST_F(ListenerTest, BodyThatDoesNotArriveIsDroppedWhateverItsDeclaredLength) {
  controller_.ReadTimeoutSeconds = 1;
  TIWStandAloneServer server(controller_);
  server.Start();
  const int silent = Connect(server.HttpPort());
  SendAll(silent, kBigPostHeader);
  const int trickle = Connect(server.HttpPort());
  SendAll(trickle, kBigPostHeader);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    for (int i = 0; i < 40 && !stop; ++i) {  // 100 bytes every 200 ms: 500 bytes/s
      SendAll(trickle, std::string(100, 'b'));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  // The declared 20 MB bought about five minutes before; now the body gets what it earns.
  EXPECT_TRUE(ClosedByServer(silent, 5));
  EXPECT_TRUE(ClosedByServer(trickle, 5));
  stop = true;
  sender.join();
  close(silent);
  close(trickle);
}

TEST_F(ListenerTest, BodyThatKeepsArrivingMayTakeLongerThanTheReadTimeout) {
  controller_.ReadTimeoutSeconds = 1;
  WriteFile(home_.path() / "Files" / "a.txt", "hello");
  TIWStandAloneServer server(controller_);
  server.Start();
  const int fd = Connect(server.HttpPort());
  SendAll(fd, "POST /files/a.txt HTTP/1.1\r\nHost: x\r\nContent-Length: 60000\r\n\r\n");
  for (int i = 0; i < 10; ++i) {  // 6000 bytes every 150 ms: 1.5 s at 40 kB/s
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    SendAll(fd, std::string(6000, 'b'));
  }
  std::string answer;
  EXPECT_TRUE(ClosedByServer(fd, 5, &answer));
  EXPECT_NE(answer.find("\r\n\r\nhello"), std::string::npos) << answer;
  close(fd);
}

TEST_F(ListenerTest, OneAddressCannotTakeEveryConnection) {
  controller_.ReadTimeoutSeconds = 10;
  WriteFile(home_.path() / "Files" / "favicon.txt", "ok");
  TIWStandAloneServer server(controller_);
  server.Start();
  std::vector<int> held;
  for (int i = 0; i < controller_.MaxConnectionsPerAddress; ++i) {
    const int fd = ConnectFrom("127.0.0.2", server.HttpPort());
    ASSERT_GE(fd, 0);
    SendAll(fd, "GET /files/favicon.txt HTTP/1.1\r\n");  // a header that never ends
    held.push_back(fd);
  }
  const int one_more = ConnectFrom("127.0.0.2", server.HttpPort());
  ASSERT_GE(one_more, 0);
  EXPECT_TRUE(ClosedByServer(one_more, 3));
  close(one_more);
  // Another address is still served.
  const std::string other =
      Exchange(server.HttpPort(), "GET /files/favicon.txt HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_NE(other.find("\r\n\r\nok"), std::string::npos) << other;
  for (const int fd : held) close(fd);
}

TEST_F(ListenerTest, BodiesInFlightAreBoundedAcrossConnections) {
  controller_.ReadTimeoutSeconds = 2;
  TIWStandAloneServer server(controller_);
  server.Start();
  // Each declares the largest body allowed and sends nothing more.
  const std::string header = "POST /files/a.txt HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                             std::to_string(controller_.MaxBodyBytes) + "\r\n\r\n";
  const std::size_t fitting = controller_.MaxBodyBytesInFlight / controller_.MaxBodyBytes;
  std::vector<int> held;
  for (std::size_t i = 0; i < fitting; ++i) {
    const int fd = Connect(server.HttpPort());
    SendAll(fd, header);
    held.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // all headers read
  const int refused = Connect(server.HttpPort());
  SendAll(refused, header);
  std::string answer;
  EXPECT_TRUE(ClosedByServer(refused, 1, &answer));
  EXPECT_TRUE(answer.starts_with("HTTP/1.1 503 ")) << answer;
  close(refused);
  for (const int fd : held) {
    EXPECT_TRUE(ClosedByServer(fd, 5));
    close(fd);
  }
  // The dropped bodies gave their share back.
  const int later = Connect(server.HttpPort());
  SendAll(later, header);
  answer.clear();
  EXPECT_TRUE(ClosedByServer(later, 5, &answer));
  EXPECT_FALSE(answer.starts_with("HTTP/1.1 503 ")) << answer;
  close(later);
}

TEST(ListenerTeardownTest, StopWithAnswersStuckInWritesAndRequestsQueued) {
  // Clients that never read their large answers keep those connections writing past
  // Stop's wait, and one worker leaves requests queued: their connection frames are
  // still pending while the listener's members are destroyed (AddressSanitizer in CI).
  std::atomic<int> entered{0};
  ListenerOptions options;
  options.addresses = {"127.0.0.1"};
  options.plain_port = 0;
  options.worker_threads = 8;
  options.write_timeout_seconds = 1;
  std::vector<int> clients;
  {
    HttpListener listener(options, [&entered](HttpRequest&) {
      ++entered;
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      HttpResponse response;
      response.body = std::string(8 * 1024 * 1024, 'x');
      return response;
    });
    listener.Start();
    for (int i = 0; i < 16; ++i) {
      const int fd = Connect(listener.PlainPort());
      ASSERT_GE(fd, 0);
      SendAll(fd, "GET /big HTTP/1.1\r\nHost: x\r\n\r\n");
      clients.push_back(fd);
    }
    while (entered.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    listener.Stop();
  }
  for (const int fd : clients) {
    EXPECT_TRUE(ClosedByServer(fd, 5));
    close(fd);
  }
}

long ResidentKiB() {
  const std::string status = ReadWholeFile("/proc/self/status");
  const auto at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

// A header value that carries a line break (a file name out of a hostile mail, say) must
// not start a header of its own, whether the body goes out from memory or from a file.
TEST(ListenerHeaderTest, LineBreaksInHeaderValuesCannotAddHeaders) {
  TempDir spill;
  ListenerOptions options;
  options.addresses = {"127.0.0.1"};
  options.plain_port = 0;
  options.worker_threads = 1;
  options.spill_dir = spill.path();
  HttpListener listener(options, [&](HttpRequest& request) {
    HttpResponse response;
    response.SetHeader("Content-Type", "text/plain");
    response.SetHeader("X-Name", "a\r\nSet-Cookie: stolen=1\r\n\r\n<script>");
    if (request.target == "/file") {
      response.body_file = FileBody::Spill("the body", spill.path());
    } else {
      response.body = "the body";
    }
    return response;
  });
  listener.Start();
  for (const char* target : {"/memory", "/file"}) {
    SCOPED_TRACE(target);
    const std::string answer =
        Exchange(listener.PlainPort(), "GET " + std::string(target) +
                                           " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_NE(answer.find("\r\nX-Name: a  Set-Cookie: stolen=1    <script>\r\n"), std::string::npos)
        << answer;
    EXPECT_EQ(answer.find("\r\nSet-Cookie"), std::string::npos);
    EXPECT_TRUE(answer.ends_with("\r\n\r\nthe body")) << answer;
  }
  listener.Stop();
}

// Ten sessions ask for a 15 MB attachment and never read the answer: the server must not
// hold ten copies of it until the write time-out. One answer per client address may stay
// in memory; the others are sent from a file, with their bytes intact.
TEST(ListenerMemoryTest, TenClientsThatNeverReadABigDownloadDoNotPinItInMemory) {
  TuneMemoryAllocator();  // as the program does at start
  constexpr std::size_t kSize = 15 * 1024 * 1024;
  std::string expected(kSize, '\0');
  for (std::size_t i = 0; i < kSize; ++i) {
    expected[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
  }
  TempDir spill;
  ListenerOptions options;
  options.addresses = {"127.0.0.1"};
  options.plain_port = 0;
  options.worker_threads = 4;
  options.write_timeout_seconds = 30;
  options.spill_dir = spill.path();
  std::atomic<int> answered{0};
  HttpListener listener(options, [&](HttpRequest&) {
    HttpResponse response;
    response.SetHeader("Content-Type", "application/octet-stream");
    response.body = expected;  // a fresh copy, as a page makes one per download
    ++answered;
    return response;
  });
  listener.Start();
  const long before = ResidentKiB();
  std::vector<int> clients;
  for (int i = 0; i < 10; ++i) {
    const int fd = Connect(listener.PlainPort());
    ASSERT_GE(fd, 0);
    SendAll(fd, "GET /attachment HTTP/1.1\r\nHost: x\r\n\r\n");
    clients.push_back(fd);
  }
  while (answered.load() < 10) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // every answer being written
  const long growth_kib = ResidentKiB() - before;
  std::cout << "resident growth with ten stalled readers: " << growth_kib / 1024 << " MiB\n";
  EXPECT_LE(listener.ResponseBytesInFlight(), options.max_response_bytes_in_flight_per_address);
#ifndef __SANITIZE_ADDRESS__         // the sanitizer keeps freed memory in quarantine
  EXPECT_LT(growth_kib, 75 * 1024);  // ten held copies would be 150 MiB
#endif
  for (const int fd : clients) {
    const std::string answer = ReadAll(fd);
    const auto body = answer.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_NE(answer.find("Content-Length: " + std::to_string(kSize)), std::string::npos);
    EXPECT_TRUE(answer.compare(body + 4, std::string::npos, expected) == 0);
    close(fd);
  }
  EXPECT_EQ(listener.ResponseBytesInFlight(), 0u);
  listener.Stop();
}

}  // namespace
}  // namespace kestrune::testing
