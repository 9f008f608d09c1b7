// The error kinds of the mail transport (POP3 and SMTP clients and the line layer under
// them), and the one place where a platform or Asio error becomes the numbered socket
// error text the mail engines look for ("11001", "11004", "10060", "10054").
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace boost::system {
class error_code;
}

namespace kestrune {

// Base of every error the mail transport raises. An error of this type that is none of
// the kinds below (an unrecognised reply, an over-long line, a refused argument) is an
// "other error of the mail transport" to the engines.
class TransportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The connection could not be made or broke. The text is "Socket Error # " + number +
// a line break + description, with the Windows numbers for the four failures callers
// tell apart and the platform's own number and text for everything else.
class SocketError : public TransportError {
 public:
  SocketError(int code, std::string_view description);
  int Code() const { return code_; }

 protected:
  // For subclasses that word their own text.
  SocketError(int code, const std::string& text, bool /*verbatim*/)
      : TransportError(text), code_(code) {}

 private:
  int code_;
};

// The TLS handshake failed; the text names the failure (for a certificate, the
// verification result of OpenSSL, e.g. "self-signed certificate in certificate chain").
class TlsError : public SocketError {
 public:
  explicit TlsError(const std::string& text) : SocketError(0, text, true) {}
};

// The server answered, but not with what the command expects. The text is the server's
// reply text; for SMTP the reply code is kept too (0 for POP3).
class ProtocolError : public TransportError {
 public:
  ProtocolError(int reply_code, const std::string& reply_text)
      : TransportError(reply_text), reply_code_(reply_code) {}
  int ReplyCode() const { return reply_code_; }

 private:
  int reply_code_;
};

// The server closed the connection while a reply was expected.
class ConnectionClosed : public TransportError {
 public:
  ConnectionClosed() : TransportError("Connection Closed Gracefully.") {}
};

// No data arrived within the read time-out.
class ReadTimeout : public TransportError {
 public:
  ReadTimeout() : TransportError("Read Timeout") {}
};

// A stop request (the program is exiting) ended the wait; the socket was closed.
class StopRequested : public TransportError {
 public:
  StopRequested() : TransportError("Stopped: the program is shutting down.") {}
};

// The whole of an operation (one message) did not arrive by its deadline, however
// steadily the data trickled in; the socket was closed.
class DeadlinePassed : public TransportError {
 public:
  using TransportError::TransportError;
};

// A line exceeded the length limit of its read; the socket was closed (the stream is
// out of step).
class LineTooLong : public TransportError {
 public:
  using TransportError::TransportError;
};

// A message grew past the size limit while it was received; the socket was closed at
// the limit instead of reading the rest, so the session is over.
class MessageTooLarge : public TransportError {
 public:
  using TransportError::TransportError;
};

// Windows socket error numbers that the engines search for in error texts.
inline constexpr int kWsaHostNotFound = 11001;
inline constexpr int kWsaNoData = 11004;
inline constexpr int kWsaTimedOut = 10060;
inline constexpr int kWsaConnectionReset = 10054;

// A failed system call with errno `err` (connect, send, recv).
SocketError SocketErrorFromErrno(int err);

// A failed getaddrinfo(3) with result `gai_error`; `saved_errno` is errno after the
// call, which EAI_SYSTEM refers to.
SocketError SocketErrorFromResolver(int gai_error, int saved_errno);

// The connect did not finish within the caller's time-out.
SocketError ConnectTimedOut();

// Raises the transport error for a failed Asio operation: end of stream becomes
// ConnectionClosed, a TLS failure a TlsError, anything else a SocketError.
[[noreturn]] void ThrowTransportError(const boost::system::error_code& ec);

}  // namespace kestrune
