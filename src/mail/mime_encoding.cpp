// Transfer encodings and encoded words. Decoders are lenient (mail in the wild bends
// every rule) but never read outside their input; encoders are strict.
#include "mail/mime_encoding.h"

#include <array>
#include <cstdint>

#include "mail/charset.h"
#include "platform/ascii.h"
#include "platform/text_encoding.h"

namespace kestrune {
namespace {

constexpr std::string_view kXxAlphabet =
    "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr std::size_t kBase64LineLength = 76;
constexpr std::size_t kQuotedPrintableLineLength = 76;
constexpr std::size_t kEncodedWordMaxLength = 75;
// A header line may not exceed 998 characters and a word cannot be folded; a longer
// word (with room left for a field name) is written as encoded words, which can.
constexpr std::size_t kMaxPlainWordLength = 900;

char HexDigit(int value) { return "0123456789ABCDEF"[value & 15]; }

std::string_view TrimTrailingBlanksAndCr(std::string_view text) {
  while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

std::string QDecodeWord(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '_') {
      out += ' ';
    } else if (c == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

// One encoded word "=?charset?E?text?=" starting at `pos`: its charset, its decoded
// bytes and the position after it, or nullopt when the text there is no well-formed
// encoded word.
struct EncodedWord {
  std::string_view charset;
  std::string bytes;
  std::size_t end;
};

// Finds encoded words in one header value. The text of a word holds no blanks, so it
// ends at the first "?=" or fails at the first blank; a stretch found to hold neither
// "?=" nor a blank is remembered, so that a value full of "=?" that never close is read
// once rather than once per "=?".
class EncodedWordScanner {
 public:
  explicit EncodedWordScanner(std::string_view value) : value_(value) {}

  std::optional<EncodedWord> Parse(std::size_t pos) {
    if (value_.compare(pos, 2, "=?") != 0) return std::nullopt;
    std::size_t charset_end = value_.find('?', pos + 2);
    if (charset_end == std::string_view::npos || charset_end + 2 >= value_.size()) {
      return std::nullopt;
    }
    char encoding = value_[charset_end + 1];
    if (value_[charset_end + 2] != '?') return std::nullopt;
    std::size_t text_begin = charset_end + 3;
    std::optional<std::size_t> text_end = FindTextEnd(text_begin);
    if (!text_end) return std::nullopt;
    std::string_view charset = value_.substr(pos + 2, charset_end - pos - 2);
    std::string_view text = value_.substr(text_begin, *text_end - text_begin);
    if (charset.empty()) return std::nullopt;
    if (std::size_t star = charset.find('*'); star != std::string_view::npos) {
      charset = charset.substr(0, star);  // RFC 2231 language suffix
    }
    std::string bytes;
    if (encoding == 'B' || encoding == 'b') {
      bytes = Base64Decode(text);
    } else if (encoding == 'Q' || encoding == 'q') {
      bytes = QDecodeWord(text);
    } else {
      return std::nullopt;
    }
    return EncodedWord{charset, std::move(bytes), *text_end + 2};
  }

 private:
  // The position of the "?=" that ends a word's text starting at `begin`, or nullopt
  // when a blank or the end of the value comes first.
  std::optional<std::size_t> FindTextEnd(std::size_t begin) {
    if (begin >= dead_begin_ && begin < dead_end_) return std::nullopt;
    std::size_t i = begin;
    for (; i < value_.size(); ++i) {
      char c = value_[i];
      if (IsBlank(c) || c == '\r' || c == '\n') break;
      if (c == '?' && i + 1 < value_.size() && value_[i + 1] == '=') return i;
    }
    // Every word whose text starts in [begin, i) would run into the same blank or end.
    dead_begin_ = begin;
    dead_end_ = i;
    return std::nullopt;
  }

  std::string_view value_;
  std::size_t dead_begin_ = 0;
  std::size_t dead_end_ = 0;
};

bool NeedsEncoding(std::string_view word) {
  if (word.size() > kMaxPlainWordLength) return true;
  for (unsigned char c : word) {
    if (c < 0x20 || c >= 0x7F) return true;
  }
  return word.find("=?") != std::string_view::npos;
}

std::size_t Utf8SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

}  // namespace

void ForEachBase64Line(std::string_view bytes, const std::function<void(std::string_view)>& line) {
  // 57 bytes are one line of 76 characters; every slice but the last is a multiple of 3,
  // so the lines are those of the whole encoding cut every 76 characters.
  constexpr std::size_t kBytesPerLine = kBase64LineLength / 4 * 3;
  for (std::size_t pos = 0; pos < bytes.size(); pos += kBytesPerLine) {
    line(Base64Encode(bytes.substr(pos, kBytesPerLine)));
  }
}

std::vector<std::string> Base64EncodeLines(std::string_view bytes) {
  std::vector<std::string> lines;
  lines.reserve(bytes.size() / (kBase64LineLength / 4 * 3) + 1);
  ForEachBase64Line(bytes, [&lines](std::string_view text) { lines.emplace_back(text); });
  return lines;
}

std::string QuotedPrintableDecode(std::span<const std::string> lines) {
  std::string out;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    std::string_view line = TrimTrailingBlanksAndCr(lines[n]);
    bool soft_break = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
      char c = line[i];
      if (c != '=') {
        out += c;
      } else if (i + 1 == line.size()) {
        soft_break = true;
      } else if (i + 2 < line.size() && HexValue(line[i + 1]) >= 0 && HexValue(line[i + 2]) >= 0) {
        out += static_cast<char>(HexValue(line[i + 1]) * 16 + HexValue(line[i + 2]));
        i += 2;
      } else {
        out += c;
      }
    }
    if (!soft_break && n + 1 < lines.size()) out += "\r\n";
  }
  return out;
}

std::vector<std::string> QuotedPrintableEncodeLines(std::string_view bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    bool last = end == std::string_view::npos;
    std::string_view source = bytes.substr(start, last ? std::string_view::npos : end - start);
    if (!last && !source.empty() && source.back() == '\r') source.remove_suffix(1);
    std::string line;
    for (std::size_t i = 0; i < source.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(source[i]);
      bool at_end = i + 1 == source.size();
      std::string piece;
      if ((c >= 33 && c <= 126 && c != '=') || (IsBlank(static_cast<char>(c)) && !at_end)) {
        piece = static_cast<char>(c);
      } else {
        piece = {'=', HexDigit(c >> 4), HexDigit(c)};
      }
      // Keep room for the soft break "=" within the line length.
      if (line.size() + piece.size() > kQuotedPrintableLineLength - 1) {
        lines.push_back(line + "=");
        line.clear();
      }
      line += piece;
    }
    lines.push_back(std::move(line));
    if (last) break;
    start = end + 1;
  }
  return lines;
}

