// Every control kind: the element it writes (data escaped, the page's own markup only
// where marked), the values it takes from a post and the range checks on them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "page_test_support.h"
#include "web/toolkit/controls_list.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/page_errors.h"

namespace kestrune {
namespace {

class FixedNamer : public ControlNamer {
 public:
  std::string UniqueControlName(std::string_view kind) override { return std::string(kind) + "1"; }
};

std::string Write(TIWControl& control, bool in_template = false) {
  RenderContext context;
  FixedNamer namer;
  ControlWriter writer(context, in_template, namer);
  return writer.Write(control);
}

const PostedForm kNoPost;

TEST(LabelControl, EscapesDataCaptionsKeepingSpacesAndLineBreaks) {
  TIWLabel label("IWName");
  label.Caption = "a  b\r\nc<d>&'";
  EXPECT_EQ(Write(label), "<span ID=\"IWNAME\">a&nbsp;&nbsp;b<br>c&lt;d&gt;&amp;&#39;</span>");
}

TEST(LabelControl, RawTextWritesThePagesOwnMarkupAndNoWrapWrapsIt) {
  TIWLabel label("IWName");
  label.RawText = true;
  label.Caption = "<b>x</b>";
  EXPECT_EQ(Write(label), "<span ID=\"IWNAME\"><b>x</b></span>");
  label.NoWrap = true;
  EXPECT_EQ(Write(label), "<span ID=\"IWNAME\">\r\n  <nobr><b>x</b></nobr></span>");
}

TEST(LabelControl, EmptiedTagNameWritesExactlyTheCaption) {
  TIWLabel label("IWTableOpen");
  label.RawText = true;
  label.Caption = "<td colspan=\"2\" valign=\"top\">";
  label.StatusText = "ignored";
  label.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) { tag.SetTagName(""); };
  EXPECT_EQ(Write(label, true), "<td colspan=\"2\" valign=\"top\">");
}

TEST(ControlDecoration, TemplateClassStyleStatusTextAndHintAreEscaped) {
  TIWLabel label("IWName");
  label.Caption = "x";
  label.Font.Bold = true;
  label.Font.Color = TIWColor::FromRGB(255, 0, 0);
  label.StatusText = "It's <here>";
  label.Hint = "Say \"hi\"";
  EXPECT_EQ(Write(label, true),
            "<span ID=\"IWNAME\" CLASS=\"IWNAMECSS\" STYLE=\"color:#FF0000;font-weight:bold;\" "
            "OnMouseOver=\"return Status(&#39;It\\&#39;s \\x3Chere\\x3E&#39;)\" "
            "OnFocus=\"return Status(&#39;It\\&#39;s \\x3Chere\\x3E&#39;)\" "
            "OnMouseOut=\"return Status(&#39;&#39;)\" OnBlur=\"return Status(&#39;&#39;)\" "
            "title=\"Say &quot;hi&quot;\">x</span>");
  label.Font.CSSStyle = "caption";
  label.StatusText.clear();
  label.ShowHint = false;
  EXPECT_EQ(
      Write(label, true),
      "<span ID=\"IWNAME\" CLASS=\"caption\" STYLE=\"color:#FF0000;font-weight:bold;\">x</span>");
}

TEST(ControlDecoration, ExtraTagParamsNamesMustBeTokensAndValuesAreEscaped) {
  TIWLabel label("IWName");
  label.Caption = "x";
  label.ExtraTagParams = {"data-row=3\"><script>", "NOWRAP"};
  EXPECT_EQ(Write(label),
            "<span ID=\"IWNAME\" data-row=\"3&quot;&gt;&lt;script&gt;\" NOWRAP>x</span>");
  for (const char* param : {"a><script>alert(1)</script", "", "x y=1", "on\"x=1", "=1"}) {
    label.ExtraTagParams = {param};
    EXPECT_THROW(Write(label), std::invalid_argument) << param;
  }
}

TEST(ControlDecoration, OnHTMLTagSeesTheFinishedElementAndItsStyleFollowsTheToolkits) {
  TIWEdit edit("IWUserName");
  edit.Font.Bold = true;
  edit.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) {
    EXPECT_EQ(tag.Attribute("ID"), "IWUSERNAME");
    tag.SetAttribute("style", *tag.Attribute("STYLE") + "width:80%");
  };
  EXPECT_EQ(Write(edit, true),
            "<input TYPE=\"TEXT\" NAME=\"IWUSERNAME\" ID=\"IWUSERNAME\" CLASS=\"IWUSERNAMECSS\" "
            "style=\"font-weight:bold;width:80%\">");
}

