// HTML, attribute and script-string escaping shared by all output.
#include "platform/escape.h"

#include <cstdio>

namespace kestrune {

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
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
