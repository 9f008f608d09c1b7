// How a mail operation ended, in the kinds its reporters tell apart (the console's log
// lines, the browser messages of a web session).
#pragma once

#include <exception>
#include <string>

namespace kestrune {

enum class MailErrorKind {
  kNone,
  kSocket,            // no connection, or it broke (the text carries the socket number)
  kReadTimeout,       // no answer within the read time-out
  kConnectionClosed,  // the server closed the connection
  kProtocol,          // the server refused a command (the text is its reply)
  kAuthentication,    // the server refused the log-in
  kTransport,         // another failure of the mail transport (an unrecognised reply...)
  kStore,             // the mail store could not be read or written
  kOther,             // anything else
};

struct MailError {
  MailErrorKind kind = MailErrorKind::kNone;
  std::string text;
  explicit operator bool() const { return kind != MailErrorKind::kNone; }
};

// The kind and text of the exception in flight (call inside a catch block only).
MailError CurrentMailError();

}  // namespace kestrune