TEST(LinkControl, SubmitsWithItselfAsActionAndIsALabelWhenDisabled) {
  TIWLink link("IWGo");
  link.Caption = "Go & see";
  link.Confirmation = "Sure it's ok?";
  link.DoSubmitValidation = false;
  EXPECT_EQ(Write(link),
            "<a HREF=\"javascript:void(0)\" OnClick=\"return SubmitClickConfirm(&#39;IWGO&#39;,"
            "&#39;&#39;, false, &#39;Sure it\\&#39;s ok?&#39;)\" ID=\"IWGO\">Go &amp; see</a>");
  link.Enabled = false;
  EXPECT_EQ(Write(link), "<span ID=\"IWGO\">Go&nbsp;&amp;&nbsp;see</span>");
}

TEST(ImageControl, NamesInsideFilesAreServedFromFilesAndClicksSubmit) {
  TIWImageFile image("IWLogout");
  image.ImageFile = "logout.gif";
  EXPECT_EQ(Write(image), "<img SRC=\"/Files/logout.gif\" BORDER=\"0\" ID=\"IWLOGOUT\">");
  image.ImageFile = "/Files/close.gif";
  image.AltText = "Close";
  image.UseSize = true;
  image.Width = 16;
  image.Height = 18;
  image.OnClick = [](TIWBaseControl&) {};
  // A clickable image is a button (Tab reaches it, Enter and Space press it); its ALT
  // names it while it has no label.
  EXPECT_EQ(Write(image),
            "<button TYPE=\"button\" data-kst=\"tool\" "
            "OnClick=\"return SubmitClickConfirm(&#39;IWLOGOUT&#39;,&#39;&#39;, true, "
            "&#39;&#39;)\" ID=\"IWLOGOUT\">\r\n"
            "  <img SRC=\"/Files/close.gif\" BORDER=\"0\" WIDTH=\"16\" HEIGHT=\"18\" "
            "ALT=\"Close\"></button>");
  EXPECT_TRUE(image.AcceptsActions());
}

// A tool bar of bare icons could be used by mouse only and named nothing a screen reader
// could read; the label is visible text and the icon is then left unnamed.
TEST(ImageControl, ToolBarIconWithALabelIsANamedButtonOfIconAndText) {
  TIWImageFile image("IWReply");
  image.ImageFile = "/Files/reply.gif";
  image.AltText = "Reply to this mail message.";
  image.Caption = "Reply <all>";
  image.OnClick = [](TIWBaseControl&) {};
  const std::string html = Write(image);
  EXPECT_EQ(html.rfind("<button TYPE=\"button\"", 0), 0u) << html;
  EXPECT_NE(html.find("<img SRC=\"/Files/reply.gif\" BORDER=\"0\" ALT=\"\">"), std::string::npos)
      << html;
  EXPECT_NE(html.find("<span class=\"kst-tool-label\">Reply &lt;all&gt;</span></button>"),
            std::string::npos)
      << html;
  image.Enabled = false;
  EXPECT_NE(Write(image).find(" DISABLED ID=\"IWREPLY\""), std::string::npos) << Write(image);
}

TEST(ButtonControl, WritesCaptionAsValueAndDisabledFlag) {
  TIWButton button("IWSubmit");
  button.Caption = "Log \"in\"";
  EXPECT_EQ(Write(button),
            "<input TYPE=\"button\" NAME=\"IWSUBMIT\" VALUE=\"Log &quot;in&quot;\" "
            "OnClick=\"return SubmitClickConfirm(&#39;IWSUBMIT&#39;,&#39;&#39;, true, "
            "&#39;&#39;)\" ID=\"IWSUBMIT\">");
  button.Enabled = false;
  button.ButtonType = TButtonType::btReset;
  EXPECT_EQ(Write(button),
            "<input TYPE=\"reset\" NAME=\"IWSUBMIT\" VALUE=\"Log &quot;in&quot;\" "
            "DISABLED ID=\"IWSUBMIT\">");
}

TEST(EditControl, WritesEscapedValueMaxLengthAndReturnKeyHandler) {
  TIWEdit edit("IWUserName");
  edit.Text = "a\"b<c>'";
  EXPECT_EQ(Write(edit),
            "<input TYPE=\"TEXT\" NAME=\"IWUSERNAME\" "
            "VALUE=\"a&quot;b&lt;c&gt;&#39;\" ID=\"IWUSERNAME\">");
  TIWEdit password("IWPassword");
  password.PasswordPrompt = true;
  password.MaxLength = 10;
  password.ReadOnly = true;
  password.Text = "pw";
  password.OnSubmit = [](TIWBaseControl&) {};
  EXPECT_EQ(Write(password),
            "<input TYPE=\"PASSWORD\" NAME=\"IWPASSWORD\" MAXLENGTH=\"10\" VALUE=\"pw\" READONLY "
            "OnKeyPress=\"return CheckReturnKey(event.keyCode, &#39;IWPASSWORD&#39;, true)\" "
            "ID=\"IWPASSWORD\">");
}

