// Conversion of mail text from the charset a message names to UTF-8, through iconv.
// Mail names charsets loosely, so common aliases and supersets are mapped first.
#pragma once

#include <string>
#include <string_view>

namespace kestrune {

// `bytes` in `charset` converted to UTF-8. An empty, unknown or unusable charset gives
// the bytes as they are when they are valid UTF-8, else read as Windows-1252. Invalid
// sequences become U+FFFD; the conversion never fails.
std::string CharsetToUtf8(std::string_view bytes, std::string_view charset);

// Whether iconv can convert from `charset` (after alias mapping).
bool IsKnownCharset(std::string_view charset);

}  // namespace kestrune
