// Text inside the program is UTF-8. Data files written by older installations hold
// single-byte Windows-1252 text, so bytes that are not valid UTF-8 are read as
// Windows-1252.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/ascii.h"  // the case folding used with these texts

namespace kestrune {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text);

// The longest prefix length of at most max_bytes that does not split a character.
// Bytes that are not part of a valid sequence count as one character each.
std::size_t Utf8PrefixLength(std::string_view text, std::size_t max_bytes);

// text cut to at most max_bytes at a character boundary.
std::string CutUtf8(std::string_view text, std::size_t max_bytes);

// Appends code point code (at most U+10FFFF) to out as UTF-8.
void AppendUtf8(std::string& out, char32_t code);

// Every byte read as Windows-1252 (the five undefined bytes 81, 8D, 8F, 90, 9D map to
// the C1 control characters of the same number, as Windows itself converts them).
std::string Windows1252ToUtf8(std::string_view bytes);

// bytes as they are when they are valid UTF-8, else read as Windows-1252.
std::string BytesToUtf8(std::string_view bytes);

}  // namespace kestrune
