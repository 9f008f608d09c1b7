// Routes operator messages to the installed sink, or to standard error.
#include "platform/operator_messages.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace kestrune {
namespace {
std::atomic<OperatorMessages*> g_sink{nullptr};
}

void SetOperatorMessages(OperatorMessages* sink) { g_sink.store(sink); }

void ShowOperatorMessage(std::string_view text) {
  if (OperatorMessages* sink = g_sink.load()) {
    sink->ShowMessage(text);
    return;
  }
  std::string line(text);
  line += '\n';
  std::fputs(line.c_str(), stderr);
}

}  // namespace kestrune
