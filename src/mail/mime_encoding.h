// The content transfer encodings of mail (base64, quoted-printable, uuencode and
// xxencode) and RFC 2047 encoded words in header fields.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base64.h"

namespace kestrune {

// Base64 of `bytes`, in lines of 76 characters.
std::vector<std::string> Base64EncodeLines(std::string_view bytes);
// The same lines handed to `line` one at a time, so that a big attachment is never held a
// second time as its whole encoding.
void ForEachBase64Line(std::string_view bytes, const std::function<void(std::string_view)>& line);

// Decodes quoted-printable lines: "=XX" becomes the byte, "=" at a line end joins the
// line with the next, trailing blanks are dropped, other lines end with CR LF (none after
// the last). A malformed "=" sequence is kept literally.
std::string QuotedPrintableDecode(std::span<const std::string> lines);
// Encodes bytes as quoted-printable lines of at most 76 characters; a CR LF or LF in the
// bytes ends a line.
std::vector<std::string> QuotedPrintableEncodeLines(std::string_view bytes);

// A uuencoded ("begin 644 name") or xxencoded block: whether `line` opens one, and the
// bytes of one body line of such a block (nullopt when the line is not a valid body line).
struct TUuBegin {
  std::string FileName;
};
std::optional<TUuBegin> ParseUuBeginLine(std::string_view line);
enum class TUuAlphabet { kUu, kXx };
std::optional<std::string> UuDecodeLine(std::string_view line, TUuAlphabet alphabet);
// Guesses the alphabet of a block from its first body line.
TUuAlphabet GuessUuAlphabet(std::string_view first_line);

// Decodes the RFC 2047 encoded words of a header value into UTF-8; blanks between
// adjacent encoded words are dropped; text outside encoded words is taken as UTF-8 when
// valid, else as Windows-1252. CR, LF and NUL in the result become blanks.
std::string DecodeHeaderWords(std::string_view value);

// Encodes `text` (UTF-8) for a header: unchanged when it is printable US-ASCII, holds
// nothing that looks like an encoded word and no word too long for a header line
// (over 900 characters); otherwise the span from the first to the last
// word needing it becomes UTF-8 "B" encoded words of at most 75 characters, separated
// by blanks.
std::string EncodeHeaderWords(std::string_view text);

}  // namespace kestrune