TEST(EditControl, NotEditableIsALabelAndPasswordsAreMasked) {
  TIWEdit edit("IWFrom");
  edit.Editable = false;
  edit.Text = "Jo <jo@x>";
  EXPECT_EQ(Write(edit), "<span ID=\"IWFROM\">Jo&nbsp;&lt;jo@x&gt;</span>");
  edit.PasswordPrompt = true;
  edit.Text = "p\xC3\xA4ss";  // four characters, five bytes
  EXPECT_EQ(Write(edit), "<span ID=\"IWFROM\">****</span>");
}

TEST(MemoControl, WritesEscapedLinesAndSplitsPostedText) {
  TIWMemo memo("IWBody");
  memo.Lines = {"one <1>", "", "three"};
  EXPECT_EQ(Write(memo),
            "<textarea NAME=\"IWBODY\" ID=\"IWBODY\">\none &lt;1&gt;\r\n\r\nthree</textarea>");
  memo.SetValue("a\r\nb\nc", kNoPost);
  EXPECT_EQ(memo.Lines, (std::vector<std::string>{"a", "b", "c"}));
  memo.SetValue("", kNoPost);
  EXPECT_TRUE(memo.Lines.empty());
}

TEST(CheckBoxControl, WritesCheckedStateAndCaptionAndReadsOn) {
  TIWCheckBox box("IWRemember");
  box.Checked = true;
  EXPECT_EQ(Write(box),
            "<input TYPE=\"CHECKBOX\" NAME=\"IWREMEMBER\" VALUE=\"On\" CHECKED "
            "ID=\"IWREMEMBER\">");
  box.Caption = "Select all";
  box.Checked = false;
  box.OnClick = [](TIWBaseControl&) {};
  EXPECT_EQ(Write(box),
            "<label ID=\"IWREMEMBER\">\r\n  <input TYPE=\"CHECKBOX\" NAME=\"IWREMEMBER\" "
            "VALUE=\"On\" OnClick=\"return SubmitClickConfirm(&#39;IWREMEMBER&#39;,&#39;&#39;, "
            "true, &#39;&#39;)\">Select&nbsp;all</label>");
  box.SetValue("oN", kNoPost);
  EXPECT_TRUE(box.Checked);
  box.SetValue("", kNoPost);
  EXPECT_FALSE(box.Checked);
  box.SetValue("yes", kNoPost);
  EXPECT_FALSE(box.Checked);
}

TEST(ComboBoxControl, WritesNoSelectionOptionOnlyWhenNothingIsSelected) {
  TIWComboBox combo("IWColour");
  combo.Items = {"Red", "Green <&>"};
  EXPECT_EQ(Write(combo),
            "<select NAME=\"IWCOLOUR\" SIZE=\"1\" ID=\"IWCOLOUR\">\r\n"
            "  <option VALUE=\"-1\" SELECTED>-- No Selection --</option>\r\n"
            "  <option VALUE=\"0\">Red</option>\r\n"
            "  <option VALUE=\"1\">Green &lt;&amp;&gt;</option></select>");
  combo.SetItemIndex(1);
  EXPECT_EQ(Write(combo),
            "<select NAME=\"IWCOLOUR\" SIZE=\"1\" ID=\"IWCOLOUR\">\r\n"
            "  <option VALUE=\"0\">Red</option>\r\n"
            "  <option VALUE=\"1\" SELECTED>Green &lt;&amp;&gt;</option></select>");
  combo.RequireSelection = false;
  EXPECT_NE(Write(combo).find("<option VALUE=\"-1\">-- No Selection --</option>"),
            std::string::npos);
}

TEST(ComboBoxControl, PostedNumbersAreRangeChecked) {
  TIWComboBox combo("IWColour");
  combo.Items = {"Red", "Green"};
  const std::pair<const char*, int> cases[] = {
      {"1", 1},  {"0", 0}, {"2", -1},  {"-1", -1}, {"-2", -1},
      {"x", -1}, {"", -1}, {"1,0", 1}, {" 1", -1}, {"99999999999999999999", -1},
  };
  for (const auto& [posted, expected] : cases) {
    combo.SetValue(posted, kNoPost);
    EXPECT_EQ(combo.ItemIndex(), expected) << posted;
  }
  combo.SetItemIndex(7);
  EXPECT_EQ(combo.ItemIndex(), -1);
}

