// Transfer encodings, encoded words and charset conversion.
#include "mail/mime_encoding.h"

#include <gtest/gtest.h>

#include "mail/charset.h"

namespace kestrune {
namespace {

TEST(Base64, EncodesInLinesOf76) {
  std::string bytes(100, '\xff');
  auto lines = Base64EncodeLines(bytes);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 76u);
  EXPECT_EQ(Base64Decode(lines[0] + lines[1]), bytes);
}

TEST(Base64, LinesMadePieceByPieceAreTheWholeEncodingCutEvery76Characters) {
  for (std::size_t size : {0u, 1u, 56u, 57u, 58u, 113u, 114u, 115u, 1000u}) {
    std::string bytes;
    for (std::size_t i = 0; i < size; ++i) bytes += static_cast<char>(i * 37 + 11);
    const std::string whole = Base64Encode(bytes);
    std::string joined;
    std::size_t count = 0;
    ForEachBase64Line(bytes, [&](std::string_view line) {
      EXPECT_LE(line.size(), 76u);
      if (joined.size() + line.size() < whole.size()) EXPECT_EQ(line.size(), 76u) << size;
      joined += line;
      ++count;
    });
    EXPECT_EQ(joined, whole) << size;
    EXPECT_EQ(count, (whole.size() + 75) / 76) << size;
  }
}

TEST(QuotedPrintable, DecodesSoftBreaksAndKeepsMalformedEscapes) {
  EXPECT_EQ(QuotedPrintableDecode(std::vector<std::string>{"a=3Db =", "c  ", "d=4", "=ZZ"}),
            "a=b c\r\nd=4\r\n=ZZ");
  EXPECT_EQ(QuotedPrintableDecode(std::vector<std::string>{""}), "");
}

TEST(QuotedPrintable, EncodesWithinLineLengthAndRoundTrips) {
  std::string text =
      "Gr\xc3\xbc\xc3\x9f"
      "e = " +
      std::string(100, 'x') + " \r\nnext\t";
  auto lines = QuotedPrintableEncodeLines(text);
  for (const auto& line : lines) EXPECT_LE(line.size(), 76u) << line;
  EXPECT_EQ(lines[0].substr(0, 16), "Gr=C3=BC=C3=9Fe ");
  EXPECT_EQ(lines.back(), "next=09") << "trailing blank encoded";
  EXPECT_EQ(QuotedPrintableDecode(lines), text);
}

TEST(Uuencode, ParsesBeginLinesAndDecodesBothAlphabets) {
  auto begin = ParseUuBeginLine("begin 644 my file.txt");
  ASSERT_TRUE(begin);
  EXPECT_EQ(begin->FileName, "my file.txt");
  EXPECT_FALSE(ParseUuBeginLine("begin the meeting at 10"));
  EXPECT_FALSE(ParseUuBeginLine("begin 644 "));
  EXPECT_EQ(UuDecodeLine("#0V%T", TUuAlphabet::kUu), "Cat");
  EXPECT_EQ(UuDecodeLine("`", TUuAlphabet::kUu), "");
  EXPECT_FALSE(UuDecodeLine("M", TUuAlphabet::kUu)) << "45 bytes announced, none present";
  EXPECT_EQ(UuDecodeLine("1Eq3o", TUuAlphabet::kXx), "Cat");
  EXPECT_EQ(GuessUuAlphabet("h4Vl"), TUuAlphabet::kXx);
}

TEST(EncodedWords, DecodeJoinsAdjacentWordsAndKeepsPlainText) {
  EXPECT_EQ(DecodeHeaderWords("=?ISO-8859-1?Q?Caf=E9_au?= =?utf-8?B?bGFpdA==?= ok"),
            "Café aulait ok");
  EXPECT_EQ(DecodeHeaderWords("a =?utf-8?q?b?= c"), "a b c");
  EXPECT_EQ(DecodeHeaderWords("=?utf-8?X?bad?= =?broken"), "=?utf-8?X?bad?= =?broken");
  EXPECT_EQ(DecodeHeaderWords("=?utf-8*en?Q?hi?="), "hi") << "language suffix";
  EXPECT_EQ(DecodeHeaderWords("caf\xe9"), "café") << "raw 8-bit read as Windows-1252";
  EXPECT_EQ(DecodeHeaderWords("=?utf-8?B?YQBi?="), "a b") << "NUL made a blank";
}

TEST(EncodedWords, CharacterSplitAcrossAdjacentWordsIsJoinedBeforeConversion) {
  // Some senders cut a multi-byte character between two encoded words.
  EXPECT_EQ(DecodeHeaderWords("=?UTF-8?Q?caf=C3?= =?utf-8?Q?=A9_ok?="), "café ok");
  EXPECT_EQ(DecodeHeaderWords("=?UTF-8?B?5pel?= =?UTF-8?B?5pys?="), "日本");
  EXPECT_EQ(DecodeHeaderWords("=?ISO-8859-1?Q?=E9?= =?UTF-8?Q?=C3=A9?="), "éé")
      << "words in different charsets are converted each on its own";
}

TEST(EncodedWords, LongValuesFullOfUnterminatedWordsStayPlainText) {
  // Each "=?" opens a word that never closes: the value is read once, not once per "=?".
  std::string no_blanks;
  std::string with_blanks;
  while (no_blanks.size() < (1u << 20)) {
    no_blanks += "=?cs?Q?b";
    with_blanks += "=?cs?Q?b ";
  }
  EXPECT_EQ(DecodeHeaderWords(no_blanks), no_blanks);
  EXPECT_EQ(DecodeHeaderWords(with_blanks), with_blanks);
  EXPECT_EQ(DecodeHeaderWords(no_blanks + "?="), no_blanks.substr(7))
      << "one closing mark at the end makes the whole value one word";
}

TEST(EncodedWords, EncodeOnlyTheSpanThatNeedsItAndRoundTrip) {
  EXPECT_EQ(EncodeHeaderWords("plain subject"), "plain subject");
  EXPECT_EQ(EncodeHeaderWords("Re: Grüße"), "Re: =?UTF-8?B?R3LDvMOfZQ==?=");
  EXPECT_EQ(EncodeHeaderWords("say =?x?Q?y?="), "say =?UTF-8?B?PT94P1E/eT89?=");
  std::string long_text;
  for (int i = 0; i < 40; ++i) long_text += "日本";
  std::string encoded = EncodeHeaderWords("x " + long_text + " y");
  std::size_t start = 0;
  while (start < encoded.size()) {
    std::size_t end = encoded.find(' ', start);
    if (end == std::string::npos) end = encoded.size();
    EXPECT_LE(end - start, 75u);
    start = end + 1;
  }
  EXPECT_EQ(DecodeHeaderWords(encoded), "x " + long_text + " y");
}

TEST(Charsets, ConvertAliasesAndFallBackSafely) {
  EXPECT_EQ(CharsetToUtf8("\xe9", "ISO-8859-1"), "é");
  EXPECT_EQ(CharsetToUtf8("\x93q\x94", "iso-8859-1"), "“q”") << "read as its superset";
  EXPECT_EQ(CharsetToUtf8("\xf0\xd2\xc9", "koi8-r"), "При");
  EXPECT_EQ(CharsetToUtf8("\x93\xfa\x96\x7b", "x-sjis"), "日本");
  EXPECT_EQ(CharsetToUtf8("\x1b$BF|K\\\x1b(B", "ISO-2022-JP"), "日本");
  EXPECT_EQ(CharsetToUtf8("caf\xc3\xa9", "no-such-charset"), "café");
  EXPECT_EQ(CharsetToUtf8("a\xff"
                          "b",
                          "utf-8"),
            "aÿb");
  EXPECT_EQ(CharsetToUtf8("\xa4", "euc-jp"), "\xEF\xBF\xBD") << "truncated sequence";
  EXPECT_TRUE(IsKnownCharset("Shift_JIS"));
  EXPECT_FALSE(IsKnownCharset("no-such-charset"));
}

}  // namespace
}  // namespace kestrune
