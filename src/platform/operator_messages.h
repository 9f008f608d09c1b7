// Messages for the administrator ("Error reading from registry. Code:104" and the like).
// The console shows them as message boxes and the headless host as log lines; until a
// host installs its sink they go to standard error. Any thread may call
// ShowOperatorMessage; the sink is responsible for getting the text to its own thread.
#pragma once

#include <string_view>

namespace kestrune {

class OperatorMessages {
 public:
  virtual ~OperatorMessages() = default;
  virtual void ShowMessage(std::string_view text) = 0;
};

// Installs the sink (nullptr restores the standard-error default). The caller keeps
// the sink alive until it is replaced.
void SetOperatorMessages(OperatorMessages* sink);

void ShowOperatorMessage(std::string_view text);

}  // namespace kestrune
