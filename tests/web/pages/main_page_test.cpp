// The home page over HTTP: unread summary and folder counters of the current index,
// suggestions link, contacts panel flag, log-out and close.
#include <gtest/gtest.h>

#include "store/contacts_db.h"
#include "store/email_db.h"
#include "web/toolkit/application.h"
#include "web_app_fixture.h"

namespace kestrune::testing {
namespace {

class HomePageTest : public WebAppTest {
 protected:
  void AddMessages(std::initializer_list<std::int32_t> statuses) {
    TUserEmailDB index;
    ASSERT_TRUE(index.Open(config_.UserDirectories + "Admin/"));
    for (std::int32_t status : statuses) {
      TEmailRecord record;
      record.Subject = "s";
      record.FileName = "m" + std::to_string(++files_) + ".eml";
      record.Status = status;
      ASSERT_TRUE(index.AddEmail(record));
    }
    index.Save(config_.UserDirectories + "Admin/");
  }

  Answer Home() {
    browser_ = std::make_unique<TestBrowser>(NewBrowser());
    browser_->Get("/");
    return LogIn(*browser_, "admin", "secretpw");
  }

  // The element written for a control, from its id to the end of its opening tag's text.
  static std::string Element(const Answer& answer, const std::string& id) {
    const auto at = answer.body.find("ID=\"" + id + "\"");
    if (at == std::string::npos) return {};
    const auto start = answer.body.rfind('<', at);
    return answer.body.substr(start, answer.body.find("</", at) + 2 - start);
  }

