// A bare HTTP client over loopback sockets for the listener tests: it sends exactly the
// bytes a test writes and reads answers as they arrive, so that limits, time-outs and
// kept-alive connections can be watched from the client's side.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

#include "listener_fixture.h"
#include "platform/ascii.h"

namespace kestrune::testing {

inline int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

// A connection from another loopback address (all of 127/8 reaches this host).
inline int ConnectFrom(const char* source, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, source, &local.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    close(fd);
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

inline void SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t sent = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent <= 0) return;
    data.remove_prefix(static_cast<std::size_t>(sent));
  }
}

// The length of the first whole answer at the start of `data`, or 0 while it is
// incomplete (an answer without Content-Length ends when the server closes).
inline std::size_t WholeAnswerLength(std::string_view data, bool head_request = false) {
  const auto end = data.find("\r\n\r\n");
  if (end == std::string_view::npos) return 0;
  const std::size_t header = end + 4;
  const std::string_view head = data.substr(0, header);
  if (head_request || head.starts_with("HTTP/1.1 304") || head.starts_with("HTTP/1.1 204")) {
    return header;
  }
  const std::string lower = AsciiLower(head);
  const auto at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  const std::size_t length = std::strtoull(lower.c_str() + at + 17, nullptr, 10);
  return data.size() >= header + length ? header + length : 0;
}

// Reads until the server closes or one whole answer has arrived.
inline std::string ReadAll(int fd, bool head_request = false) {
  std::string out;
  char buffer[4096];
  while (WholeAnswerLength(out, head_request) == 0) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    out.append(buffer, static_cast<std::size_t>(got));
  }
  return out;
}

// One request on a connection of its own; the answer.
inline std::string Exchange(int port, std::string_view request) {
  const int fd = Connect(port);
  if (fd < 0) return {};
  SendAll(fd, request);
  std::string answer = ReadAll(fd, request.starts_with("HEAD "));
  close(fd);
  return answer;
}

// True when the server ends the connection within the time; false when it is still
// open then. What the server sent before closing is kept in *answer.
inline bool ClosedByServer(int fd, int seconds, std::string* answer = nullptr) {
  timeval timeout{seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  char buffer[4096];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got > 0) {
      if (answer != nullptr) answer->append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got == 0) return true;
    return errno != EAGAIN && errno != EWOULDBLOCK;
  }
}

// "GET /" as Chromium sends it over an established TLS connection; the whole answer.
inline std::string HttpsGetRoot(SSL* tls) {
  const std::string request =
      "GET / HTTP/1.1\r\nHost: localhost\r\nUser-Agent: " + std::string(kChrome) + "\r\n\r\n";
  SSL_write(tls, request.data(), static_cast<int>(request.size()));
  std::string answer;
  char buffer[4096];
  int got;
  while (WholeAnswerLength(answer) == 0 && (got = SSL_read(tls, buffer, sizeof buffer)) > 0) {
    answer.append(buffer, got);
  }
  return answer;
}

// Starts a session and returns the request of its click on the first page's "IWSlow"
// link (whose handler takes its time), ready to send.
inline std::string SlowClickRequest(int port) {
  const std::string agent = "User-Agent: " + std::string(kChrome) + "\r\n";
  const std::string start =
      Exchange(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + agent + "\r\n");
  const auto id_at = start.find("IW_SessionID_=");
  if (id_at == std::string::npos) return {};
  const std::string id = start.substr(id_at + 14, 41);
  auto cookies = [&](int track) {
    return "Cookie: IW_CookieCheck_=Enabled; IW_SessionID_=" + id +
           "; IW_TrackID_=" + std::to_string(track) + "\r\n";
  };
  const std::string page =
      Exchange(port, "GET /index HTTP/1.1\r\nHost: 127.0.0.1\r\n" + agent + cookies(0) + "\r\n");
  const std::string body = "IW_Action=IWSLOW&IW_ActionParam=&IW_FormToken=" + FormTokenIn(page);
  return "POST /index HTTP/1.1\r\nHost: 127.0.0.1\r\n" + agent + cookies(1) +
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace kestrune::testing
