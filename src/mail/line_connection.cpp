// Blocking line I/O built on Asio's asynchronous operations: each operation is started
// and the private io_context is run for at most the time-out, which is how a connect or
// read can be abandoned without a second thread. TLS is OpenSSL through asio::ssl.
#include "mail/line_connection.h"

#include <netdb.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "mail/socket_error.h"

namespace kestrune {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

std::mutex trusted_ca_mutex;
std::filesystem::path trusted_ca_file;  // guarded by trusted_ca_mutex

std::filesystem::path TrustedCaFile() {
  std::lock_guard lock(trusted_ca_mutex);
  return trusted_ca_file;
}

std::vector<tcp::endpoint> Resolve(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  const std::string service = std::to_string(port);
  errno = 0;
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &results);
  if (rc != 0) throw SocketErrorFromResolver(rc, errno);
  std::vector<tcp::endpoint> endpoints;
  for (addrinfo* ai = results; ai != nullptr; ai = ai->ai_next) {
    tcp::endpoint endpoint;
    if (ai->ai_addrlen > endpoint.capacity()) continue;
    std::memcpy(endpoint.data(), ai->ai_addr, ai->ai_addrlen);
    endpoint.resize(ai->ai_addrlen);
    endpoints.push_back(endpoint);
  }
  freeaddrinfo(results);
  if (endpoints.empty()) throw SocketErrorFromResolver(EAI_NODATA, 0);
  return endpoints;
}

bool IsIpAddress(const std::string& host) {
  error_code ec;
  asio::ip::make_address(host, ec);
  return !ec;
}

}  // namespace

struct LineConnection::Impl {
  asio::io_context io;
  tcp::socket socket{io};
  std::unique_ptr<asio::ssl::context> tls_context;
  std::unique_ptr<asio::ssl::stream<tcp::socket&>> tls;
  std::string host;
  std::string buffer;        // received bytes; those from `consumed` on are not yet returned
  std::size_t consumed = 0;  // bytes at the front of `buffer` already returned as lines
  int read_timeout_ms = kDefaultReadTimeoutMs;
  std::size_t max_line_length = kDefaultMaxLineLength;

  const std::atomic<bool>* stop = nullptr;
  std::optional<std::chrono::steady_clock::time_point> deadline;

  // How an operation run by RunFor ended.
  enum class Outcome { kDone, kTimedOut, kDeadline, kStopped };

  // Runs the operation that `start` begins, for at most `timeout_ms` (0 or less: no
  // limit) and not past the deadline; a set stop flag ends it too. Unless the operation
  // finished, the socket is closed, which makes the operation finish with "aborted".
  template <typename Start>
  Outcome RunFor(int timeout_ms, error_code& result, std::size_t& transferred, Start start) {
    using Clock = std::chrono::steady_clock;
    // How often a wait looks at the stop flag.
    constexpr auto kStopPoll = std::chrono::milliseconds(100);
    bool done = false;
    io.restart();
    start([&](const error_code& ec, std::size_t n) {
      result = ec;
      transferred = n;
      done = true;
    });
    const Clock::time_point begin = Clock::now();
    const std::optional<Clock::time_point> time_out =
        timeout_ms > 0 ? std::optional(begin + std::chrono::milliseconds(timeout_ms))
                       : std::nullopt;
    Outcome outcome = Outcome::kDone;
    while (!done) {
      if (stop != nullptr && stop->load()) {
        outcome = Outcome::kStopped;
        break;
      }
      const Clock::time_point now = Clock::now();
      if (deadline && now >= *deadline) {
        outcome = Outcome::kDeadline;
        break;
      }
      if (time_out && now >= *time_out) {
        outcome = Outcome::kTimedOut;
        break;
      }
      std::optional<Clock::time_point> until = time_out;
      if (deadline && (!until || *deadline < *until)) until = deadline;
      if (stop != nullptr && (!until || now + kStopPoll < *until)) until = now + kStopPoll;
      if (until) {
        io.run_for(*until - now);
      } else {
        io.run();
      }
      if (io.stopped() && !done) io.restart();
    }
    if (outcome == Outcome::kDone) return outcome;
    CloseSocket();
    io.restart();
    io.run();
    return outcome;
  }

