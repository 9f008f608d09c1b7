// Applying a form post to a page: which controls take values, which control may act,
// the failures the user sees, the default action and the toolkit's message page.
#include "web/toolkit/app_form.h"

#include <gtest/gtest.h>

#include "page_test_support.h"
#include "web/toolkit/controls_list.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/page_errors.h"
#include "web/toolkit/show_message.h"

namespace kestrune {
namespace {

class PostTest : public testing::PageTest {
 protected:
  PostTest()
      : page_(session_, "IWLogin", "TIWLogin"),
        user_(page_.AddControl<TIWEdit>("IWUserName")),
        remember_(page_.AddControl<TIWCheckBox>("IWRemember")),
        size_(page_.AddControl<TIWRadioGroup>("IWSize")),
        submit_(page_.AddControl<TIWButton>("IWSubmit")),
        caption_(page_.AddControl<TIWLabel>("IWCaption")) {
    page_.TemplateProcessor.Templates.Default = "login.htm";
    WriteFile("login.htm",
              "<body>{%IWUserName%}{%IWRemember%}{%IWSize%}{%IWSubmit%}{%IWCaption%}</body>");
    size_.Items = {"S", "M"};
    submit_.OnClick = [this](TIWBaseControl&) { events_.push_back("submit"); };
  }

  void Post(std::vector<std::pair<std::string, std::string>> fields) {
    PostedForm post;
    post.fields = std::move(fields);
    page_.ApplyPost(post);
  }

  std::string PostError(std::vector<std::pair<std::string, std::string>> fields) {
    try {
      Post(std::move(fields));
    } catch (const ToolkitError& error) {
      return error.what();
    }
    return "no error";
  }

  void Render() { page_.Render(context_); }

