// Template look-up, parsing and merging.
#include "web/toolkit/template_processor.h"

namespace kestrune {

std::optional<std::filesystem::path> TIWTemplateProcessorHTML::FindTemplate(
    const std::filesystem::path& template_dir, std::string_view class_name,
    TIWBrowser browser) const {
  return std::nullopt;
}

std::vector<TemplatePiece> ParseTemplate(std::string_view text) { return {}; }

std::optional<std::string> FindElementAttribute(const std::vector<TemplatePiece>& pieces,
                                                std::string_view element,
                                                std::string_view attribute) {
  return std::nullopt;
}

std::string DecodeAttributeText(std::string_view text) { return std::string(text); }

std::string MergeTemplate(const std::vector<TemplatePiece>& pieces, std::string_view url_base,
                          TemplateHost& host) {
  return {};
}

}  // namespace kestrune
