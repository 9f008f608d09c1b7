// Feeds arbitrary bytes to the message reader, decoded and raw, and writes what was read.
// Every input must either load or fail with MessageError; whatever loads must write and
// load again (a message the program stores must stay readable).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/id_message.h"

namespace {

constexpr std::size_t kLimit = 1u << 20;

void Exercise(std::string_view input, bool no_decode) {
  kestrune::TIdMessage message;
  message.SetMaxMessageSize(kLimit);
  message.NoDecode = no_decode;
  try {
    message.LoadFromText(input);
  } catch (const kestrune::MessageError&) {
    return;
  }
  std::string file;
  try {
    file = message.FileText();
    (void)message.Text(kestrune::THeaderTarget::kTransmit);
  } catch (const kestrune::MessageError&) {
    return;  // encoding can grow a message past the limit
  }
  kestrune::TIdMessage reloaded;
  reloaded.SetMaxMessageSize(kLimit * 2);
  reloaded.NoDecode = no_decode;
  reloaded.LoadFromText(file);  // must not throw
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  Exercise(input, false);
  Exercise(input, true);
  return 0;
}
