// HTML, attribute and script-string escaping shared by all output.
#include "platform/escape.h"

#include <array>
#include <cstdio>

namespace kestrune {

void AppendHtmlEscaped(std::string& out, std::string_view text) {
  // Most text holds none of the five characters: the runs between them are copied whole.
  static constexpr auto kPlain = [] {
    std::array<bool, 256> plain{};
    plain.fill(true);
    for (const unsigned char c : std::string_view("&<>\"'")) plain[c] = false;
    return plain;
  }();
  std::size_t from = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (kPlain[static_cast<unsigned char>(text[at])]) continue;
    const char* entity = nullptr;
    switch (text[at]) {
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '"': entity = "&quot;"; break;
      case '\'': entity = "&#39;"; break;
      default: continue;
    }
    out.append(text.substr(from, at - from));
    out += entity;
    from = at + 1;
  }
  out.append(text.substr(from));
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  AppendHtmlEscaped(out, text);
  return out;
}

std::string ScriptStringEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\'': out += "\\'"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '<': out += "\\x3C"; break;
      case '>': out += "\\x3E"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char buffer[5];
          std::snprintf(buffer, sizeof buffer, "\\x%02X", byte);
          out += buffer;
        } else {
          out += c;
        }
    }
  }
  return out;
}

}  // namespace kestrune
