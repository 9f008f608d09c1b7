// A TCP server on 127.0.0.1 for tests of the socket and protocol layers: it accepts a
// client at a time and plays a script (send lines, read lines, stall, close or
// reset) on its own thread. Header-only so that it is compiled only where included.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kestrune::testing {

// The server side of one accepted connection.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(int fd) : fd_(fd) {}

  // False when the client has gone (the rest was not sent).
  bool Send(std::string_view data) {
    while (!data.empty()) {
      const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // The next line without CR LF; what was left (often "") when the client closed the
  // connection, after which Closed() is true.
  std::string ReadLine() {
    std::string line;
    char c = 0;
    while (::recv(fd_, &c, 1, 0) == 1) {
      if (c == '\n') {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      line += c;
    }
    closed_ = true;
    return line;
  }

  bool Closed() const { return closed_; }

  // The lines before `end_line` (which is consumed). A client that closes the connection
  // first fails the test, rather than leaving the script reading an empty stream for ever.
  std::vector<std::string> ReadUntil(std::string_view end_line) {
    std::vector<std::string> lines;
    for (std::string line = ReadLine(); line != end_line; line = ReadLine()) {
      if (closed_) {
        ADD_FAILURE() << "the client closed the connection before sending \"" << end_line << "\"";
        break;
      }
      lines.push_back(std::move(line));
    }
    return lines;
  }

  // Closes with an RST instead of a FIN.
  void Reset() {
    linger option{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    ::close(fd_);
    fd_ = -1;
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  ~ScriptedPeer() { Close(); }

 private:
  int fd_;
  bool closed_ = false;
};

class ScriptedServer {
 public:
  explicit ScriptedServer(std::function<void(ScriptedPeer&)> script) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_fd_, 1) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error(std::string("scripted server: ") + std::strerror(errno));
    }
    port_ = ntohs(address.sin_port);
    // One connection at a time, each played with the same script, until the server
    // is destroyed (a client that connects again gets the script again).
    thread_ = std::thread([this, script = std::move(script)] {
      for (;;) {
        const int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) return;
        ScriptedPeer peer(fd);
        script(peer);
      }
    });
  }

  ~ScriptedServer() {
    ::shutdown(listen_fd_, SHUT_RDWR);  // wakes an accept that never got a client
    thread_.join();
    ::close(listen_fd_);
  }

  int Port() const { return port_; }

 private:
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace kestrune::testing
