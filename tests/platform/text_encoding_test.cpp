#include "platform/text_encoding.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(IsValidUtf8, AcceptsWellFormedTextOnly) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("plain ASCII"));
  EXPECT_TRUE(IsValidUtf8("Grüße, € and \xF0\x9F\x93\xAB"));
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(IsValidUtf8("\xE0\x80\xAF"));      // overlong three-byte form
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(IsValidUtf8("ab\xC3"));            // cut inside a character
  EXPECT_FALSE(IsValidUtf8("\xA9"));              // lone continuation byte
  EXPECT_FALSE(IsValidUtf8("M\xFCller"));         // Windows-1252
}

TEST(CutUtf8, NeverSplitsACharacter) {
  EXPECT_EQ(CutUtf8("h\xC3\xA9llo", 1), "h");
  EXPECT_EQ(CutUtf8("h\xC3\xA9llo", 2), "h");
  EXPECT_EQ(CutUtf8("h\xC3\xA9llo", 3), "h\xC3\xA9");
  EXPECT_EQ(CutUtf8("\xF0\x9F\x93\xAB!", 3), "");
  EXPECT_EQ(CutUtf8("\xF0\x9F\x93\xAB!", 4), "\xF0\x9F\x93\xAB");
  EXPECT_EQ(CutUtf8("short", 255), "short");
  // Bytes outside any valid sequence count one each.
  EXPECT_EQ(CutUtf8("a\xFF\xFE"
                    "b",
                    3),
            "a\xFF\xFE");
  EXPECT_EQ(Utf8PrefixLength("abc", 0), 0u);
}

TEST(Windows1252ToUtf8, MapsTheHighHalfAsWindowsDoes) {
  EXPECT_EQ(Windows1252ToUtf8("M\xFCller"), "Müller");
  EXPECT_EQ(Windows1252ToUtf8("\x80 \x9F \x99"), "€ Ÿ ™");
  EXPECT_EQ(Windows1252ToUtf8("\x81\x8D\x8F\x90\x9D"), "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D");
  EXPECT_EQ(Windows1252ToUtf8("\xA0\xFF"), "\xC2\xA0\xC3\xBF");
  EXPECT_EQ(Windows1252ToUtf8(std::string_view("a\0b", 3)), std::string("a\0b", 3));
}

TEST(BytesToUtf8, KeepsValidUtf8AndReadsAnythingElseAsWindows1252) {
  EXPECT_EQ(BytesToUtf8("Müller"), "Müller");
  EXPECT_EQ(BytesToUtf8("M\xFCller"), "Müller");
  // One bad byte makes the whole text Windows-1252, as an older installation wrote it.
  EXPECT_EQ(BytesToUtf8("\xC3\xA9\xE9"), "Ã©é");
}

}  // namespace
}  // namespace kestrune
