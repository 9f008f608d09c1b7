// ASCII-only text helpers shared by every protocol and file format: letter case folding and
// comparison (A-Z equal a-z, every other byte exact), hexadecimal digits and %XX escapes.
// Protocol keywords, header names and user names are compared with these, never with the
// locale's tolower.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrune {

constexpr char AsciiLowerChar(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr char AsciiUpperChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// A-Z folded to a-z (or a-z to A-Z), every other byte unchanged.
std::string AsciiLower(std::string_view text);
std::string AsciiUpper(std::string_view text);

// Whole-string comparison where A-Z equal a-z; every other byte must match exactly.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);
bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix);
// The position of the first `needle` at or after `from`, letters of any case, or npos.
// An empty needle is found at `from` (when from <= text.size()).
std::size_t FindIgnoringAsciiCase(std::string_view text, std::string_view needle,
                                  std::size_t from = 0);

// A blank is a space or a horizontal tab, as header grammars define it.
constexpr bool IsBlank(char c) { return c == ' ' || c == '\t'; }
// text without leading and trailing blanks (TrimBlanks), or without the trailing ones.
std::string_view TrimBlanks(std::string_view text);
std::string_view TrimTrailingBlanks(std::string_view text);

// 0-15 for 0-9, A-F, a-f; -1 for anything else.
constexpr int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "%XX" with two hexadecimal digits becomes the byte; a "%" not followed by two digits is
// kept as it stands. With plus_as_space (form bodies and query strings) "+" is a blank.
std::string DecodePercentEscapes(std::string_view text, bool plus_as_space = false);

}  // namespace kestrune
