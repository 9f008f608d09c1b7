#include "platform/escape.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(HtmlEscape, EscapesMarkupCharactersAndLeavesUtf8Alone) {
  EXPECT_EQ(HtmlEscape("<script>alert('x' & \"y\")</script>"),
            "&lt;script&gt;alert(&#39;x&#39; &amp; &quot;y&quot;)&lt;/script&gt;");
  EXPECT_EQ(HtmlEscape("Grüße"), "Grüße");
  EXPECT_EQ(HtmlEscape(""), "");
}

TEST(ScriptStringEscape, CannotCloseTheStringOrTheScriptElement) {
  EXPECT_EQ(ScriptStringEscape("a'b\"c\\d"), "a\\'b\\\"c\\\\d");
  EXPECT_EQ(ScriptStringEscape("</script>"), "\\x3C/script\\x3E");
  EXPECT_EQ(ScriptStringEscape("line1\r\nline2\ttab"), "line1\\r\\nline2\\x09tab");
  EXPECT_EQ(ScriptStringEscape(std::string_view("nul\0", 4)), "nul\\x00");
}

TEST(ScriptInAttribute, EscapesForTheScriptThenForTheAttribute) {
  EXPECT_EQ(ScriptInAttribute("it's <b>&"), "it\\&#39;s \\x3Cb\\x3E&amp;");
}

}  // namespace
}  // namespace kestrune
