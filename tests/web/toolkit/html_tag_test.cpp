// Writing elements: attribute order and escaping, void elements, nameless elements,
// indentation of children.
#include "web/toolkit/html_tag.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(HtmlTag, WritesAttributesInOrderEscapedAndFlagsBare) {
  TIWHTMLTag tag("SPAN");
  tag.SetAttribute("title", "a \"quoted\" <b> & 'x'");
  tag.AddFlag("NOWRAP");
  tag.SetIntAttribute("width", -5);
  tag.SetColorAttribute("BGColor", TIWColor::FromRGB(0xEC, 0xE9, 0xD8));
  tag.AddText("<i>");
  EXPECT_EQ(tag.Render(),
            "<span title=\"a &quot;quoted&quot; &lt;b&gt; &amp; &#39;x&#39;\" NOWRAP width=\"-5\" "
            "BGColor=\"#ECE9D8\">&lt;i&gt;</span>");
}

TEST(HtmlTag, EmptyValuesAndUnsetColoursWriteNothing) {
  TIWHTMLTag tag("td");
  tag.SetAttribute("width", "");
  tag.SetColorAttribute("BGColor", TIWColor::None());
  EXPECT_EQ(tag.Render(), "<td></td>");
}

TEST(HtmlTag, SecondAttributeOfSameNameReplacesTheFirst) {
  TIWHTMLTag tag("input");
  tag.SetAttribute("STYLE", "color:red;");
  tag.SetAttribute("type", "TEXT");
  tag.SetAttribute("style", "width:100%");
  EXPECT_EQ(tag.Render(), "<input style=\"width:100%\" type=\"TEXT\">");
}

TEST(HtmlTag, VoidElementsHaveNoClosingTag) {
  for (const char* name : {"area", "br", "frame", "hr", "img", "input", "link"}) {
    EXPECT_EQ(TIWHTMLTag(name).Render(), "<" + std::string(name) + ">");
  }
  EXPECT_EQ(TIWHTMLTag("DIV").Render(), "<div></div>");
}

TEST(HtmlTag, EmptyNameWritesOnlyTheContent) {
  TIWHTMLTag tag("span");
  tag.SetAttribute("ID", "IWTABLEOPEN");
  tag.AddRawText("<td colspan=\"2\" valign=\"top\">");
  tag.SetTagName("");
  EXPECT_EQ(tag.Render(), "<td colspan=\"2\" valign=\"top\">");
  EXPECT_EQ(tag.RenderOpenTag(), "");
}

TEST(HtmlTag, ChildrenStartOnNewIndentedLinesExceptInsidePre) {
  TIWHTMLTag table("table");
  TIWHTMLTag& row = table.AddTag("tr");
  row.AddTag("td").AddText("x");
  EXPECT_EQ(table.Render(), "<table>\r\n  <tr>\r\n    <td>x</td></tr></table>");

  TIWHTMLTag pre("pre");
  pre.AddTag("b").AddText("y");
  EXPECT_EQ(pre.Render(), "<pre><b>y</b></pre>");
}

TEST(HtmlTag, RawAttributesAreWrittenAsGiven) {
  TIWHTMLTag body("body");
  body.SetRawAttribute("onblur", "f(&#39;a&#39;)");
  EXPECT_EQ(body.RenderOpenTag(), "<body onblur=\"f(&#39;a&#39;)\">");
}

}  // namespace
}  // namespace kestrune
