// ASCII case folding, comparison and %XX decoding.
#include "platform/ascii.h"

namespace kestrune {

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLowerChar(c);
  return out;
}

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiUpperChar(c);
  return out;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithIgnoringAsciiCase(a, b);
}

bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (AsciiLowerChar(text[i]) != AsciiLowerChar(prefix[i])) return false;
  }
  return true;
}

std::size_t FindIgnoringAsciiCase(std::string_view text, std::string_view needle,
                                  std::size_t from) {
  if (from > text.size() || needle.size() > text.size() - from) return std::string_view::npos;
  const std::size_t last = text.size() - needle.size();
  for (std::size_t i = from; i <= last; ++i) {
    if (StartsWithIgnoringAsciiCase(text.substr(i), needle)) return i;
  }
  return std::string_view::npos;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return TrimTrailingBlanks(text);
}

std::string_view TrimTrailingBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string DecodePercentEscapes(std::string_view text, bool plus_as_space) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && text.size() - i > 2 && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += (plus_as_space && c == '+') ? ' ' : c;
    }
  }
  return out;
}

}  // namespace kestrune
