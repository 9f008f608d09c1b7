// Failures raised while a post is applied to a page or a page event runs. The request
// cycle shows a ToolkitError's message to the user as an alert on the re-rendered page;
// a SilentAbort ends the handler without any message.
#pragma once

#include <stdexcept>
#include <string>

namespace kestrune {

class ToolkitError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raised by page code to stop the current handler quietly.
class SilentAbort : public std::exception {
 public:
  const char* what() const noexcept override { return "Operation aborted"; }
};

}  // namespace kestrune
