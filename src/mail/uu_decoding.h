// uuencoded and xxencoded content as mailers send it: a whole part in one of the "uuencode"
// transfer encodings, and "begin 644 name" blocks inside plain text.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// One decoded block: the name of its "begin" line ("" when the part had none) and the
// file's bytes.
struct TUuBlock {
  std::string FileName;
  std::string Content;
};

// Whether a Content-Transfer-Encoding value (lower case) names uuencoding: "x-uuencode",
// "uuencode", "x-uue", "uue", "x-uudecode" or "x-xxencode".
bool IsUuTransferEncoding(std::string_view encoding);

// The content of a part in a uuencode transfer encoding: the first block when the lines
// hold a "begin" line, else the lines read as block lines up to "end" or the first line
// that is none. Lines that are not block lines are skipped, so a damaged part still
// yields what can be read.
TUuBlock DecodeUuPart(std::span<const std::string> lines);

// Plain text lines split into the text and the well-formed blocks inside it. A "begin"
// line not followed by block lines stays text; a block cut off by the end of the text
// still yields what it holds.
struct TUuSplit {
  std::vector<std::string> Text;
  std::vector<TUuBlock> Blocks;
};
// Whether `lines` hold a line that opens a block (a cheap test before SplitUuBlocks).
bool HasUuBeginLine(std::span<const std::string> lines);
TUuSplit SplitUuBlocks(std::span<const std::string> lines);

}  // namespace kestrune
