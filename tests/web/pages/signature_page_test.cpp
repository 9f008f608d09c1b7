// The signature page over HTTP, opened by a stand-in settings page the way the settings
// pages open it: what Save writes (made safe) and where, whose AddSignature it switches
// on, Cancel, the stores it refuses, and the signature a new message then carries.
#include "web/pages/signature_page.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/read_file.h"
#include "web/app/user_session.h"
#include "web/pages/compose_page.h"
#include "web/toolkit/application.h"
#include "web_app_fixture.h"

namespace kestrune::testing {
namespace {
namespace fs = std::filesystem;

// Stands in for the administrator's settings page: opens the signature page for the
// directory a test sets, and starts a new message.
class SettingsProbe : public TIWAppForm {
 public:
  SettingsProbe(TIWApplication& session, std::string name, std::string class_name)
      : TIWAppForm(session, std::move(name), std::move(class_name)),
        OpenSig(AddControl<TIWButton>("IWCreateSig")),
        NewMessage(AddControl<TIWButton>("IWNewMessage")) {
    Last() = SessionOf(session);
    OpenSig.OnClick = [this](TIWBaseControl&) {
      TIWApplication& app = WebApplication();
      TUserSession& state = *SessionOf(app);
      state.SignatureReturnPage = Name();
      state.SignatureDir = Dir();
      state.SignatureStored = false;
      TIWAppForm* page = app.FindPage("IWSignature");
      if (page == nullptr) page = &app.CreatePage(*state.App().Pages().Named("IWSignature"));
      app.ShowPage(page);
    };
    NewMessage.OnClick = [this](TIWBaseControl&) { StartNewMessage(*this); };
  }
  static TUserSession*& Last() {
    static TUserSession* last = nullptr;
    return last;
  }
  static std::string& Dir() {
    static std::string dir;
    return dir;
  }
  TIWButton& OpenSig;
  TIWButton& NewMessage;
};

class SignaturePageTest : public WebAppTest {
 protected:
  SignaturePageTest() {
    std::erase_if(pages_.Others, [](const TIWPageClass& page) {
      return page.ObjectName == "IWAdminSettings";
    });
    pages_.Others.push_back(PageClassOf<SettingsProbe>("TIWAdminSettings", "IWAdminSettings"));
    AddAccount("Carol", "pw", 2);
  }
  std::string Own() const { return config_.UserDirectories + "Admin/"; }
  std::string Carols() const { return config_.UserDirectories + "Carol/"; }
  TUserSession& State() const { return *SettingsProbe::Last(); }

  Answer OpenSignature(const std::string& dir) {
    SettingsProbe::Dir() = dir;
    if (!server_) {
      Start();
      browser_ = std::make_unique<TestBrowser>(NewBrowser());
      browser_->Get("/");
      EXPECT_EQ(LogIn(*browser_, "admin", "secretpw").PageName(), "IWMain");
      EXPECT_EQ(browser_->Post("IWMain", "IWSETTINGS").PageName(), "IWAdminSettings");
    }
    return browser_->Post("IWAdminSettings", "IWCREATESIG");
  }
  Answer Save(const std::string& body, bool html = true) {
    return browser_->Post("IWSignature", "IWSAVE",
                          {{"IWSIGBODY", body}, {"KstBodyIsHtml", html ? "1" : "0"}});
  }
  static std::string File(const std::string& dir) {
    return ReadFileIfExists(fs::path(dir) / "signature.htm").value_or("(none)");
  }