std::optional<TUuBegin> ParseUuBeginLine(std::string_view line) {
  if (line.substr(0, 6) != "begin ") return std::nullopt;
  std::size_t pos = 6;
  std::size_t mode_start = pos;
  while (pos < line.size() && line[pos] >= '0' && line[pos] <= '7') ++pos;
  std::size_t mode_length = pos - mode_start;
  if (mode_length < 3 || mode_length > 4 || pos >= line.size() || line[pos] != ' ') {
    return std::nullopt;
  }
  std::string_view name = TrimTrailingBlanksAndCr(line.substr(pos + 1));
  if (name.empty()) return std::nullopt;
  return TUuBegin{std::string(name)};
}

TUuAlphabet GuessUuAlphabet(std::string_view first_line) {
  first_line = TrimTrailingBlanksAndCr(first_line);
  if (first_line.empty()) return TUuAlphabet::kUu;
  // The first character counts the line's bytes: the alphabet whose count matches the
  // characters that follow it wins (a uuencoded line may have lost trailing blanks).
  const auto groups = [](std::size_t bytes) { return (bytes + 2) / 3 * 4; };
  const std::size_t data = first_line.size() - 1;
  const char count = first_line[0];
  std::size_t xx_index = kXxAlphabet.find(count);
  if (xx_index != std::string_view::npos && groups(xx_index) == data) return TUuAlphabet::kXx;
  if (count >= 32 && count <= 96) {
    std::size_t uu_bytes = static_cast<std::size_t>((count - 32) & 63);
    if (data <= groups(uu_bytes) && data + 4 >= groups(uu_bytes)) return TUuAlphabet::kUu;
  }
  return xx_index != std::string_view::npos ? TUuAlphabet::kXx : TUuAlphabet::kUu;
}

