#include "platform/header_params.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(HeaderParams, ReadsTokensAndQuotedStrings) {
  const auto p = ParseHeaderParams(
      " multipart/mixed ; Boundary=\"a;b\\\"c\" ; charset=UTF-8 ;x=1;junk; empty=\"\";"
      " spaced =  two words  ");
  EXPECT_EQ(p.Value, "multipart/mixed");
  EXPECT_EQ(p.Find("BOUNDARY"), "a;b\"c");
  EXPECT_EQ(p.Find("charset"), "UTF-8");
  EXPECT_EQ(p.Find("x"), "1");
  EXPECT_EQ(p.Find("empty"), "");
  EXPECT_EQ(p.Find("spaced"), "two words");
  EXPECT_FALSE(p.Find("junk"));
  EXPECT_FALSE(p.Unterminated);
  ASSERT_EQ(p.Params.size(), 5u);
  EXPECT_EQ(p.Params[0].first, "boundary");
}

TEST(HeaderParams, BackslashesByTheEscapeRule) {
  const std::string value = "form-data; name=\"f\"; filename=\"C:\\dir\\a\\\"b.txt\"";
  EXPECT_EQ(ParseHeaderParams(value).Find("filename"), "C:dira\"b.txt");
  EXPECT_EQ(ParseHeaderParams(value, QuotedEscapes::kQuoteOnly).Find("filename"),
            "C:\\dir\\a\"b.txt");
  const auto open = ParseHeaderParams("form-data; name=\"never closed; x=1");
  EXPECT_TRUE(open.Unterminated);
  EXPECT_EQ(open.Find("name"), "never closed; x=1");
  EXPECT_TRUE(ParseHeaderParams("a; b=\"ends in backslash\\").Unterminated);
}

TEST(HeaderParams, GathersRfc2231Forms) {
  const auto p = ParseHeaderParams(
      "attachment; title*0*=us-ascii'en'This%20is; title*1=\" fun\"; name*=iso-8859-1''caf%E9;"
      " name=plain; file*1=b; file*0=a; file*2=c; file*02=no; file*3x=no");
  const auto title = FindExtendedParam(p, "TITLE");
  ASSERT_TRUE(title);
  EXPECT_EQ(title->Text, "This is fun");
  EXPECT_TRUE(title->Extended);
  EXPECT_EQ(title->Charset, "us-ascii");
  EXPECT_EQ(title->Language, "en");
  const auto name = FindExtendedParam(p, "name");
  ASSERT_TRUE(name);
  EXPECT_EQ(name->Text, "caf\xE9") << "the extended form wins over the plain one";
  EXPECT_EQ(name->Charset, "iso-8859-1");
  const auto file = FindExtendedParam(p, "file");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->Text, "abc");
  EXPECT_FALSE(file->Extended);
  EXPECT_FALSE(FindExtendedParam(p, "fil"));
  EXPECT_EQ(FindExtendedParam(ParseHeaderParams("a; n*=%41%42"), "n")->Text, "AB");
  EXPECT_EQ(FindExtendedParam(ParseHeaderParams("a; n=1; n=2"), "n")->Text, "1");
}

}  // namespace
}  // namespace kestrune
