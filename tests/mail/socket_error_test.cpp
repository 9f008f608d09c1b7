#include "mail/socket_error.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <cerrno>

namespace kestrune {
namespace {

TEST(SocketError, TheFourFailuresCallersLookForCarryTheirWindowsNumbers) {
  EXPECT_STREQ(SocketErrorFromResolver(EAI_NONAME, 0).what(),
               "Socket Error # 11001\nHost not found.");
  EXPECT_STREQ(SocketErrorFromResolver(EAI_NODATA, 0).what(),
               "Socket Error # 11004\nValid name, no data record of requested type.");
  EXPECT_STREQ(SocketErrorFromErrno(ETIMEDOUT).what(),
               "Socket Error # 10060\nConnection timed out.");
  EXPECT_STREQ(ConnectTimedOut().what(), "Socket Error # 10060\nConnection timed out.");
  EXPECT_STREQ(SocketErrorFromErrno(ECONNRESET).what(),
               "Socket Error # 10054\nConnection reset by peer.");
  EXPECT_EQ(SocketErrorFromErrno(EPIPE).Code(), kWsaConnectionReset);
}

TEST(SocketError, OtherErrorsKeepThePlatformsNumberAndText) {
  const SocketError refused = SocketErrorFromErrno(ECONNREFUSED);
  EXPECT_EQ(refused.Code(), ECONNREFUSED);
  EXPECT_EQ(std::string(refused.what()), "Socket Error # 111\nConnection refused");
  EXPECT_EQ(SocketErrorFromResolver(EAI_AGAIN, 0).Code(), EAI_AGAIN);
  EXPECT_EQ(SocketErrorFromResolver(EAI_SYSTEM, ENETUNREACH).Code(), ENETUNREACH);
}

TEST(ThrowTransportError, EndOfStreamIsAClosedConnectionAndResolverMissIsHostNotFound) {
  EXPECT_THROW(ThrowTransportError(boost::asio::error::eof), ConnectionClosed);
  EXPECT_THROW(ThrowTransportError(boost::asio::ssl::error::stream_truncated), ConnectionClosed);
  try {
    ThrowTransportError(boost::asio::error::host_not_found);
    FAIL();
  } catch (const SocketError& e) {
    EXPECT_EQ(e.Code(), kWsaHostNotFound);
  }
  try {
    ThrowTransportError(boost::asio::error::connection_reset);
    FAIL();
  } catch (const SocketError& e) {
    EXPECT_EQ(e.Code(), kWsaConnectionReset);
  }
}

}  // namespace
}  // namespace kestrune