  // Raises the error of an operation that did not finish.
  static void ThrowUnfinished(Outcome outcome) {
    switch (outcome) {
      case Outcome::kStopped:
        throw StopRequested();
      case Outcome::kDeadline:
        throw DeadlinePassed("The server did not complete its answer in the time allowed.");
      default:
        throw ReadTimeout();
    }
  }

  void CloseSocket() noexcept {
    error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
  }

  void ConnectTo(const std::vector<tcp::endpoint>& endpoints, int timeout_ms) {
    error_code ec;
    std::size_t unused = 0;
    const Outcome outcome = RunFor(timeout_ms, ec, unused, [&](auto handler) {
      asio::async_connect(
          socket, endpoints,
          [handler](const error_code& e, const tcp::endpoint&) mutable { handler(e, 0); });
    });
    if (outcome == Outcome::kTimedOut) throw ConnectTimedOut();
    if (outcome != Outcome::kDone) ThrowUnfinished(outcome);
    if (ec) {
      CloseSocket();
      ThrowTransportError(ec);
    }
  }

  std::size_t ReadSome(char* data, std::size_t size) {
    error_code ec;
    std::size_t n = 0;
    const Outcome outcome = RunFor(read_timeout_ms, ec, n, [&](auto handler) {
      if (tls) {
        tls->async_read_some(asio::buffer(data, size), handler);
      } else {
        socket.async_read_some(asio::buffer(data, size), handler);
      }
    });
    if (outcome != Outcome::kDone) ThrowUnfinished(outcome);
    if (ec) {
      CloseSocket();
      ThrowTransportError(ec);
    }
    return n;
  }

  // Writes in chunks, each with the full time-out, so that the limit means "no progress
  // for that long" and a large message on a slow link is not cut off.
  void WriteAll(std::string_view data) {
    constexpr std::size_t kChunk = 64 * 1024;
    while (!data.empty()) {
      const std::string_view chunk = data.substr(0, kChunk);
      WriteChunk(chunk);
      data.remove_prefix(chunk.size());
    }
  }

  void WriteChunk(std::string_view chunk) {
    if (!socket.is_open()) throw ConnectionClosed();
    error_code ec;
    std::size_t n = 0;
    const Outcome outcome = RunFor(read_timeout_ms, ec, n, [&](auto handler) {
      if (tls) {
        asio::async_write(*tls, asio::buffer(chunk.data(), chunk.size()), handler);
      } else {
        asio::async_write(socket, asio::buffer(chunk.data(), chunk.size()), handler);
      }
    });
    if (outcome != Outcome::kDone) ThrowUnfinished(outcome);
    if (ec) {
      CloseSocket();
      ThrowTransportError(ec);
    }
  }

  std::unique_ptr<asio::ssl::context> MakeTlsContext() {
    auto context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
    context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                         asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                         asio::ssl::context::no_tlsv1_1);
    const std::filesystem::path ca_file = TrustedCaFile();
    error_code ec;
    if (ca_file.empty()) {
      context->set_default_verify_paths(ec);
    } else {
      context->load_verify_file(ca_file.string(), ec);
    }
    if (ec) {
      throw TlsError("TLS error: cannot load the trusted certificates" +
                     (ca_file.empty() ? std::string() : " from " + ca_file.string()) + ": " +
                     ec.message());
    }
    context->set_verify_mode(asio::ssl::verify_peer);
    return context;
  }

  void Handshake() {
    tls_context = MakeTlsContext();
    tls = std::make_unique<asio::ssl::stream<tcp::socket&>>(socket, *tls_context);
    SSL* ssl = tls->native_handle();
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (IsIpAddress(host)) {
      X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
      X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
      SSL_set_tlsext_host_name(ssl, host.c_str());
    }
    error_code ec;
    std::size_t unused = 0;
    const Outcome outcome = RunFor(read_timeout_ms, ec, unused, [&](auto handler) {
      tls->async_handshake(asio::ssl::stream_base::client,
                           [handler](const error_code& e) mutable { handler(e, 0); });
    });
    if (outcome == Outcome::kDone && !ec) return;
    const long verify_result = SSL_get_verify_result(ssl);
    tls.reset();
    CloseSocket();
    if (outcome != Outcome::kDone) ThrowUnfinished(outcome);
    if (verify_result != X509_V_OK) {
      throw TlsError("TLS error: the certificate of " + host +
                     " was not accepted: " + X509_verify_cert_error_string(verify_result));
    }
    if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated) {
      throw TlsError("TLS error: " + host + " closed the connection during the handshake");
    }
    if (ec.category() == asio::error::get_ssl_category()) {
      throw TlsError("TLS error: the handshake with " + host + " failed: " + ec.message());
    }
    ThrowTransportError(ec);
  }
};

