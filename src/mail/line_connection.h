// The one socket and line layer under the POP3 and SMTP clients: a TCP connection with a
// connect time-out, a read time-out, a limit on line length, and TLS (from the first
// byte or upgraded in the middle of a session) with certificate verification.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace kestrune {

// When a client protects its connection with TLS.
enum class TlsMode {
  kAuto,      // implicit TLS on the protocol's TLS port (995, 465), else upgrade when offered
  kImplicit,  // TLS from the first byte, whatever the port
  kNone,      // never: the plain protocol only
  kRequired,  // as kAuto, but a server that offers no upgrade is refused before any
              // credentials are sent (an attacker on the path can strip the offer)
};

// The mode of a PopTls/SmtpTls setting: 0 kNone, 1 kAuto, 2 kRequired. Any other value
// (a hand-edited file) is read as kRequired, the safe choice.
TlsMode TlsModeFromSetting(std::int32_t value);

// One connection; owned and used by one thread at a time (the client that holds it).
// Every failure is raised as one of the errors of mail/socket_error.h.
class LineConnection {
 public:
  static constexpr std::size_t kDefaultMaxLineLength = 16384;
  static constexpr int kDefaultReadTimeoutMs = 60000;

  LineConnection();
  ~LineConnection();
  LineConnection(const LineConnection&) = delete;
  LineConnection& operator=(const LineConnection&) = delete;

  // Resolves `host` and connects to `port`, waiting at most `timeout_ms` milliseconds
  // (0 or less: the system's own connect time-out). Closes any earlier connection first.
  void Connect(std::string_view host, int port, int timeout_ms);

  // Performs the TLS handshake on the open connection and verifies the server's
  // certificate chain and that it names the host given to Connect.
  void StartTls();

  bool Connected() const;
  bool Secure() const;

  // Closes the socket without any protocol exchange. Safe to call at any time.
  void Close() noexcept;

  // 0 or less: wait indefinitely. Applies to reads and writes.
  void SetReadTimeout(int timeout_ms);
  void SetMaxLineLength(std::size_t max_length);

  // A flag set by another thread when the program stops: every wait looks at it a few
  // times a second and, once it is set, closes the socket and raises StopRequested.
  // Null: no flag. The flag must outlive the connection's use.
  void SetStopFlag(const std::atomic<bool>* stop);

  // A point in time after which every read or write closes the socket and raises
  // DeadlinePassed, however recently data arrived (the read time-out alone is reset by
  // each byte, so a server sending one byte a second would never trip it).
  void SetDeadline(std::chrono::steady_clock::time_point deadline);
  void ClearDeadline();

  // Sends `line` + CR LF. A line holding CR, LF or NUL is refused (it would smuggle a
  // second command into the stream).
  void WriteLine(std::string_view line);

  // Sends bytes as they are (message data, already in lines with CR LF).
  void Write(std::string_view data);

  // The next line without its CR LF (a bare LF also ends a line). A line longer than the
  // limit is an error and closes the connection, since the stream is out of step.
  std::string ReadLine();
  // The same with a limit of its own for this line (message data, whose lines are bounded
  // by what is left of the message's size limit rather than by the line limit).
  std::string ReadLine(std::size_t max_length);

  // Makes every later handshake trust the PEM file `ca_file` instead of the system's CA
  // store (for tests with their own CA); an empty path restores the system store.
  static void SetTrustedCaFile(const std::filesystem::path& ca_file);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrune
