// Escaping of control characters for log lines and one-line messages.
#include "log/visible_text.h"

#include <algorithm>

namespace kestrune {
namespace {

constexpr std::string_view kCutMark = "...";

// The escape of one byte, or the byte itself.
std::string_view EscapeOf(char c, char (&buffer)[5]) {
  switch (c) {
    case '\r':
      return "\\r";
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    default:
      break;
  }
  const auto byte = static_cast<unsigned char>(c);
  if (byte < 0x20 || byte == 0x7f) {
    static constexpr char kHex[] = "0123456789abcdef";
    buffer[0] = '\\';
    buffer[1] = 'x';
    buffer[2] = kHex[byte >> 4];
    buffer[3] = kHex[byte & 0x0f];
    return std::string_view(buffer, 4);
  }
  buffer[0] = c;
  return std::string_view(buffer, 1);
}

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xc0) == 0x80; }

// Bytes a UTF-8 sequence has by its lead byte (1 for anything that is not a lead byte).
std::size_t SequenceLength(char lead) {
  const auto byte = static_cast<unsigned char>(lead);
  if (byte >= 0xf0) return 4;
  if (byte >= 0xe0) return 3;
  if (byte >= 0xc0) return 2;
  return 1;
}

// Removes a UTF-8 sequence that a cut left without all of its bytes.
void DropIncompleteCharacter(std::string& text) {
  std::size_t start = text.size();
  while (start > 0 && text.size() - start < 4 && IsContinuationByte(text[start - 1])) --start;
  if (start == 0) return;
  const std::size_t lead = start - 1;
  if (SequenceLength(text[lead]) > text.size() - lead) text.resize(lead);
}

}  // namespace

std::string VisibleText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char buffer[5];
  for (char c : text) out += EscapeOf(c, buffer);
  return out;
}

std::string VisibleTextLimited(std::string_view text, std::size_t max_bytes) {
  std::string out;
  out.reserve(std::min(text.size(), max_bytes));
  char buffer[5];
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::string_view piece = EscapeOf(text[i], buffer);
    if (out.size() + piece.size() > max_bytes) {
      // Make room for the mark, then step back to the start of a character so that
      // no UTF-8 sequence is left half written.
      const std::size_t room = max_bytes >= kCutMark.size() ? max_bytes - kCutMark.size() : 0;
      if (out.size() > room) out.resize(room);
      DropIncompleteCharacter(out);
      out += kCutMark.substr(0, std::min(kCutMark.size(), max_bytes));
      return out;
    }
    out += piece;
  }
  return out;
}

}  // namespace kestrune
