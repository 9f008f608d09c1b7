// Block reading over the line decoders of mime_encoding: a block is a "begin" line, body
// lines of one alphabet (guessed from the first), and an "end" line.
#include "mail/uu_decoding.h"

#include <algorithm>
#include <array>

#include "mail/mime_encoding.h"
#include "platform/ascii.h"

namespace kestrune {
namespace {

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// Decodes body lines from lines[from] up to the "end" line. Returns the index of the
// "end" line (or lines.size()) and whether any line was decoded; stops early at the
// first line that is no block line when `strict`, skipping it otherwise.
struct BlockEnd {
  std::size_t end = 0;
  bool decoded_any = false;
  bool valid = true;
};

BlockEnd DecodeBlockLines(std::span<const std::string> lines, std::size_t from, bool strict,
                          std::string& content) {
  BlockEnd result;
  std::size_t first = from;
  while (first < lines.size() && TrimRight(lines[first]).empty()) ++first;
  const TUuAlphabet alphabet =
      GuessUuAlphabet(first < lines.size() ? std::string_view(lines[first]) : std::string_view());
  std::size_t i = from;
  for (; i < lines.size(); ++i) {
    std::string_view line = TrimRight(lines[i]);
    if (line == "end") break;
    if (line.empty()) continue;
    auto decoded = UuDecodeLine(line, alphabet);
    if (!decoded) {
      if (strict) {
        result.valid = false;
        break;
      }
      continue;
    }
    content += *decoded;
    result.decoded_any = true;
  }
  result.end = i;
  return result;
}

}  // namespace

bool IsUuTransferEncoding(std::string_view encoding) {
  static constexpr std::array<std::string_view, 6> kNames = {
      "x-uuencode", "uuencode", "x-uue", "uue", "x-uudecode", "x-xxencode"};
  return std::find(kNames.begin(), kNames.end(), encoding) != kNames.end();
}

TUuBlock DecodeUuPart(std::span<const std::string> lines) {
  TUuBlock block;
  std::size_t from = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (auto begin = ParseUuBeginLine(lines[i])) {
      block.FileName = std::move(begin->FileName);
      from = i + 1;
      break;
    }
  }
  DecodeBlockLines(lines, from, /*strict=*/false, block.Content);
  return block;
}

bool HasUuBeginLine(std::span<const std::string> lines) {
  return std::any_of(lines.begin(), lines.end(),
                     [](const std::string& line) { return ParseUuBeginLine(line).has_value(); });
}

TUuSplit SplitUuBlocks(std::span<const std::string> lines) {
  TUuSplit split;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto begin = ParseUuBeginLine(lines[i]);
    if (!begin) {
      split.Text.push_back(lines[i]);
      continue;
    }
    std::string content;
    BlockEnd block = DecodeBlockLines(lines, i + 1, /*strict=*/true, content);
    if (!block.valid || !block.decoded_any) {
      split.Text.push_back(lines[i]);
      continue;
    }
    split.Blocks.push_back(TUuBlock{std::move(begin->FileName), std::move(content)});
    i = block.end;  // the "end" line (or past the last line)
  }
  return split;
}

}  // namespace kestrune