  std::unique_ptr<TestBrowser> browser_;
  int files_ = 0;
};

TEST_F(HomePageTest, UnreadInboxAndSavedAddUpInBold) {
  AddMessages({0, 1, 7, 7, 4, 6});
  Start();
  const Answer home = Home();
  ASSERT_EQ(home.PageName(), "IWMain");
  const std::string stats = Element(home, "IWINBOXSTATS");
  EXPECT_NE(stats.find(">3 unread Mail messages"), std::string::npos) << stats;
  EXPECT_NE(stats.find("font-weight:bold"), std::string::npos) << stats;
  EXPECT_NE(Element(home, "IWINBOXLINK").find(">Inbox (1)"), std::string::npos);
  EXPECT_NE(Element(home, "IWSAVEDLINK").find(">Saved (2)"), std::string::npos);
  EXPECT_NE(Element(home, "IWINBOXLINK").find("font-weight:bold"), std::string::npos);
  EXPECT_NE(Element(home, "IWSENTLINK").find(">Sent Items</"), std::string::npos);
  EXPECT_NE(home.body.find("tick();"), std::string::npos);
}

TEST_F(HomePageTest, OneUnreadSavedMessageAndAPlainInbox) {
  AddMessages({1, 7});
  Start();
  const Answer home = Home();
  EXPECT_NE(Element(home, "IWINBOXSTATS").find(">1 unread Mail message<"), std::string::npos);
  EXPECT_NE(Element(home, "IWINBOXLINK").find(">Inbox<"), std::string::npos);
  EXPECT_EQ(Element(home, "IWINBOXLINK").find("bold"), std::string::npos);
}

TEST_F(HomePageTest, NoUnreadMailInNormalWeightAndOutboxCount) {
  AddMessages({5, 5, 5, 5});
  Start();
  const Answer home = Home();
  const std::string stats = Element(home, "IWINBOXSTATS");
  EXPECT_NE(stats.find(">no unread Mail<"), std::string::npos) << stats;
  EXPECT_EQ(stats.find("bold"), std::string::npos);
  EXPECT_NE(Element(home, "IWOUTBOXLINK").find(">Outbox (4)"), std::string::npos);
}

TEST_F(HomePageTest, CountersFollowTheIndexWhenAnotherHolderChangesIt) {
  Start();
  Answer home = Home();
  EXPECT_NE(Element(home, "IWINBOXSTATS").find(">no unread Mail<"), std::string::npos);
  AddMessages({0, 0});  // a fetch of the timer, say
  home = browser_->Get("/index");
  EXPECT_NE(Element(home, "IWINBOXSTATS").find(">2 unread Mail messages"), std::string::npos)
      << home.body.substr(0, 200);
}

TEST_F(HomePageTest, SuggestionsOnlyWhenSwitchedOn) {
  Start();
  EXPECT_EQ(Home().body.find("ID=\"IWSUGGEST\""), std::string::npos);
  config_.ShowSuggestions = true;
  EXPECT_NE(Home().body.find("ID=\"IWSUGGEST\""), std::string::npos);
}

TEST_F(HomePageTest, ContactsPanelCollapsedWithoutContactsAndToggles) {
  Start();
  Answer home = Home();
  EXPECT_NE(Element(home, "IWHIDECONTACTS").find("co.gif"), std::string::npos);
  home = browser_->Post("IWMain", "IWHIDECONTACTS");
  EXPECT_NE(Element(home, "IWHIDECONTACTS").find("cc.gif"), std::string::npos);
  EXPECT_NE(home.body.find("There are no Contacts to display."), std::string::npos);
}

TEST_F(HomePageTest, ContactsPanelListsActiveContactsOpenAtLogIn) {
  {
    TContactsDB contacts;
    ASSERT_TRUE(contacts.Open(config_.UserDirectories + "Admin/"));
    ASSERT_TRUE(contacts.AddContact("Anna <b>Berg</b>", "anna@x.test"));
    ASSERT_TRUE(contacts.AddContact("", "nameless@x.test"));
    ASSERT_TRUE(contacts.AddContact("Gone", "gone@x.test"));
    TContactRecord gone;
    ASSERT_TRUE(contacts.GetContact(3, gone));
    gone.Active = 0;
    ASSERT_TRUE(contacts.SetContact(3, gone));
    contacts.Save(config_.UserDirectories + "Admin/");
  }
  Start();
  const Answer home = Home();
  EXPECT_NE(Element(home, "IWHIDECONTACTS").find("cc.gif"), std::string::npos);
  EXPECT_NE(home.body.find("ID=\"IWCONTACTS\""), std::string::npos);
  EXPECT_NE(home.body.find(">Anna &lt;b&gt;Berg&lt;/b&gt;</a>"), std::string::npos) << home.body;
  EXPECT_EQ(home.body.find("<b>Berg"), std::string::npos);
  EXPECT_NE(home.body.find("nameless@x.test"), std::string::npos);
  EXPECT_EQ(home.body.find("gone@x.test"), std::string::npos);
  EXPECT_EQ(home.body.find("There are no Contacts"), std::string::npos);
  const Answer collapsed = browser_->Post("IWMain", "IWHIDECONTACTS");
  EXPECT_EQ(collapsed.body.find("nameless@x.test"), std::string::npos);
}

TEST_F(HomePageTest, AContactClickStartsAMessageToTheContactTheLinkShowed) {
  const std::string store = config_.UserDirectories + "Admin/";
  {
    TContactsDB contacts;
    ASSERT_TRUE(contacts.Open(store));
    ASSERT_TRUE(contacts.AddContact("Bob", "bob@x.test"));
    ASSERT_TRUE(contacts.AddContact("Carl", "carl@x.test"));
    contacts.Save(store);
  }
  Start();
  const Answer home = Home();
  // The action of the link showing Bob, as the browser would post it.
  const auto bob = home.body.find(">Bob</a>");
  ASSERT_NE(bob, std::string::npos) << home.body;
  const auto call = home.body.rfind("SubmitClickConfirm(&#39;", bob);
  ASSERT_NE(call, std::string::npos);
  const auto name_start = call + std::string("SubmitClickConfirm(&#39;").size();
  const std::string control =
      home.body.substr(name_start, home.body.find("&#39;", name_start) - name_start);
  const auto param_start = home.body.find("&#39;", home.body.find("&#39;", name_start) + 5) + 5;
  const std::string param =
      home.body.substr(param_start, home.body.find("&#39;", param_start) - param_start);

  // Meanwhile another session adds Anna: the file is sorted again and Bob's position moves.
  {
    TContactsDB contacts;
    ASSERT_TRUE(contacts.Open(store));
    ASSERT_TRUE(contacts.AddContact("Anna", "anna@x.test"));
    contacts.Save(store);
  }
  const Answer compose = browser_->Post("IWMain", control, {}, param);
  EXPECT_EQ(compose.PageName(), "IWNewEmail") << compose.body.substr(0, 2000);
  EXPECT_NE(compose.body.find("VALUE=\"bob@x.test\""), std::string::npos) << compose.body;
  EXPECT_EQ(compose.body.find("anna@x.test\""), std::string::npos);
}

// A stand-in for a folder page.
class FolderPage : public TIWAppForm {
 public:
  using TIWAppForm::TIWAppForm;
};

TEST_F(HomePageTest, FolderLinksAndTheSummaryGoToTheirPages) {
  pages_.Others.push_back(PageClassOf<FolderPage>("TIWInbox", "IWInbox"));
  pages_.Others.push_back(PageClassOf<FolderPage>("TIWSent", "IWSent"));
  std::erase_if(pages_.Others,
                [](const TIWPageClass& page) { return page.ObjectName == "IWFind"; });
  Start();
  Home();
  EXPECT_EQ(browser_->Post("IWMain", "IWINBOXSTATS").PageName(), "IWInbox");
  Home();
  EXPECT_EQ(browser_->Post("IWMain", "IWSENTLINK").PageName(), "IWSent");
  // A page the program does not have yet leaves the home page in place.
  Home();
  EXPECT_EQ(browser_->Post("IWMain", "IWFINDMSG").PageName(), "IWMain");
}

TEST_F(HomePageTest, LogoutEndsTheSessionAndGoesToTheLogoutPage) {
  Start();
  Home();
  const Answer out = browser_->Post("IWMain", "IWLOGOUT");
  EXPECT_NE(out.body.find("/files/logout.htm"), std::string::npos);
  EXPECT_EQ(browser_->Get("/index").PageName(), "");
  EXPECT_EQ(sessions_->ActiveSessions(), 0);
}

TEST_F(HomePageTest, SendReceiveWithoutPopSettingsSaysSo) {
  Start();
  Home();
  const Answer after = browser_->Post("IWMain", "IWSENDRECV");
  EXPECT_EQ(after.PageName(), "IWMain");
  EXPECT_TRUE(after.HasAlert(app_->Text(kHtmlDialogStrings, "NoServerAddress")));
}

}  // namespace
}  // namespace kestrune::testing