LineConnection::LineConnection() : impl_(std::make_unique<Impl>()) {}

LineConnection::~LineConnection() { Close(); }

void LineConnection::Connect(std::string_view host, int port, int timeout_ms) {
  Close();
  impl_->host = std::string(host);
  impl_->ConnectTo(Resolve(impl_->host, port), timeout_ms);
}

void LineConnection::StartTls() {
  if (!Connected()) throw ConnectionClosed();
  if (impl_->tls) return;
  // Bytes already received in plain text must not be taken as protected data.
  impl_->buffer.clear();
  impl_->consumed = 0;
  impl_->Handshake();
}

bool LineConnection::Connected() const { return impl_->socket.is_open(); }

TlsMode TlsModeFromSetting(std::int32_t value) {
  switch (value) {
    case 0:
      return TlsMode::kNone;
    case 1:
      return TlsMode::kAuto;
    default:
      return TlsMode::kRequired;
  }
}

bool LineConnection::Secure() const { return impl_->tls != nullptr; }

void LineConnection::Close() noexcept {
  impl_->tls.reset();
  impl_->tls_context.reset();
  impl_->CloseSocket();
  impl_->buffer.clear();
  impl_->consumed = 0;
}

void LineConnection::SetReadTimeout(int timeout_ms) { impl_->read_timeout_ms = timeout_ms; }

void LineConnection::SetMaxLineLength(std::size_t max_length) {
  impl_->max_line_length = max_length;
}

void LineConnection::SetStopFlag(const std::atomic<bool>* stop) { impl_->stop = stop; }

void LineConnection::SetDeadline(std::chrono::steady_clock::time_point deadline) {
  impl_->deadline = deadline;
}

void LineConnection::ClearDeadline() { impl_->deadline.reset(); }

void LineConnection::WriteLine(std::string_view line) {
  if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    throw TransportError("Refused to send a command line holding CR, LF or NUL.");
  }
  std::string data(line);
  data += "\r\n";
  impl_->WriteAll(data);
}

void LineConnection::Write(std::string_view data) { impl_->WriteAll(data); }

std::string LineConnection::ReadLine() { return ReadLine(impl_->max_line_length); }

std::string LineConnection::ReadLine(std::size_t max_length) {
  std::string& buffer = impl_->buffer;
  std::size_t& start = impl_->consumed;
  // Lines are taken from the front by moving `start`, not by erasing: erasing would move
  // the rest of the buffer once per line.
  std::size_t scanned = start;
  for (;;) {
    const std::size_t lf = buffer.find('\n', scanned);
    if (lf != std::string::npos) {
      std::size_t end = lf;
      if (end > start && buffer[end - 1] == '\r') --end;
      if (end - start > max_length) break;
      std::string line = buffer.substr(start, end - start);
      start = lf + 1;
      if (start == buffer.size()) {
        buffer.clear();
        start = 0;
      }
      return line;
    }
    buffer.erase(0, start);
    start = 0;
    scanned = buffer.size();
    // One byte of slack for the CR of a line that is exactly at the limit.
    if (buffer.size() > max_length + 1) break;
    if (!Connected()) throw ConnectionClosed();
    char chunk[16384];
    const std::size_t n = impl_->ReadSome(chunk, sizeof chunk);
    buffer.append(chunk, n);
  }
  Close();
  throw LineTooLong("Received a line longer than " + std::to_string(max_length) + " characters.");
}

void LineConnection::SetTrustedCaFile(const std::filesystem::path& ca_file) {
  std::lock_guard lock(trusted_ca_mutex);
  trusted_ca_file = ca_file;
}

}  // namespace kestrune
