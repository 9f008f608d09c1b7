// Feeds arbitrary bytes to the message reader, decoded and raw, and writes what was read.
// Every input must either load or fail with MessageError; whatever loads must write and
// load again (a message the program stores must stay readable), and must be shown as
// the view shows it (enclosed messages, inline images, attachment names). The same bytes
// also go to the uuencode block readers and to the stateful charset decoder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mail/charset.h"
#include "mail/id_message.h"
#include "mail/message_display.h"
#include "mail/uu_decoding.h"

namespace {

constexpr std::size_t kLimit = 1u << 20;

void Show(const kestrune::TIdMessage& message) {
  (void)kestrune::BuildDisplayedBody(message, {});
  (void)kestrune::ListAttachments(message);
}

void Exercise(std::string_view input, bool no_decode) {
  kestrune::TIdMessage message;
  message.SetMaxMessageSize(kLimit);
  message.NoDecode = no_decode;
  try {
    message.LoadFromText(input);
  } catch (const kestrune::MessageError&) {
    return;
  }
  if (!no_decode) Show(message);
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
  if (no_decode) {
    // A fetched message as the view opens it: stored raw, loaded with decoding.
    kestrune::TIdMessage viewed;
    viewed.SetMaxMessageSize(kLimit * 2);
    try {
      viewed.LoadFromText(file);
    } catch (const kestrune::MessageError&) {
      return;
    }
    Show(viewed);
  }
}

void ExerciseUu(std::string_view input) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= input.size() && lines.size() < 4096) {
    std::size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    lines.emplace_back(input.substr(start, end - start));
    start = end + 1;
  }
  (void)kestrune::DecodeUuPart(lines);
  (void)kestrune::SplitUuBlocks(lines);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  Exercise(input, false);
  Exercise(input, true);
  ExerciseUu(input);
  (void)kestrune::CharsetToUtf8(input, "ISO-2022-JP");
  return 0;
}
