// Maps platform, resolver and Asio errors onto the transport's error kinds. The four
// failures the mail engines distinguish get the Windows socket error numbers that their
// messages are keyed on; every other error keeps the platform's own number and text.
#include "mail/socket_error.h"

#include <netdb.h>

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/system/error_code.hpp>
#include <cerrno>
#include <cstring>
#include <string>

namespace kestrune {

SocketError::SocketError(int code, std::string_view description)
    : TransportError("Socket Error # " + std::to_string(code) + "\n" + std::string(description)),
      code_(code) {}

namespace {

SocketError HostNotFound() { return SocketError(kWsaHostNotFound, "Host not found."); }

}  // namespace

SocketError ConnectTimedOut() { return SocketError(kWsaTimedOut, "Connection timed out."); }

SocketError SocketErrorFromErrno(int err) {
  switch (err) {
    case ETIMEDOUT:
      return ConnectTimedOut();
    // A write after the peer reset the connection reports EPIPE here where Windows
    // reports the reset itself; both are the same event for the caller.
    case ECONNRESET:
    case EPIPE:
      return SocketError(kWsaConnectionReset, "Connection reset by peer.");
    default:
      return SocketError(err, std::strerror(err));
  }
}

SocketError SocketErrorFromResolver(int gai_error, int saved_errno) {
  switch (gai_error) {
    case EAI_NONAME:
      return HostNotFound();
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return SocketError(kWsaNoData, "Valid name, no data record of requested type.");
    case EAI_SYSTEM:
      return SocketErrorFromErrno(saved_errno);
    default:
      return SocketError(gai_error, gai_strerror(gai_error));
  }
}

void ThrowTransportError(const boost::system::error_code& ec) {
  namespace error = boost::asio::error;
  if (ec == error::eof || ec == boost::asio::ssl::error::stream_truncated) {
    throw ConnectionClosed();
  }
  if (ec.category() == error::get_ssl_category()) {
    throw TlsError("TLS error: " + ec.message());
  }
  if (ec == error::host_not_found) throw HostNotFound();
  if (ec.category() == boost::system::system_category() ||
      ec.category() == boost::system::generic_category()) {
    throw SocketErrorFromErrno(ec.value());
  }
  throw SocketError(ec.value(), ec.message());
}

}  // namespace kestrune
