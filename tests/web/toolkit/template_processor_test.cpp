// Rendering whole pages: the template merge (control tags, HEAD, TITLE, BODY, apostrophes,
// scripts, "../files/"), the plain layout without a template, and the page head.
#include "web/toolkit/template_processor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "page_test_support.h"
#include "web/toolkit/controls_text.h"

namespace kestrune {
namespace {

class TemplateTest : public testing::PageTest {
 protected:
  TemplateTest()
      : page_(session_, "IWInbox", "TIWInbox"), name_(page_.AddControl<TIWLabel>("IWName")) {
    page_.TemplateProcessor.Templates.Default = "inbox.htm";
    name_.Caption = "Jo";
  }

  std::string Render(std::string_view template_text) {
    WriteFile("inbox.htm", template_text);
    return page_.Render(context_);
  }

  TIWAppForm page_;
  TIWLabel& name_;
};

TEST_F(TemplateTest, MergesHeadBodyFormAndControlsExactly) {
  page_.AddToInitProc("window.alert(\"hi\");\r\n");
  EXPECT_EQ(
      Render("<html><head><title>x</title></head><body onload=\"tick()\">{%iwname%}</body></html>"),
      "<html><HEAD>\r\n"
      "<META HTTP-EQUIV=\"Expires\" CONTENT=\"-1\">\r\n"
      "\r\n<script language=Javascript src=\"/js/IWCommon.js_5.1.0\"></script>\r\n"
      "\r\n<script language=Javascript src=\"/js/IWCL.js_5.1.0\"></script>\r\n"
      "\r\n<script language=Javascript src=\"/js/IWCSData.js_5.1.0\"></script>\r\n"
      "\r\n<script language=Javascript src=\"/js/IWGecko.js_5.1.0\"></script>\r\n"
      "<script language=\"Javascript1.2\">\r\n"
      "function FormDefaultSubmit() {return false;}\r\n"
      "function Validate() {\r\nreturn true;\r\n}\r\n"
      "var GURLBase=\"\";\r\n"
      "var GAppID=\"1234ABCD0011223344556677\";\r\n"
      "function InitIWCLObjects() {\r\n}\r\n"
      "function Initialize() {\r\nInitSubmitter();\r\nStaticInit();\r\nInitRects(640, 480);\r\n"
      "InitIWCLObjects();\r\nwindow.alert(\"hi\");\r\ntick();\r\n}\r\n</script>\r\n"
      "<title>x</title></head>"
      "<body TOPMARGIN=\"0\" LEFTMARGIN=\"0\" OnLoad=\"Initialize()\" OnUnload=\"ReleaseIWCL()\" "
      "OnBlur=\"GSubmitting = false;\">"
      "<form onSubmit=\"return FormDefaultSubmit();\" NAME=\"SubmitForm\" ACTION=\"/index\" "
      "METHOD=\"POST\">"
      "<span ID=\"IWNAME\" CLASS=\"IWNAMECSS\">Jo</span>"
      "<input type=\"HIDDEN\" name=\"IW_Action\" value=\"\">\r\n"
      "<input type=\"HIDDEN\" name=\"IW_ActionParam\" value=\"\">\r\n"
      "<input type=\"HIDDEN\" name=\"IW_FormName\" value=\"IWInbox\">\r\n"
      "<input type=\"HIDDEN\" name=\"IW_FormClass\" value=\"TIWInbox\">\r\n"
      "</FORM>\r\n</BODY></html>");
  // The pending start-up script runs once.
  EXPECT_EQ(page_.PendingStartupScript(), "");
  EXPECT_EQ(page_.Render(context_).find("window.alert"), std::string::npos);
}

TEST_F(TemplateTest, ApostrophesShowAsEntitiesWhileScriptsAndCommentsStayIntact) {
  const std::string html = Render(
      "<body><p class='big'>Don't</p><!-- it's --><script>var s = 'a<b';</script>"
      "<a href=\"../Files/x.htm\" onclick=\"go('y')\">../files/</a></body>");
  EXPECT_NE(html.find("<p class=\"big\">Don&#39;t</p><!-- it's --><script>var s = 'a<b';</script>"),
            std::string::npos)
      << html;
  EXPECT_NE(html.find("<a href=\"/files/x.htm\" onclick=\"go(&#39;y&#39;)\">../files/</a>"),
            std::string::npos)
      << html;
}

TEST_F(TemplateTest, InvisibleUnknownAndBrokenTagsGiveNothingOrAreCopied) {
  name_.Visible = false;
  const std::string html = Render("<body>[{%IWName%}][{%Nobody%}][{ x}][{%open</body>");
  EXPECT_NE(html.find("[][][{ x}][{%open"), std::string::npos) << html;
  EXPECT_EQ(html.find("IWNAME"), std::string::npos);
}

TEST_F(TemplateTest, PageTitleReplacesTheTemplatesAndBodyAttributesMerge) {
  page_.Title = "Inbox <1>";
  page_.BGColor = TIWColor::FromRGB(1, 2, 3);
  const std::string html = Render(
      "<head><TITLE>Old</TITLE></head><BODY bgcolor=\"#FFFFFF\" onBlur=\"done()\" class='c' "
      "nowrap onload=\"tick(&quot;a&quot;)\"></BODY>");
  EXPECT_NE(html.find("<TITLE>Inbox &lt;1&gt;</TITLE></head>"), std::string::npos) << html;
  EXPECT_EQ(html.find("Old"), std::string::npos);
  EXPECT_NE(html.find("<body BGCOLOR=\"#010203\" TOPMARGIN=\"0\" LEFTMARGIN=\"0\" "
                      "OnLoad=\"Initialize()\" OnUnload=\"ReleaseIWCL()\" "
                      "OnBlur=\"GSubmitting = false;done()\" class=\"c\" nowrap><form"),
            std::string::npos)
      << html;
  EXPECT_NE(html.find("tick(\"a\");\r\n}\r\n</script>"), std::string::npos);
}

// A German page from a template written in English tells screen readers it is German.
TEST_F(TemplateTest, HtmlElementNamesThePagesLanguage) {
  struct German : ControllerEvents {
    std::string PageLanguage(TIWApplication&) override { return "de"; }
  } german;
  const std::string text = "<html lang=\"en\" class=\"k\"><body>x</body></html>";
  EXPECT_NE(Render(text).find("<html lang=\"en\" class=\"k\">"), std::string::npos);
  controller_.Events = &german;
  const std::string html = Render(text);
  controller_.Events = nullptr;
  EXPECT_NE(html.find("<html class=\"k\" lang=\"de\">"), std::string::npos) << html;
}

// A German user sees the template's own words (headings, labels, aria-labels) in German;
// a translation holding markup stays text, and a tag that cannot be a key stays as written.
TEST_F(TemplateTest, TemplatesOwnWordsComeInThePagesLanguageEscaped) {
  struct German : ControllerEvents {
    std::string TemplateText(TIWApplication&, std::string_view english) override {
      if (english == "Inbox") return "Posteingang <b>&";
      if (english == "Don't") return "Nicht \"so\"";
      return std::string(english);
    }
  } german;
  const std::string text =
      "<body><h1>{%=Inbox%}</h1><nav aria-label=\"{%=Inbox%}\" title=\"{%=Don't%}\">"
      "{%=Folders%}|{%=a=b%}|{%=x]%}|{%=%}|{%IWName%}</nav></body>";
  const std::string english = Render(text);
  EXPECT_NE(english.find("<h1>Inbox</h1><nav aria-label=\"Inbox\" "
                         "title=\"Don&#39;t\">Folders|"),
            std::string::npos)
      << english;
  controller_.Events = &german;
  const std::string html = Render(text);
  controller_.Events = nullptr;
  EXPECT_NE(html.find("<h1>Posteingang &lt;b&gt;&amp;</h1><nav aria-label=\"Posteingang "
                      "&lt;b&gt;&amp;\" title=\"Nicht &quot;so&quot;\">"
                      "Folders|{%=a=b%}|{%=x]%}|{%=%}|<span ID=\"IWNAME\""),
            std::string::npos)
      << html;
}

TEST_F(TemplateTest, HeadIsWrittenBeforeBodyWhenTheTemplateHasNone) {
  const std::string html = Render("<body>x</body>");
  EXPECT_EQ(html.rfind("<HEAD>\r\n", 0), 0u);
  EXPECT_NE(html.find("</script>\r\n</HEAD>\r\n<body "), std::string::npos);
}

TEST_F(TemplateTest, ControlWithoutATagIsNotWrittenAndTakesNoPost) {
  auto& edit = page_.AddControl<TIWEdit>("IWSubject");
  edit.Text = "kept";
  const std::string html = Render("<body>{%IWName%}</body>");
  EXPECT_EQ(html.find("IWSUBJECT"), std::string::npos);
  PostedForm post;
  post.fields = {{"IW_Action", ""}, {"IW_ActionParam", "default"}, {"IWSUBJECT", "changed"}};
  page_.ApplyPost(post);
  EXPECT_EQ(edit.Text, "kept");
}

TEST_F(TemplateTest, MissingTemplateFallsBackToThePlainLayout) {
  page_.TemplateProcessor.Templates.Default = "missing.htm";
  name_.Left = 10;
  name_.Top = 20;
  name_.ZIndex = 2;
  auto& first = page_.AddControl<TIWButton>("IWFirst");
  first.Caption = "B";
  const std::string html = page_.Render(context_);
  EXPECT_EQ(html.rfind("<HTML>\r\n<HEAD>\r\n", 0), 0u);
  EXPECT_NE(html.find("<span ID=\"IWNAME\" STYLE=\"position:absolute;left:10px;top:20px;"
                      "width:121px;height:21px;z-index:2;\">Jo</span>"),
            std::string::npos)
      << html;
  // Written in z-order: the button (z-index 0) before the label.
  EXPECT_LT(html.find("IWFIRST"), html.find("IWNAME"));
  EXPECT_NE(html.find("</FORM>\r\n</BODY>\r\n</HTML>\r\n"), std::string::npos);
}

TEST_F(TemplateTest, TemplateFilesAreFoundIgnoringCaseAndNeverOutsideTheDirectory) {
  TIWTemplateProcessorHTML processor;
  WriteFile("Login.htm", "x");
  WriteFile("IWInbox.html", "y");
  processor.Templates.Default = "LOGIN.HTM";
  EXPECT_EQ(processor.FindTemplate(dir_, "TIWLogin", TIWBrowser::brIE), dir_ / "Login.htm");
  processor.Templates.Default.clear();
  EXPECT_EQ(processor.FindTemplate(dir_, "TIWInbox", TIWBrowser::brIE), dir_ / "IWInbox.html");
  processor.Templates.Default = "../inbox.htm";
  EXPECT_EQ(processor.FindTemplate(dir_, "TIWInbox", TIWBrowser::brIE), std::nullopt);
  processor.Templates.Default = "Login.htm";
  processor.Enabled = false;
  EXPECT_EQ(processor.FindTemplate(dir_, "TIWLogin", TIWBrowser::brIE), std::nullopt);
}

TEST_F(TemplateTest, HeadCarriesHeaderLinesScriptsByBrowserAndFormFields) {
  context_.extra_header = {"<meta name=\"a\">"};
  context_.tracking = TrackingMethod::tmHidden;
  context_.browser = TIWBrowser::brOpera;
  page_.ExtraHeader = {"<style>A:link {color: #000000; }</style>"};
  page_.JavaScript = {"function tick() {}"};
  page_.HiddenFields = {{"Mode", "a\"b"}};
  page_.OnDefaultAction = [](TIWAppForm&) {};
  page_.SetActiveControl(name_);
  auto& file = page_.AddControl<TIWFile>("IWAttach");
  const std::string html = Render("<head></head><body>{%IWName%}{%IWAttach%}</body>");
  EXPECT_NE(html.find("<HEAD>\r\n<meta name=\"a\">\r\n<META HTTP-EQUIV=\"Expires\" "
                      "CONTENT=\"-1\">\r\n\r\n<script"),
            std::string::npos)
      << html;
  EXPECT_NE(html.find("/js/IWOpera.js_5.1.0"), std::string::npos);
  EXPECT_NE(html.find("</script>\r\n<style>A:link {color: #000000; }</style>\r\n<script "),
            std::string::npos);
  EXPECT_NE(html.find("{return SubmitClick(\"\", \"default\", false);}"), std::string::npos);
  EXPECT_NE(html.find("var GAppID=\"1234ABCD0011223344556677\";\r\nfunction tick() {}\r\n"),
            std::string::npos);
  EXPECT_NE(html.find("IWFocus(\"IWNAME\");"), std::string::npos);
  EXPECT_NE(html.find("METHOD=\"POST\" enctype=\"multipart/form-data\">"), std::string::npos);
  EXPECT_NE(html.find("<input type=\"HIDDEN\" name=\"Mode\" value=\"a&quot;b\">\r\n"
                      "<input type=\"HIDDEN\" name=\"IW_Action\""),
            std::string::npos);
  EXPECT_NE(html.find("name=\"IW_SessionID_\" value=\"1234ABCD001122334455667720240102030405006\">"
                      "\r\n<input type=\"HIDDEN\" name=\"IW_TrackID_\" value=\"3\">\r\n</FORM>"),
            std::string::npos);

  context_.tracking = TrackingMethod::tmURL;
  file.Visible = false;
  name_.Visible = false;
  const std::string again = page_.Render(context_);
  EXPECT_EQ(again.find("multipart"), std::string::npos);
  EXPECT_EQ(again.find("IWFocus"), std::string::npos);
  EXPECT_EQ(again.find("Expires"), std::string::npos);
  EXPECT_EQ(again.find("IW_SessionID_"), std::string::npos);
}

TEST_F(TemplateTest, NoMasterFormTagLeavesTheFormToTheTemplate) {
  page_.TemplateProcessor.MasterFormTag = false;
  const std::string html = Render("<body>x</body>");
  EXPECT_EQ(html.find("<form"), std::string::npos);
  EXPECT_EQ(html.find("</FORM>"), std::string::npos);
  EXPECT_NE(html.find("value=\"TIWInbox\">\r\n</BODY>"), std::string::npos);
}

// An administrator edits a template while the server runs: however the editor saves it,
// the next render shows the edit, also when the file keeps its size and time stamp.
TEST_F(TemplateTest, AnEditedTemplateShowsOnTheNextRender) {
  namespace fs = std::filesystem;
  const auto settled = std::chrono::system_clock::now() + std::chrono::hours(1);
  struct Case {
    const char* what;
    bool long_after_the_edit;  // else rendered within the edit's clock tick
    std::function<void(const fs::path&)> edit;
    const char* shown;  // nullptr: no template
  };
  const auto write = [](std::string text) {
    return [text](const fs::path& path) { std::ofstream(path, std::ios::binary) << text; };
  };
  const auto write_keeping_time = [](std::string text) {
    return [text](const fs::path& path) {
      const auto time = fs::last_write_time(path);
      std::ofstream(path, std::ios::binary) << text;
      fs::last_write_time(path, time);
    };
  };
  const Case cases[] = {
      {"rewritten in place, same size", true, write("two"), "two"},
      {"same size, old time put back", true, write_keeping_time("two"), "two"},
      {"same size, old time put back, same tick", false, write_keeping_time("two"), "two"},
      {"grown", true, write("three"), "three"},
      {"replaced by a renamed file", true,
       [](const fs::path& path) {
         std::ofstream(path.string() + ".new", std::ios::binary) << "new";
         fs::rename(path.string() + ".new", path);
       },
       "new"},
      {"removed", true, [](const fs::path& path) { fs::remove(path); }, nullptr},
      {"grown past 4 MiB", true, write(std::string(4 * 1024 * 1024 + 1, 'x')), nullptr},
  };
  const auto text_of = [](const std::shared_ptr<const std::vector<TemplatePiece>>& pieces) {
    std::string text;
    for (const auto& piece : *pieces) text += piece.text;
    return text;
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path path = dir_ / ("edited" + std::to_string(n++) + ".htm");
    std::ofstream(path, std::ios::binary) << "one";
    const auto now = c.long_after_the_edit ? settled : std::chrono::system_clock::now();
    const auto first = LoadTemplatePieces(path, now);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(text_of(first), "one");
    if (c.long_after_the_edit) {
      EXPECT_EQ(LoadTemplatePieces(path, now), first);             // parsed once
      std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the next clock tick
    }
    c.edit(path);
    const auto after = LoadTemplatePieces(path, now);
    if (c.shown == nullptr) {
      EXPECT_EQ(after, nullptr);
    } else {
      ASSERT_NE(after, nullptr);
      EXPECT_EQ(text_of(after), c.shown);
    }
  }
}

TEST(AttributeText, DecodesTheEntitiesEscapingProduces) {
  EXPECT_EQ(DecodeAttributeText("a&amp;b &lt;&gt; &quot;&#39;&#x41;&apos; &bogus; & &#0;"),
            "a&b <> \"'A' &bogus; & &#0;");
}

}  // namespace
}  // namespace kestrune