  std::unique_ptr<TestBrowser> browser_;
};

TEST_F(SignaturePageTest, AScriptInASignatureNeverReachesTheComposeBody) {
  const Answer page = OpenSignature(Own());
  ASSERT_EQ(page.PageName(), "IWSignature");
  EXPECT_NE(page.body.find("class=\"kst-editor\""), std::string::npos);
  const Answer back =
      Save("<p>Best, <b>Ann</b></p><script>alert(1)</script><img src=x onerror=alert(2)>");
  EXPECT_EQ(back.PageName(), "IWAdminSettings");
  const std::string stored = File(Own());
  EXPECT_NE(stored.find("<b>Ann</b>"), std::string::npos) << stored;
  EXPECT_EQ(stored.find("script"), std::string::npos) << stored;
  EXPECT_EQ(stored.find("onerror"), std::string::npos) << stored;
  EXPECT_TRUE(State().SignatureStored);
  EXPECT_TRUE(State().User.AddSignature);

  // A file edited by hand is made safe again when a new message takes it.
  std::ofstream(Own() + "signature.htm", std::ios::trunc)
      << "<b onmouseover=\"steal()\">Hand</b><script>evil()</script>";
  const Answer compose = browser_->Post("IWAdminSettings", "IWNEWMESSAGE");
  ASSERT_EQ(compose.PageName(), "IWNewEmail");
  EXPECT_NE(compose.body.find("Hand"), std::string::npos);
  EXPECT_EQ(compose.body.find("evil()"), std::string::npos);
  EXPECT_EQ(compose.body.find("steal()"), std::string::npos);
}

TEST_F(SignaturePageTest, TheAdministratorEditingAnotherAccountLeavesTheirOwnUntouched) {
  std::ofstream(Carols() + "signature.htm") << "<p>Carol's old</p>";
  const Answer page = OpenSignature(Carols());
  EXPECT_NE(page.body.find("Carol&#39;s old"), std::string::npos);
  Save("<p>Carol new</p>");
  EXPECT_NE(File(Carols()).find("Carol new"), std::string::npos);
  EXPECT_EQ(File(Own()), "(none)");
  EXPECT_TRUE(State().SignatureStored);
  EXPECT_FALSE(State().User.AddSignature);
}

TEST_F(SignaturePageTest, CancelAndAnEmptySignatureLeaveTheFileUnchanged) {
  std::ofstream(Own() + "signature.htm") << "<p>original</p>";
  OpenSignature(Own());
  const Answer back = browser_->Post("IWSignature", "IWCANCEL", {{"IWSIGBODY", "<p>changed</p>"}});
  EXPECT_EQ(back.PageName(), "IWAdminSettings");
  EXPECT_EQ(File(Own()), "<p>original</p>");
  EXPECT_FALSE(State().SignatureStored);

  OpenSignature(Own());
  const Answer empty = Save("");
  EXPECT_EQ(empty.PageName(), "IWSignature");
  EXPECT_TRUE(empty.HasAlert("Please enter a signature to save."));
  EXPECT_EQ(File(Own()), "<p>original</p>");
  // Typed without the editor: plain text, stored as escaped HTML.
  Save("a < b\r\nline two", false);
  EXPECT_EQ(File(Own()).find("a < b"), std::string::npos);
  EXPECT_NE(File(Own()).find("a &lt; b"), std::string::npos);
}

TEST_F(SignaturePageTest, AStoreOutsideTheUsersDirectoryIsNeverReadOrWritten) {
  const fs::path outside = home_ / "outside";
  fs::create_directories(outside);
  std::ofstream(outside / "signature.htm") << "secret";
  for (const std::string& dir :
       {std::string(), outside.string() + "/", config_.UserDirectories,
        config_.UserDirectories + "../outside/", std::string("relative/")}) {
    const Answer page = OpenSignature(dir);
    EXPECT_EQ(page.body.find("secret"), std::string::npos) << dir;
    EXPECT_NE(page.body.find("no&nbsp;mail&nbsp;store&nbsp;yet"), std::string::npos) << dir;
    Save("<p>x</p>");  // forged: the page offers no Save here
    EXPECT_FALSE(State().SignatureStored) << dir;
    EXPECT_EQ(browser_->Post("IWSignature", "IWCANCEL").PageName(), "IWAdminSettings") << dir;
  }
  EXPECT_EQ(File(outside.string()), "secret");
  EXPECT_FALSE(fs::exists(fs::path(config_.UserDirectories) / "signature.htm"));
  EXPECT_FALSE(State().User.AddSignature);
}

}  // namespace
}  // namespace kestrune::testing
