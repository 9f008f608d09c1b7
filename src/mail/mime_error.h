// The error raised when a message cannot be read or written: a missing file, a part of
// unknown kind, input over the size limits. Its text is the message shown to the caller.
#pragma once

#include <stdexcept>

namespace kestrune {

class MessageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace kestrune
