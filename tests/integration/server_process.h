// The server programs as child processes for the integration tests: kestrune or
// kestrune-console run with --home, standard output read line by line, standard error
// to a file; and small socket helpers (a free port, a port that is taken).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::testing {

// A listening loopback socket on a port of the system's choice.
class Listening {
 public:
  Listening();
  ~Listening() { Close(); }
  void Close();
  int Port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

// A port that was free a moment ago.
int FreePort();
bool Connects(int port);
std::string Slurp(const std::filesystem::path& file);

// One plain HTTP GET of path on the loopback port, as a current browser; the whole answer.
std::string HttpGet(int port, const std::string& path, const std::string& cookies = "");
// The cookies an answer sets, as a Cookie header's value.
std::string CookiesOf(const std::string& answer);

class ServerProcess {
 public:
  // binary is a program of the build directory; the timers' minute is 300 ms.
  ServerProcess(const std::filesystem::path& home, std::vector<std::string> args,
                const std::filesystem::path& err_file, std::string_view binary = "kestrune");
  ~ServerProcess();
  ServerProcess(ServerProcess&& other) noexcept;
  ServerProcess& operator=(ServerProcess&&) = delete;

  // Reads lines until one satisfies found (true) or the output ends or 30 s pass.
  bool WaitForLine(const std::function<bool(const std::string&)>& found);
  bool WaitForLine(std::string_view prefix);

  void Signal(int signal);
  // The exit status (-1 when killed by a signal); the rest of the output is read first.
  int Wait();
  const std::vector<std::string>& Lines() const { return lines_; }
  std::string Output() const;

 private:
  bool ReadMore(std::chrono::milliseconds wait);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  bool exited_ = false;
  std::string partial_;
  std::vector<std::string> lines_;
};

}  // namespace kestrune::testing
