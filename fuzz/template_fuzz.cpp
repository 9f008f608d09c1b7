// Template parsing and merging over arbitrary bytes: the parser must stay inside the
// text whatever the tags, quotes, comments and "{%" markers look like.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "web/toolkit/template_processor.h"

namespace {

class FixedHost : public kestrune::TemplateHost {
 public:
  std::string ControlHTML(std::string_view name) override {
    return name.size() % 2 ? std::string("<span>") + std::string(name) + "</span>" : "";
  }
  std::string HeadContent() override { return "<script></script>"; }
  std::optional<std::string> Title() override { return std::string("T"); }
  std::string BodyOpen(const std::vector<kestrune::TemplateAttribute>& body) override {
    return "<body " + std::to_string(body.size()) + ">";
  }
  std::string BodyClose() override { return "</body>"; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto pieces = kestrune::ParseTemplate(text);
  FixedHost host;
  kestrune::MergeTemplate(pieces, "/base", host);
  kestrune::FindElementAttribute(pieces, "body", "onload");
  for (const auto& piece : pieces) {
    for (const auto& attribute : piece.attributes) kestrune::DecodeAttributeText(attribute.value);
  }
  kestrune::DecodeAttributeText(text);
  return 0;
}