TEST(ComboBoxControl, ItemsWithValuesPostTheirValues) {
  TIWComboBox combo("IWColour");
  combo.Items = {"Red=r", "Green=g,h"};
  combo.ItemsHaveValues = true;
  combo.SetItemIndex(0);
  EXPECT_NE(Write(combo).find("<option VALUE=\"r\" SELECTED>Red</option>"), std::string::npos);
  combo.SetValue("g,h", kNoPost);
  EXPECT_EQ(combo.ItemIndex(), 1);
  combo.SetValue("1", kNoPost);
  EXPECT_EQ(combo.ItemIndex(), -1);
}

TEST(ListboxControl, MultiSelectTakesEveryValidPostedNumber) {
  TIWListbox list("IWFolders");
  list.Items = {"a", "b", "c"};
  list.Height = 48;
  list.MultiSelect = true;
  list.SetValue("2,0,7,x,-1", kNoPost);
  EXPECT_TRUE(list.Selected(0));
  EXPECT_FALSE(list.Selected(1));
  EXPECT_TRUE(list.Selected(2));
  EXPECT_EQ(list.ItemIndex(), 2);
  EXPECT_EQ(Write(list),
            "<select NAME=\"IWFOLDERS\" SIZE=\"3\" MULTIPLE ID=\"IWFOLDERS\">\r\n"
            "  <option VALUE=\"0\" SELECTED>a</option>\r\n"
            "  <option VALUE=\"1\">b</option>\r\n"
            "  <option VALUE=\"2\" SELECTED>c</option></select>");
  list.Items.pop_back();
  EXPECT_FALSE(list.Selected(2));
}

TEST(RadioGroupControl, WritesOneLabelledRadioPerItemAndDisablesThemWithTheGroup) {
  TIWRadioGroup group("IWSize");
  group.Items = {"Small", "Large <b>"};
  group.SetItemIndex(0);
  // Each radio inside a LABEL with its item text: without it a screen reader reads three
  // unnamed radios on the permission choice.
  EXPECT_EQ(
      Write(group),
      "<div ID=\"IWSIZE\">\r\n  <label>\r\n    <input TYPE=\"RADIO\" NAME=\"IWSIZE\" VALUE=\"0\" "
      "CHECKED>Small</label><BR>\r\n  <label>\r\n    <input TYPE=\"RADIO\" NAME=\"IWSIZE\" "
      "VALUE=\"1\">Large &lt;b&gt;</label><BR></div>");
  group.Enabled = false;
  group.Layout = TIWRadioGroupLayout::glHorizontal;
  EXPECT_EQ(
      Write(group),
      "<div ID=\"IWSIZE\">\r\n  <label>\r\n    <input TYPE=\"RADIO\" NAME=\"IWSIZE\" VALUE=\"0\" "
      "CHECKED DISABLED>Small</label> \r\n  <label>\r\n    <input TYPE=\"RADIO\" "
      "NAME=\"IWSIZE\" VALUE=\"1\" DISABLED>Large &lt;b&gt;</label> </div>");
  group.SetValue("1", kNoPost);
  EXPECT_EQ(group.ItemIndex(), 1);
  group.SetValue("2", kNoPost);
  EXPECT_EQ(group.ItemIndex(), -1);
}

class FileControl : public testing::PageTest {};

TEST_F(FileControl, KeepsTheUploadOfTheCurrentPostOnly) {
  TIWFile file("IWAttach");
  EXPECT_EQ(Write(file),
            "<span ID=\"IWATTACHSPAN\">\r\n  <input TYPE=\"FILE\" NAME=\"IWATTACH\" "
            "ID=\"IWATTACH\"></span>");
  EXPECT_TRUE(file.NeedsMultipart());

  WriteFile("upload.tmp", std::string("line 1\r\n\0binary", 15));
  PostedForm post;
  post.files.push_back({"IWATTACH", "notes.txt", "text/plain", dir_ / "upload.tmp", 15});
  file.SetValue("", post);
  EXPECT_EQ(file.FileName(), "notes.txt");
  EXPECT_EQ(file.FileSize(), 15u);
  file.SaveToFile(dir_ / "saved.txt");
  std::ifstream in(dir_ / "saved.txt", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
            std::string("line 1\r\n\0binary", 15));

  file.ForgetPost();
  EXPECT_EQ(file.FileName(), "");
  EXPECT_THROW(
      {
        try {
          file.SaveToFile(dir_ / "again.txt");
        } catch (const ToolkitError& error) {
          EXPECT_STREQ(error.what(), "No file was uploaded.");
          throw;
        }
      },
      ToolkitError);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "again.txt"));
}

}  // namespace
}  // namespace kestrune
