// Child processes and sockets for the integration tests.
#include "server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace kestrune::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

Listening::Listening() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(listen(fd_, 4), 0);
  EXPECT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
  port_ = ntohs(address.sin_port);
}

void Listening::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

int FreePort() { return Listening().Port(); }

bool Connects(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

// One plain HTTP GET of path on the loopback port, as a current browser; the whole answer.
std::string HttpGet(int port, const std::string& path, const std::string& cookies) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request =
        "GET " + path +
        " HTTP/1.1\r\nHost: localhost\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64) "
        "AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36\r\n" +
        (cookies.empty() ? "" : "Cookie: " + cookies + "\r\n") + "Connection: close\r\n\r\n";
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, got);
    }
  }
  close(fd);
  return answer;
}

// The cookies an answer sets, as a Cookie header's value.
std::string CookiesOf(const std::string& answer) {
  std::string cookies;
  for (std::size_t at = 0; (at = answer.find("Set-Cookie: ", at)) != std::string::npos;) {
    at += 12;
    const std::string cookie = answer.substr(at, answer.find(';', at) - at);
    cookies += (cookies.empty() ? "" : "; ") + cookie;
  }
  return cookies;
}

std::string Slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

ServerProcess::ServerProcess(const fs::path& home, std::vector<std::string> args,
                             const fs::path& err_file, std::string_view binary) {
  int pipe_fds[2];
  EXPECT_EQ(pipe(pipe_fds), 0);
  std::vector<std::string> all = {std::string(KESTRUNE_BINARY_DIR) + "/" + std::string(binary),
                                  "--home", home.string()};
  all.insert(all.end(), args.begin(), args.end());
  pid_ = fork();
  if (pid_ == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);  // no terminal: the server must not ask anything
    const int err_fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err_fd, STDERR_FILENO);
    close(pipe_fds[0]);
    setenv("KESTRUNE_TIMER_MS_PER_MINUTE", "300", 1);
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  out_fd_ = pipe_fds[0];
}

ServerProcess::ServerProcess(ServerProcess&& other) noexcept
    : pid_(other.pid_),
      out_fd_(other.out_fd_),
      exited_(other.exited_),
      partial_(std::move(other.partial_)),
      lines_(std::move(other.lines_)) {
  other.pid_ = -1;
  other.out_fd_ = -1;
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    Wait();
  }
  if (out_fd_ >= 0) close(out_fd_);
}

bool ServerProcess::WaitForLine(const std::function<bool(const std::string&)>& found) {
  for (std::size_t seen = 0;;) {
    for (; seen < lines_.size(); ++seen) {
      if (found(lines_[seen])) return true;
    }
    if (!ReadMore(30s)) return false;
  }
}

bool ServerProcess::WaitForLine(std::string_view prefix) {
  return WaitForLine([prefix](const std::string& line) { return line.starts_with(prefix); });
}

void ServerProcess::Signal(int signal) { kill(pid_, signal); }

int ServerProcess::Wait() {
  while (ReadMore(30s)) {
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  exited_ = true;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ServerProcess::Output() const {
  std::string text;
  for (const std::string& line : lines_) text += line + "\n";
  return text;
}

bool ServerProcess::ReadMore(std::chrono::milliseconds wait) {
  if (out_fd_ < 0) return false;
  pollfd poll_fd{out_fd_, POLLIN, 0};
  if (poll(&poll_fd, 1, static_cast<int>(wait.count())) <= 0) return false;
  char buffer[4096];
  const ssize_t got = read(out_fd_, buffer, sizeof buffer);
  if (got <= 0) {
    close(out_fd_);
    out_fd_ = -1;
    return false;
  }
  partial_.append(buffer, static_cast<std::size_t>(got));
  for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
    lines_.push_back(partial_.substr(0, end));
    partial_.erase(0, end + 1);
  }
  return true;
}

}  // namespace kestrune::testing