  TIWAppForm page_;
  TIWEdit& user_;
  TIWCheckBox& remember_;
  TIWRadioGroup& size_;
  TIWButton& submit_;
  TIWLabel& caption_;
  std::vector<std::string> events_;
};

TEST_F(PostTest, ValuesAreAppliedThenTheActionControlFires) {
  remember_.Checked = true;
  Render();
  user_.OnSubmit = nullptr;
  Post({{"IWUSERNAME", "admin"},
        {"IWSIZE", "1"},
        {"IW_Action", "IWSUBMIT"},
        {"IW_ActionParam", ""}});
  EXPECT_EQ(user_.Text, "admin");
  EXPECT_FALSE(remember_.Checked);  // an unchecked box posts nothing
  EXPECT_EQ(size_.ItemIndex(), 1);
  EXPECT_EQ(events_, std::vector<std::string>{"submit"});
}

TEST_F(PostTest, ReloadWithoutActionAppliesNothingAndFiresNothing) {
  user_.Text = "kept";
  page_.OnDefaultAction = [this](TIWAppForm&) { events_.push_back("default"); };
  Render();
  Post({{"IWUSERNAME", "changed"}, {"IW_Action", ""}, {"IW_ActionParam", ""}});
  Post({{"IWUSERNAME", "changed"}});
  EXPECT_EQ(user_.Text, "kept");
  EXPECT_TRUE(events_.empty());
}

TEST_F(PostTest, DefaultActionFiresWithoutActionControl) {
  page_.OnDefaultAction = [this](TIWAppForm&) { events_.push_back("default"); };
  Render();
  Post({{"IWUSERNAME", "jo"}, {"IW_Action", ""}, {"IW_ActionParam", "default"}});
  EXPECT_EQ(user_.Text, "jo");
  EXPECT_EQ(events_, std::vector<std::string>{"default"});
}

TEST_F(PostTest, InvisibleControlsAreNotWrittenAndKeepTheirValues) {
  user_.Visible = false;
  user_.Text = "hidden";
  Render();
  Post({{"IWUSERNAME", "forged"}, {"IW_Action", "IWSUBMIT"}});
  EXPECT_EQ(user_.Text, "hidden");
}

TEST_F(PostTest, ControlHiddenSinceTheRenderStillFires) {
  Render();
  submit_.Visible = false;
  Post({{"IW_Action", "IWSUBMIT"}});
  EXPECT_EQ(events_, std::vector<std::string>{"submit"});
}

TEST_F(PostTest, OnlyControlsShownVisibleAndEnabledMayAct) {
  submit_.Visible = false;
  Render();
  submit_.Visible = true;
  EXPECT_EQ(PostError({{"IW_Action", "IWSUBMIT"}}), "Cannot find submit component.");
  submit_.Enabled = false;
  Render();
  EXPECT_EQ(PostError({{"IW_Action", "IWSUBMIT"}}), "Cannot find submit component.");
  EXPECT_EQ(PostError({{"IW_Action", "NOSUCH"}}), "Cannot find submit component.");
  EXPECT_TRUE(events_.empty());
  EXPECT_EQ(PostError({{"IW_Action", "IWCAPTION"}}),
            "Submit control (IWCAPTION) does not have a handler.");
  EXPECT_EQ(PostError({{"IW_Action", "IWUSERNAME"}}),
            "Submit control (IWUSERNAME) does not have a handler.");
}

TEST_F(PostTest, EnterInAnEditFiresItsSubmitEvent) {
  user_.OnSubmit = [this](TIWBaseControl&) { events_.push_back("enter"); };
  Render();
  Post({{"IWUSERNAME", "jo"}, {"IW_Action", "iwusername"}});
  EXPECT_EQ(events_, std::vector<std::string>{"enter"});
}

TEST_F(PostTest, NotEditableControlsKeepTheirValues) {
  user_.Editable = false;
  user_.Text = "fixed";
  remember_.Editable = false;
  remember_.Checked = true;
  Render();
  Post({{"IWUSERNAME", "forged"}, {"IW_Action", "IWSUBMIT"}});
  EXPECT_EQ(user_.Text, "fixed");
  EXPECT_TRUE(remember_.Checked);
}

TEST_F(PostTest, DisabledRadioGroupReadsAsNoSelection) {
  size_.SetItemIndex(1);
  size_.Enabled = false;
  Render();
  Post({{"IW_Action", "IWSUBMIT"}});
  EXPECT_EQ(size_.ItemIndex(), -1);
}

TEST_F(PostTest, RepeatedFieldsAreJoinedAndHiddenFieldsUpdated) {
  page_.HiddenFields = {{"Mode", "old"}, {"Other", "same"}};
  Render();
  Post({{"IWUSERNAME", "a"}, {"Mode", "new"}, {"IWUSERNAME", "b"}, {"IW_Action", "IWSUBMIT"}});
  EXPECT_EQ(user_.Text, "a,b");
  EXPECT_EQ(page_.HiddenFields,
            (std::vector<std::pair<std::string, std::string>>{{"Mode", "new"}, {"Other", "same"}}));
}

TEST_F(PostTest, SilentAbortIsSwallowedOtherFailuresReachTheCaller) {
  submit_.OnClick = [](TIWBaseControl&) { throw SilentAbort(); };
  Render();
  EXPECT_NO_THROW(Post({{"IW_Action", "IWSUBMIT"}}));
  submit_.OnClick = [](TIWBaseControl&) { throw std::runtime_error("boom"); };
  EXPECT_THROW(Post({{"IW_Action", "IWSUBMIT"}}), std::runtime_error);
}

TEST_F(PostTest, FindControlIgnoresCase) {
  EXPECT_EQ(page_.FindControl("iwsubmit"), &submit_);
  EXPECT_EQ(page_.FindControl("IWNothing"), nullptr);
}

TEST_F(PostTest, MessagePageEscapesTheTextAndOkReturnsToTheMainPage) {
  controller_.MainFormClass = PageClassOf<TIWAppForm>("TIWLogin", "IWLogin");
  std::unique_ptr<TIWAppForm> made =
      MakeShowMessagePage(session_, "<b>Oops</b> & 'x'", /*for_exception=*/true);
  EXPECT_EQ(made->Name(), "IWShowMessage");
  TIWAppForm& message = session_.CreatePage(TIWShowMessage::PageClass());
  static_cast<TIWShowMessage&>(message).SetMessage("<b>Oops</b> & 'x'", true);
  session_.ShowPage(&message);
  const std::string plain = message.Render(context_);
  EXPECT_NE(plain.find(">&lt;b&gt;Oops&lt;/b&gt;&nbsp;&amp;&nbsp;&#39;x&#39;</span>"),
            std::string::npos)
      << plain;
  EXPECT_NE(plain.find("VALUE=\"Ok\""), std::string::npos);

  WriteFile("IWException.html", "<body><h1>Error</h1>{%textMessage%}{%butnOk%}</body>");
  const std::string templated = message.Render(context_);
  EXPECT_NE(templated.find("<h1>Error</h1><span ID=\"TEXTMESSAGE\""), std::string::npos);

  PostedForm ok;
  ok.fields = {{"IW_Action", "BUTNOK"}, {"IW_ActionParam", ""}};
  message.ApplyPost(ok);
  ASSERT_NE(session_.ActivePage(), nullptr);
  EXPECT_EQ(session_.ActivePage()->Name(), "IWLogin");
}

TEST_F(PostTest, PageShownAgainAfterItsDiscardSurvivesTheRequest) {
  TIWAppForm& kept = session_.CreatePage(PageClassOf<TIWAppForm>("TIWKept", "IWKept"));
  session_.ShowPage(&kept);
  session_.DiscardPage(&kept);
  session_.ShowPage(&kept);  // the handler changed its mind
  session_.DestroyDiscardedPages();
  EXPECT_EQ(session_.FindPage("IWKept"), &kept);
  ASSERT_EQ(session_.ActivePage(), &kept);
  EXPECT_NE(session_.ActivePage()->Render(context_).find("<HTML>"), std::string::npos);
}

}  // namespace
}  // namespace kestrune
