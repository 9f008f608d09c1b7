// The HTML mail sanitiser over arbitrary bytes. The first byte chooses whether remote
// content is allowed (bit 0) and whether the fragment has a frame of its own (bit 1);
// the rest is the mail's HTML. The output, parsed again as a browser
// parses it, may hold only allow-listed elements, attributes, URL schemes and style
// text, and so may the output of a second pass over it. Sanitising is not idempotent
// for every input: the parser builds trees that no markup parses to (a <p> or <h6>
// inside another after misnested formatting tags, tables inside paragraphs of a
// quirks-mode document), and the output of such a tree parses to another tree, which
// can take more passes to settle. The unit tests hold idempotence for the known vectors.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "../tests/mail/html_safety_check.h"
#include "mail/html_sanitiser.h"

namespace {

kestrune::SanitiseOptions Options(bool allow_remote, bool own_frame) {
  kestrune::SanitiseOptions options;
  options.allow_remote = allow_remote;
  options.own_frame = own_frame;
  // One known inline image and one part that is no image.
  options.resolve_cid = [](std::string_view id) -> std::string {
    if (id == "img") return "data:image/gif;base64,R0lGODlhAQABAAAAACw=";
    if (id == "page") return "data:text/html,<script>alert(1)</script>";
    return "";
  };
  return options;
}

[[noreturn]] void Fail(const char* what, const std::string& output) {
  std::fprintf(stderr, "%s\n--- output ---\n%s\n", what, output.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool allow_remote = (data[0] & 1) != 0;
  const std::string_view html(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool own_frame = (data[0] & 2) == 0;
  const kestrune::SanitiseOptions options = Options(allow_remote, own_frame);
  const std::string out = kestrune::SanitiseHtml(html, options).html;
  const auto problems = kestrune::testing_html::UnsafeParts(out, allow_remote);
  if (!problems.empty()) Fail(problems.front().c_str(), out);
  const std::string second = kestrune::SanitiseHtml(out, options).html;
  const auto second_problems = kestrune::testing_html::UnsafeParts(second, allow_remote);
  if (!second_problems.empty()) Fail(second_problems.front().c_str(), second);
  if (!own_frame && out.find("<style") != std::string::npos) Fail("style sheet kept", out);
  return 0;
}
