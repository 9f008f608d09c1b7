#include "platform/ascii.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(AsciiCase, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(EqualsIgnoringAsciiCase("ADMIN", "Admin"));
  EXPECT_TRUE(EqualsIgnoringAsciiCase("", ""));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("Admin", "Admin "));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("@[", "`{"));  // differ by 0x20 but are not letters
  EXPECT_FALSE(EqualsIgnoringAsciiCase("é", "É"));
  EXPECT_EQ(AsciiLower("MixedCase-É@"), "mixedcase-É@");
  EXPECT_EQ(AsciiUpper("mixedcase-é`{"), "MIXEDCASE-é`{");
}

TEST(AsciiCase, StartsWithAndFindAnyCase) {
  EXPECT_TRUE(StartsWithIgnoringAsciiCase("auth LOGIN", "AUTH "));
  EXPECT_FALSE(StartsWithIgnoringAsciiCase("AUT", "AUTH"));
  EXPECT_EQ(FindIgnoringAsciiCase("one {%content%} two {%CONTENT%}", "{%Content%}"), 4u);
  EXPECT_EQ(FindIgnoringAsciiCase("one {%content%} two {%CONTENT%}", "{%Content%}", 5), 20u);
  EXPECT_EQ(FindIgnoringAsciiCase("abc", "abcd"), std::string_view::npos);
  EXPECT_EQ(FindIgnoringAsciiCase("abc", "C", 3), std::string_view::npos);
  EXPECT_EQ(FindIgnoringAsciiCase("abc", "", 3), 3u);
  EXPECT_EQ(FindIgnoringAsciiCase("abc", "a", 4), std::string_view::npos);
}

TEST(HexAndPercent, DecodeOnlyWellFormedEscapes) {
  EXPECT_EQ(HexValue('0'), 0);
  EXPECT_EQ(HexValue('f'), 15);
  EXPECT_EQ(HexValue('F'), 15);
  EXPECT_EQ(HexValue('g'), -1);
  EXPECT_EQ(HexValue('\0'), -1);
  EXPECT_EQ(DecodePercentEscapes("caf%E9%2etxt"), "caf\xE9.txt");
  // A "%" without two digits after it stays, also at the very end.
  EXPECT_EQ(DecodePercentEscapes("100%"), "100%");
  EXPECT_EQ(DecodePercentEscapes("%4"), "%4");
  EXPECT_EQ(DecodePercentEscapes("%zz%41"), "%zzA");
  EXPECT_EQ(DecodePercentEscapes("%00"), std::string(1, '\0'));
  EXPECT_EQ(DecodePercentEscapes("a+b%2B"), "a+b+");
  EXPECT_EQ(DecodePercentEscapes("a+b%2B", true), "a b+");
}

}  // namespace
}  // namespace kestrune