std::optional<std::string> UuDecodeLine(std::string_view line, TUuAlphabet alphabet) {
  auto value_of = [alphabet](char c) -> int {
    if (alphabet == TUuAlphabet::kXx) {
      std::size_t index = kXxAlphabet.find(c);
      return index == std::string_view::npos ? -1 : static_cast<int>(index);
    }
    if (c < 32 || c > 96) return -1;
    return (c - 32) & 63;
  };
  if (line.empty()) return std::nullopt;
  int length = value_of(line[0]);
  if (length < 0) return std::nullopt;
  std::size_t groups = (static_cast<std::size_t>(length) + 2) / 3;
  std::string_view data = line.substr(1);
  // Some encoders strip trailing blanks (value 0 in uuencode); missing characters are 0.
  if (data.size() + (alphabet == TUuAlphabet::kUu ? 4 : 0) < groups * 4) return std::nullopt;
  std::string out;
  out.reserve(groups * 3);
  for (std::size_t g = 0; g < groups; ++g) {
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      std::size_t index = g * 4 + k;
      int value = index < data.size() ? value_of(data[index]) : 0;
      if (value < 0) return std::nullopt;
      v = (v << 6) | static_cast<std::uint32_t>(value);
    }
    out += static_cast<char>((v >> 16) & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
    out += static_cast<char>(v & 0xFF);
  }
  out.resize(static_cast<std::size_t>(length));
  return out;
}

std::string DecodeHeaderWords(std::string_view value) {
  EncodedWordScanner scanner(value);
  std::string out;
  std::string pending_gap;  // blanks after an encoded word, dropped if another follows
  bool after_word = false;
  std::size_t pos = 0;
  std::string plain;
  // Adjacent words in one charset are converted together: some senders cut a
  // multi-byte character between two words.
  std::string_view word_charset;
  std::string word_bytes;
  auto flush_plain = [&] {
    if (!plain.empty()) {
      out += BytesToUtf8(plain);
      plain.clear();
    }
  };
  auto flush_word = [&] {
    if (!word_bytes.empty()) out += CharsetToUtf8(word_bytes, word_charset);
    word_bytes.clear();
    word_charset = {};
  };
  while (pos < value.size()) {
    if (value[pos] == '=' && pos + 1 < value.size() && value[pos + 1] == '?') {
      if (auto word = scanner.Parse(pos)) {
        flush_plain();
        if (!after_word) out += pending_gap;
        pending_gap.clear();
        if (!EqualsIgnoringAsciiCase(word->charset, word_charset)) flush_word();
        word_charset = word->charset;
        word_bytes += word->bytes;
        pos = word->end;
        after_word = true;
        continue;
      }
    }
    if (after_word && (IsBlank(value[pos]) || value[pos] == '\r' || value[pos] == '\n')) {
      pending_gap += value[pos] == '\t' ? '\t' : ' ';
      ++pos;
      continue;
    }
    if (after_word) {
      flush_word();
      plain += pending_gap;
      pending_gap.clear();
      after_word = false;
    }
    plain += value[pos++];
  }
  flush_word();
  flush_plain();
  out += pending_gap;
  for (char& c : out) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return out;
}

std::string EncodeHeaderWords(std::string_view text) {
  // Words are separated by single blanks; find the first and last needing encoding.
  std::vector<std::string_view> words;
  for (std::size_t start = 0;;) {
    std::size_t end = text.find(' ', start);
    words.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  std::size_t first = words.size(), last = 0;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (NeedsEncoding(words[i])) {
      if (first == words.size()) first = i;
      last = i;
    }
  }
  if (first == words.size()) return std::string(text);

  std::string span;
  for (std::size_t i = first; i <= last; ++i) {
    if (i > first) span += ' ';
    span += words[i];
  }
  constexpr std::string_view kPrefix = "=?UTF-8?B?";
  constexpr std::size_t kMaxChunkBytes = (kEncodedWordMaxLength - kPrefix.size() - 2) / 4 * 3;
  std::string encoded;
  std::size_t pos = 0;
  while (pos < span.size()) {
    std::size_t chunk_end = pos;
    while (chunk_end < span.size()) {
      std::size_t length = Utf8SequenceLength(static_cast<unsigned char>(span[chunk_end]));
      if (chunk_end + length > span.size()) length = span.size() - chunk_end;
      if (chunk_end + length - pos > kMaxChunkBytes) break;
      chunk_end += length;
    }
    if (chunk_end == pos) chunk_end = pos + 1;
    if (!encoded.empty()) encoded += ' ';
    encoded += kPrefix;
    encoded += Base64Encode(span.substr(pos, chunk_end - pos));
    encoded += "?=";
    pos = chunk_end;
  }

  std::string out;
  for (std::size_t i = 0; i < first; ++i) out.append(words[i]).append(" ");
  out += encoded;
  for (std::size_t i = last + 1; i < words.size(); ++i) out.append(" ").append(words[i]);
  return out;
}

}  // namespace kestrune
