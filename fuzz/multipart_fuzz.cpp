// Feeds arbitrary bytes to the form body parsers: the first line is the boundary (or
// content type), the rest the body. Parsers must either succeed or raise FormDataError.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "web/toolkit/multipart.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto newline = input.find('\n');
  const std::string_view head = input.substr(0, newline);
  const std::string_view body =
      newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
  try {
    if (const auto boundary = kestrune::MultipartBoundary(head)) {
      for (const auto& part : kestrune::ParseMultipart(body, *boundary)) {
        // Every part must point inside the body.
        if (!part.data.empty() &&
            (part.data.data() < body.data() ||
             part.data.data() + part.data.size() > body.data() + body.size())) {
          __builtin_trap();
        }
      }
    }
    kestrune::ParseMultipart(body, head.substr(0, 70));
  } catch (const kestrune::FormDataError&) {
  }
  kestrune::ParseUrlEncoded(body);
  return 0;
}
