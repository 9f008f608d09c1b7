// Maps the exceptions of the transport and the store to the kinds the reporters use.
#include "engines/mail_error.h"

#include <system_error>

#include "mail/mime_error.h"
#include "mail/socket_error.h"

namespace kestrune {

MailError CurrentMailError() {
  try {
    throw;
  } catch (const SocketError& e) {  // TlsError included
    return {MailErrorKind::kSocket, e.what()};
  } catch (const ReadTimeout& e) {
    return {MailErrorKind::kReadTimeout, e.what()};
  } catch (const ConnectionClosed& e) {
    return {MailErrorKind::kConnectionClosed, e.what()};
  } catch (const ProtocolError& e) {
    return {MailErrorKind::kProtocol, e.what()};
  } catch (const TransportError& e) {
    return {MailErrorKind::kTransport, e.what()};
  } catch (const std::system_error& e) {
    return {MailErrorKind::kStore, e.what()};
  } catch (const std::exception& e) {
    return {MailErrorKind::kOther, e.what()};
  } catch (...) {
    return {MailErrorKind::kOther, "unknown error"};
  }
}

}  // namespace kestrune
