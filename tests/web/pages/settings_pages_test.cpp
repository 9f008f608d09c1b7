// The settings pages over HTTP: a Power User's own account, a User's reduced page, and
// the administrator's accounts list with open, add, edit and delete. The forms are posted
// as a browser would post them (every field of the page written, read-only ones too), with
// the changes a test makes on top.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <thread>

#include "platform/ascii.h"
#include "store/user_list.h"
#include "web/toolkit/application.h"
#include "web/toolkit/controls_text.h"
#include "web_app_fixture.h"

namespace kestrune::testing {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

std::string HtmlUnescape(std::string text) {
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"&lt;", "<"},
                                 {"&gt;", ">"},
                                 {"&quot;", "\""},
                                 {"&#39;", "'"},
                                 {"&amp;", "&"}}) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + 1)) {
      text.replace(at, from.size(), to);
    }
  }
  return text;
}

std::string Attribute(const std::string& tag, const std::string& name) {
  std::smatch m;
  if (std::regex_search(tag, m, std::regex("\\b" + name + "=\"([^\"]*)\"", std::regex::icase))) {
    return HtmlUnescape(m[1]);
  }
  return {};
}

bool HasFlag(const std::string& tag, const std::string& flag) {
  return std::regex_search(tag, std::regex("\\s" + flag + "(\\s|>|/)", std::regex::icase));
}

// What a browser posts for the page's form: text and password boxes with their values,
// ticked check boxes as "on", the checked radio button of an enabled group.
Fields FormOf(const Answer& page) {
  Fields fields;
  const std::regex input("<input[^>]*>", std::regex::icase);
  for (auto it = std::sregex_iterator(page.body.begin(), page.body.end(), input);
       it != std::sregex_iterator(); ++it) {
    const std::string tag = it->str();
    const std::string type = Attribute(tag, "TYPE");
    const std::string name = Attribute(tag, "NAME");
    if (name.empty() || name.starts_with("IW_") || HasFlag(tag, "DISABLED")) continue;
    if (EqualsIgnoringAsciiCase(type, "checkbox")) {
      if (HasFlag(tag, "CHECKED")) fields.emplace_back(name, "on");
    } else if (EqualsIgnoringAsciiCase(type, "radio")) {
      if (HasFlag(tag, "CHECKED")) fields.emplace_back(name, Attribute(tag, "VALUE"));
    } else if (!EqualsIgnoringAsciiCase(type, "hidden")) {
      fields.emplace_back(name, Attribute(tag, "VALUE"));
    }
  }
  return fields;
}

// fields with the given ones set (replaced, or added).
Fields With(Fields fields, const Fields& changes) {
  for (const auto& [name, value] : changes) {
    std::erase_if(fields, [&](const auto& field) { return field.first == name; });
    if (value != "\x01") fields.emplace_back(name, value);  // "\x01": leave the field out
  }
  return fields;
}
const std::string kUnticked = "\x01";

// A POP3 server on a loopback port for one connection: it greets, answers "+OK" (CAPA
// "-ERR", as a server without extensions does) and records every line; with
// close_after_user it hangs up after the USER command instead.
class PopRecorder {
 public:
  explicit PopRecorder(bool close_after_user) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(fd_, 4);
    thread_ = std::thread([this, close_after_user] {
      const int client = accept(fd_, nullptr, nullptr);
      if (client < 0) return;
      const auto say = [client](const char* line) {
        send(client, line, strlen(line), MSG_NOSIGNAL);
      };
      say("+OK ready\r\n");
      std::string pending;
      char buffer[512];
      for (;;) {
        const ssize_t got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t end;
        bool done = false;
        while ((end = pending.find("\r\n")) != std::string::npos) {
          const std::string line = pending.substr(0, end);
          pending.erase(0, end + 2);
          {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
          }
          if (close_after_user && line.starts_with("USER")) done = true;
          if (done) break;
          say(line.starts_with("CAPA") ? "-ERR unknown command\r\n" : "+OK\r\n");
          if (line.starts_with("QUIT")) done = true;
        }
        if (done) break;
      }
      close(client);
    });
  }
  ~PopRecorder() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  int port() const { return port_; }
  std::string Received() {
    std::lock_guard lock(mutex_);
    std::string all;
    for (const std::string& line : lines_) all += line + "\n";
    return all;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A stand-in signature page: records the session it was opened in and, on "IWSave",
// reports a stored signature and goes back to the page that opened it.
class SignatureProbe : public TIWAppForm {
 public:
  SignatureProbe(TIWApplication& session, std::string name, std::string class_name)
      : TIWAppForm(session, std::move(name), std::move(class_name)),
        Save(AddControl<TIWButton>("IWSave")) {
    Last() = SessionOf(session);
    Save.OnClick = [this](TIWBaseControl&) {
      TIWApplication& session = WebApplication();
      TUserSession& state = *SessionOf(session);
      state.SignatureStored = true;
      session.ShowPage(session.FindPage(state.SignatureReturnPage));
      session.DiscardPage(this);
    };
  }
  static TUserSession*& Last() {
    static TUserSession* last = nullptr;
    return last;
  }
  static SessionPages With(SessionPages pages) {
    std::erase_if(pages.Others,
                  [](const TIWPageClass& page) { return page.ObjectName == "IWSignature"; });
    pages.Others.push_back(PageClassOf<SignatureProbe>("TIWSignature", "IWSignature"));
    return pages;
  }
  TIWButton& Save;
};

class SettingsPagesTest : public WebAppTest {
 protected:
  SettingsPagesTest() {
    pages_ = SignatureProbe::With(pages_);
    config_.AutoCheckEmails = true;
    Change("Admin", [](TUserRecord& user) { user.PopPassword = "AdminPopPw"; });
    AddAccount("bob", "BobPass1", 1);
    Change("bob", [](TUserRecord& user) {
      user.EmailDisplayName = "Bob";
      user.EmailAddress = "bob@example.org";
      user.PopServer = "pop.example.org";
      user.PopPort = 110;
      user.PopUserName = "bob";
      user.PopPassword = "BobPopSecret";
    });
    AddAccount("carol", "CarolPass1", 2);
  }

  void Change(const std::string& name, const std::function<void(TUserRecord&)>& change) {
    TUserList users;
    ASSERT_TRUE(users.Open(config_.UserDirectories));
    TUserRecord user;
    ASSERT_TRUE(users.FindUser(name, user));
    change(user);
    ASSERT_TRUE(users.UpdateUser(name, user));
    users.Save();
  }
  TUserRecord Stored(const std::string& name) {
    TUserList users;
    EXPECT_TRUE(users.Open(config_.UserDirectories));
    TUserRecord user;
    EXPECT_TRUE(users.FindUser(name, user)) << name;
    return user;
  }
  bool Exists(const std::string& name) {
    TUserList users;
    EXPECT_TRUE(users.Open(config_.UserDirectories));
    return users.UserExists(name);
  }

  // A browser logged in as name, on the settings page of its level.
  Answer OpenSettings(TestBrowser& browser, const std::string& name, const std::string& password) {
    browser.Get("/");
    EXPECT_EQ(LogIn(browser, name, password).PageName(), "IWMain");
    return browser.Post("IWMain", "IWSETTINGS");
  }
  // The administrator's browser on the accounts page.
  Answer OpenAdmin() {
    if (!server_) Start();
    admin_ = std::make_unique<TestBrowser>(NewBrowser());
    Answer page = OpenSettings(*admin_, "Admin", "SecretPw");
    EXPECT_EQ(page.PageName(), "IWAdminSettings");
    return page;
  }
  // The row parameter of the account's name in the accounts grid ("3_2"), or empty.
  static std::string RowOf(const Answer& page, const std::string& shown_name) {
    const std::regex link(
        "SubmitClickConfirm\\((?:'|&#39;)IWUSERS(?:'|&#39;),(?:'|&#39;)(\\d+_2)"
        "[^>]*>([^<]*)</a>");
    for (auto it = std::sregex_iterator(page.body.begin(), page.body.end(), link);
         it != std::sregex_iterator(); ++it) {
      if (HtmlUnescape((*it)[2]) == shown_name) return (*it)[1];
    }
    return {};
  }
  // The name of the check box in the same grid row as the account's name.
  static std::string BoxOf(const Answer& page, const std::string& shown_name) {
    const std::regex row("<tr>([\\s\\S]*?)</tr>");
    for (auto it = std::sregex_iterator(page.body.begin(), page.body.end(), row);
         it != std::sregex_iterator(); ++it) {
      const std::string html = (*it)[1];
      if (html.find(">" + shown_name + "</a>") == std::string::npos) continue;
      std::smatch box;
      if (std::regex_search(html, box, std::regex("TYPE=\"CHECKBOX\"[^>]*NAME=\"([A-Z0-9]+)\"")))
        return box[1];
    }
    return {};
  }
  Answer OpenAccount(const std::string& name) {
    const Answer list = OpenAdmin();
    const std::string row = RowOf(list, name);
    EXPECT_FALSE(row.empty()) << name;
    Answer page = admin_->Post("IWAdminSettings", "IWUSERS", {}, row);
    EXPECT_EQ(page.PageName(), "IWUserSettings");
    return page;
  }

  std::unique_ptr<TestBrowser> admin_;
};

// --- A Power User's own account (Apply) -------------------------------------------------

TEST_F(SettingsPagesTest, PasswordsAreNeverSentBackToTheBrowser) {
  Start();
  TestBrowser bob = NewBrowser();
  const Answer own = OpenSettings(bob, "bob", "BobPass1");
  ASSERT_EQ(own.PageName(), "IWUserSettings");
  const Answer other = OpenAccount("Admin");
  for (const Answer* page : {&own, &other}) {
    for (const char* secret : {"BobPass1", "BobPopSecret", "SecretPw", "AdminPopPw"}) {
      EXPECT_EQ(page->body.find(secret), std::string::npos) << secret;
    }
  }
  EXPECT_EQ(
      Attribute(own.body.substr(own.body.find("NAME=\"IWSERVERUSERNAME\"") - 200, 400), "VALUE"),
      "bob");
}

// The toolbar's New message button works on every settings page, as on every other page.
TEST_F(SettingsPagesTest, NewMessageButtonOfEverySettingsPageOpensTheComposePage) {
  Start();
  const struct {
    const char* name;
    const char* password;
    const char* page;
  } cases[] = {{"Admin", "SecretPw", "IWAdminSettings"},
               {"bob", "BobPass1", "IWUserSettings"},
               {"carol", "CarolPass1", "IWGenUserSet"}};
  for (const auto& c : cases) {
    TestBrowser browser = NewBrowser();
    ASSERT_EQ(OpenSettings(browser, c.name, c.password).PageName(), c.page);
    EXPECT_EQ(browser.Post(c.page, "IWCREATEEMAIL").PageName(), "IWNewEmail") << c.page;
  }
}

TEST_F(SettingsPagesTest, PowerUserPostingAnotherNameAndLevelZeroChangesOnlyTheOwnAccount) {
  Start();
  TestBrowser bob = NewBrowser();
  const Answer page = OpenSettings(bob, "bob", "BobPass1");
  const std::string admin_dir = Stored("Admin").UserDir;
  const Answer after = bob.Post(
      "IWUserSettings", "IWOKAYMETH",
      With(FormOf(page),
           {{"IWUSERNAME", "Admin"}, {"IWUSERPERMISSIONS", "0"}, {"IWDISPLAYNAME", "Bobby"}}));
  EXPECT_EQ(after.PageName(), "IWMain");
  const TUserRecord stored = Stored("bob");
  EXPECT_EQ(stored.EmailDisplayName, "Bobby");
  EXPECT_EQ(stored.PermissionLevel, 1);
  EXPECT_EQ(stored.Password, "BobPass1");  // empty boxes keep the password
  EXPECT_EQ(stored.PopPassword, "BobPopSecret");
  EXPECT_EQ(stored.UserDir, config_.UserDirectories + "bob/");
  const TUserRecord admin = Stored("Admin");
  EXPECT_EQ(admin.PermissionLevel, 0);
  EXPECT_EQ(admin.EmailDisplayName, "");
  EXPECT_EQ(admin.UserDir, admin_dir);
  EXPECT_TRUE(LogHas("User bob changed own settings"));
}

TEST_F(SettingsPagesTest, ApplyRefusesEachMissingOrBadBoxAndStoresNothing) {
  struct Case {
    Fields changes;
    const char* message;
  };
  const Case cases[] = {
      {{{"IWDISPLAYNAME", ""}}, "Please enter a display name to appear on the out going emails."},
      {{{"IWEMAILADDRESS", ""}}, "Please enter a email address for the user."},
      {{{"IWSERVERADDRESS", ""}}, "Please enter your pop server address."},
      {{{"IWSERVERPORT", ""}},
       "Please enter the port that your pop server uses, usually port 110."},
      {{{"IWSERVERUSERNAME", ""}}, "Please enter your user name for your pop server."},
      {{{"IWSERVERPORT", "0"}}, nullptr},
      {{{"IWSERVERPORT", "65536"}}, nullptr},
      {{{"IWSERVERPORT", "11O"}}, nullptr},
      {{{"IWUSERPASS", "new"}}, nullptr},
      {{{"IWUSERPASS", "new"}, {"IWUSERCONFIRM", "other"}}, nullptr},
  };
  Start();
  TestBrowser bob = NewBrowser();
  const Answer page = OpenSettings(bob, "bob", "BobPass1");
  const auto before = Stored("bob").ToBytes();
  for (const Case& c : cases) {
    const Answer after = bob.Post("IWUserSettings", "IWOKAYMETH", With(FormOf(page), c.changes));
    EXPECT_EQ(after.PageName(), "IWUserSettings") << c.changes[0].first;
    EXPECT_NE(after.body.find("window.alert("), std::string::npos) << c.changes[0].first;
    if (c.message != nullptr) {
      EXPECT_NE(after.body.find(c.message), std::string::npos);
    }
    EXPECT_EQ(Stored("bob").ToBytes(), before) << c.changes[0].first << "=" << c.changes[0].second;
  }
}

TEST_F(SettingsPagesTest, PasswordDifferingOnlyInCaseIsStoredAsTypedAndLogsNoPassword) {
  Start();
  TestBrowser bob = NewBrowser();
  const Answer page = OpenSettings(bob, "bob", "BobPass1");
  ASSERT_EQ(bob.Post("IWUserSettings", "IWOKAYMETH",
                     With(FormOf(page), {{"IWUSERPASS", "NewSecret9"},
                                         {"IWUSERCONFIRM", "newsecret9"},
                                         {"IWSERVERUSERPASS", "NewPop9"}}))
                .PageName(),
            "IWMain");
  EXPECT_EQ(Stored("bob").Password, "NewSecret9");
  EXPECT_EQ(Stored("bob").PopPassword, "NewPop9");
  EXPECT_EQ(Stored("bob").UserDir, config_.UserDirectories + "bob/");
  for (const std::string& line : DebugLog().Lines()) {
    EXPECT_EQ(line.find("NewSecret9"), std::string::npos) << line;
    EXPECT_EQ(line.find("NewPop9"), std::string::npos) << line;
  }
  TestBrowser again = NewBrowser();
  again.Get("/");
  EXPECT_EQ(LogIn(again, "bob", "newsecret9").PageName(), "IWMain");
}

TEST_F(SettingsPagesTest, PowerUserDemotedWhileOnThePageChangesNothing) {
  Start();
  TestBrowser bob = NewBrowser();
  const Answer page = OpenSettings(bob, "bob", "BobPass1");
  Change("bob", [](TUserRecord& user) { user.PermissionLevel = 2; });
  const Answer after = bob.Post("IWUserSettings", "IWOKAYMETH",
                                With(FormOf(page), {{"IWSERVERADDRESS", "evil.example.org"}}));
  EXPECT_EQ(after.PageName(), "IWMain");
  EXPECT_EQ(Stored("bob").PopServer, "pop.example.org");
}

TEST_F(SettingsPagesTest, WithServerAutoCheckOffTheBoxIsHiddenAndStoredOff) {
  config_.AutoCheckEmails = false;
  Change("bob", [](TUserRecord& user) { user.AutoCheckEmails = true; });
  Start();
  TestBrowser bob = NewBrowser();
  const Answer page = OpenSettings(bob, "bob", "BobPass1");
  EXPECT_EQ(page.body.find("NAME=\"IWSYSCHECKEMAIL\""), std::string::npos);
  bob.Post("IWUserSettings", "IWOKAYMETH",
           With(FormOf(page), {{"IWSYSCHECKEMAIL", "on"}, {"IWLEAVEMSGS", "on"}}));
  EXPECT_FALSE(Stored("bob").AutoCheckEmails);
  EXPECT_TRUE(Stored("bob").LeaveEmails);
}

TEST_F(SettingsPagesTest, PopServerHangingUpDuringLoginIsNotTestedCorrectly) {
  PopRecorder server(/*close_after_user=*/true);
  Start();
  TestBrowser bob = NewBrowser();
  const Answer page = OpenSettings(bob, "bob", "BobPass1");
  const Answer tested =
      bob.Post("IWUserSettings", "IWTESTCONNECTION",
               With(FormOf(page), {{"IWSERVERADDRESS", "127.0.0.1"},
                                   {"IWSERVERPORT", std::to_string(server.port())},
                                   {"IWSERVERUSERPASS", "typed"}}));
  EXPECT_EQ(tested.PageName(), "IWUserSettings");
  EXPECT_FALSE(tested.HasAlert("Your Pop server tested correctly."));
  EXPECT_NE(tested.body.find("window.alert("), std::string::npos);
}

TEST_F(SettingsPagesTest, StoredPopPasswordIsTestedOnlyAgainstTheStoredServer) {
  PopRecorder server(/*close_after_user=*/false);
  Change("bob", [&](TUserRecord& user) {
    user.PopServer = "127.0.0.1";
    user.PopPort = server.port();
  });
  Start();
  TestBrowser bob = NewBrowser();
  const Answer page = OpenSettings(bob, "bob", "BobPass1");
  // Another server with the password box left empty: the stored password stays home.
  const Answer elsewhere = bob.Post("IWUserSettings", "IWTESTCONNECTION",
                                    With(FormOf(page), {{"IWSERVERADDRESS", "localhost"}}));
  EXPECT_TRUE(elsewhere.HasAlert("Please enter your user password for your pop server."))
      << elsewhere.body.substr(elsewhere.body.find("window.alert("), 120);
  const Answer tested = bob.Post("IWUserSettings", "IWTESTCONNECTION", With(FormOf(page), {}));
  EXPECT_TRUE(tested.HasAlert("Your Pop server tested correctly."));
  EXPECT_NE(server.Received().find("PASS BobPopSecret"), std::string::npos);
}

// --- A User's reduced page ---------------------------------------------------------------

TEST_F(SettingsPagesTest, UserSavesPasswordAndOptionsKeepingLevelAndMailStore) {
  Start();
  TestBrowser carol = NewBrowser();
  Answer page = OpenSettings(carol, "carol", "CarolPass1");
  ASSERT_EQ(page.PageName(), "IWGenUserSet");
  EXPECT_EQ(page.body.find("CarolPass1"), std::string::npos);
  // Options only: the password stays.
  EXPECT_EQ(
      carol.Post("IWGenUserSet", "IWSAVE", With(FormOf(page), {{"IWADDSIG", "on"}})).PageName(),
      "IWMain");
  EXPECT_EQ(Stored("carol").Password, "CarolPass1");
  EXPECT_TRUE(Stored("carol").AddSignature);
  // Opened again, the page shows the account as stored.
  page = carol.Post("IWMain", "IWSETTINGS");
  ASSERT_EQ(page.PageName(), "IWGenUserSet");
  EXPECT_TRUE(std::regex_search(page.body, std::regex("NAME=\"IWADDSIG\"[^>]*CHECKED")));
  EXPECT_NE(carol
                .Post("IWGenUserSet", "IWSAVE",
                      With(FormOf(page), {{"IWUSERPASS", "Fresh1"}, {"IWUSERCONFIRM", "x"}}))
                .body.find("window.alert("),
            std::string::npos);
  EXPECT_EQ(carol
                .Post("IWGenUserSet", "IWSAVE",
                      With(FormOf(page), {{"IWUSERPASS", "Fresh1"}, {"IWUSERCONFIRM", "FRESH1"}}))
                .PageName(),
            "IWMain");
  const TUserRecord stored = Stored("carol");
  EXPECT_EQ(stored.Password, "Fresh1");
  EXPECT_EQ(stored.PermissionLevel, 2);
  EXPECT_EQ(stored.UserDir, config_.UserDirectories + "carol/");
  EXPECT_TRUE(LogHas("User carol changed own settings"));
}

// --- The administrator's page ------------------------------------------------------------

TEST_F(SettingsPagesTest, AccountsGridEscapesMarkupInRegisteredNamesAndAddresses) {
  AddAccount("<img src=x onerror=alert(1)>", "pw", 7);
  Change("bob", [](TUserRecord& user) { user.EmailAddress = "\"><script>alert(2)</script>"; });
  const Answer page = OpenAdmin();
  EXPECT_EQ(page.body.find("<img src=x"), std::string::npos);
  EXPECT_EQ(page.body.find("<script>alert(2)"), std::string::npos);
  EXPECT_NE(page.body.find("&lt;img src=x onerror=alert(1)&gt;"), std::string::npos);
  EXPECT_NE(page.body.find(">Power User<"), std::string::npos);
  EXPECT_NE(page.body.find(">User<"), std::string::npos);
  EXPECT_FALSE(RowOf(page, "carol").empty());
}

TEST_F(SettingsPagesTest, CraftedGridRowsActOnNothing) {
  const Answer page = OpenAdmin();
  for (const char* row : {"0_2", "999_2", "-1_2", "2_99", "x_y"}) {
    const Answer after = admin_->Post("IWAdminSettings", "IWUSERS", {}, row);
    EXPECT_EQ(after.PageName(), "IWAdminSettings") << row;
  }
  EXPECT_TRUE(Exists("bob"));
}

TEST_F(SettingsPagesTest, ForgedRenameOrDemotionOfAdminIsIgnored) {
  const Answer page = OpenAccount("Admin");
  EXPECT_EQ(page.body.find("NAME=\"IWUSERNAME\""), std::string::npos);  // shown as text
  const Answer after = admin_->Post(
      "IWUserSettings", "IWOKAYMETH",
      With(FormOf(page),
           {{"IWUSERNAME", "Root"}, {"IWUSERPERMISSIONS", "2"}, {"IWDISPLAYNAME", "Boss"}}));
  EXPECT_EQ(after.PageName(), "IWAdminSettings");
  EXPECT_FALSE(Exists("Root"));
  EXPECT_EQ(Stored("Admin").PermissionLevel, 0);
  EXPECT_EQ(Stored("Admin").EmailDisplayName, "Boss");
  EXPECT_EQ(Stored("Admin").Password, "SecretPw");
  EXPECT_TRUE(LogHas("Web Admin: Admin updated user Admin"));
}

TEST_F(SettingsPagesTest, SaveChangesOnlyWhatTheAdministratorChanged) {
  const Answer page = OpenAccount("bob");
  EXPECT_TRUE(std::regex_search(page.body, std::regex("VALUE=\"1\"[^>]*CHECKED")));
  // Meanwhile bob changes his address from another session.
  Change("bob", [](TUserRecord& user) { user.EmailAddress = "bob@new.example.org"; });
  ASSERT_EQ(admin_
                ->Post("IWUserSettings", "IWOKAYMETH",
                       With(FormOf(page), {{"IWDISPLAYNAME", "Robert"},
                                           {"IWUSERPERMISSIONS", "2"},
                                           {"IWUSERNAME", "Robert"}}))
                .PageName(),
            "IWAdminSettings");
  const TUserRecord stored = Stored("Robert");
  EXPECT_EQ(stored.EmailDisplayName, "Robert");
  EXPECT_EQ(stored.EmailAddress, "bob@new.example.org");
  EXPECT_EQ(stored.PermissionLevel, 2);
  EXPECT_EQ(stored.Password, "BobPass1");
  EXPECT_EQ(stored.PopPassword, "BobPopSecret");
  EXPECT_EQ(stored.UserDir, config_.UserDirectories + "bob/");  // a rename keeps the store
  EXPECT_TRUE(LogHas("Web Admin: Admin updated user Robert"));
}

TEST_F(SettingsPagesTest, SaveOfAnAccountRenamedOrGoneMeanwhileWritesNothing) {
  const Answer page = OpenAccount("bob");
  Change("bob", [](TUserRecord& user) { user.UserName = "bobby"; });
  AddAccount("bob", "Other1", 2);  // a new account under the old name, with its own store
  Change("bob", [&](TUserRecord& user) { user.UserDir = config_.UserDirectories + "bob-2/"; });
  const Answer after =
      admin_->Post("IWUserSettings", "IWOKAYMETH", With(FormOf(page), {{"IWDISPLAYNAME", "X"}}));
  EXPECT_TRUE(after.HasAlert("Error updating user information."));
  EXPECT_EQ(Stored("bob").EmailDisplayName, "");
  EXPECT_EQ(Stored("bobby").EmailDisplayName, "Bob");
  EXPECT_EQ(Stored("bob").PermissionLevel, 2);
}

TEST_F(SettingsPagesTest, SignatureOfAnotherAccountIsWrittenInThatAccountsStoreOnly) {
  Answer page = OpenAccount("bob");
  const Answer signature = admin_->Post("IWUserSettings", "IWCREATESIG",
                                        With(FormOf(page), {{"IWDISPLAYNAME", "Typed"}}));
  ASSERT_EQ(signature.PageName(), "IWSignature");
  EXPECT_EQ(SignatureProbe::Last()->SignatureDir, Stored("bob").UserDir);
  EXPECT_EQ(SignatureProbe::Last()->SignatureReturnPage, "IWUserSettings");
  page = admin_->Post("IWSignature", "IWSAVE");
  ASSERT_EQ(page.PageName(), "IWUserSettings");
  EXPECT_TRUE(std::regex_search(page.body, std::regex("NAME=\"IWADDSIG\"[^>]*CHECKED")));
  EXPECT_NE(page.body.find("VALUE=\"Typed\""), std::string::npos);  // the page was kept
  EXPECT_FALSE(Stored("Admin").AddSignature);
  EXPECT_FALSE(Stored("bob").AddSignature);  // until the page is saved
  admin_->Post("IWUserSettings", "IWOKAYMETH", FormOf(page));
  EXPECT_TRUE(Stored("bob").AddSignature);
  EXPECT_FALSE(Stored("Admin").AddSignature);

  // A new account has no mail store yet: no signature page.
  const Answer add = admin_->Post("IWAdminSettings", "IWADDUSER");
  EXPECT_EQ(add.body.find("NAME=\"IWCREATESIG\""), std::string::npos);
  EXPECT_EQ(admin_->Post("IWUserSettings", "IWCREATESIG", FormOf(add)).PageName(),
            "IWUserSettings");
}

TEST_F(SettingsPagesTest, LevelOutsideTheThreeIsRefused) {
  const Answer page = OpenAccount("bob");
  const Answer after = admin_->Post("IWUserSettings", "IWOKAYMETH",
                                    With(FormOf(page), {{"IWUSERPERMISSIONS", "3"}}));
  EXPECT_EQ(after.PageName(), "IWUserSettings");
  EXPECT_EQ(Stored("bob").PermissionLevel, 1);
}

TEST_F(SettingsPagesTest, DeletedAccountsStoreIsMovedAsideAndNeverGivenToANewAccount) {
  std::filesystem::create_directories(config_.UserDirectories + "bob");
  { std::ofstream(config_.UserDirectories + "bob/private.eml") << "old mail"; }
  Answer list = OpenAdmin();
  list = admin_->Post("IWAdminSettings", "IWDELUSER",
                      With(FormOf(list), {{BoxOf(list, "bob"), "on"},
                                          {BoxOf(list, "Admin"), "on"},
                                          {BoxOf(list, "carol"), "on"}}));
  EXPECT_EQ(list.PageName(), "IWAdminSettings");
  EXPECT_TRUE(list.HasAlert("You can not delete the Admin user."));
  EXPECT_FALSE(Exists("bob"));
  EXPECT_FALSE(Exists("carol"));
  EXPECT_TRUE(Exists("Admin"));
  EXPECT_TRUE(LogHas("Web Admin: Admin deleted user bob"));
  EXPECT_FALSE(std::filesystem::exists(config_.UserDirectories + "bob"));
  int aside = 0;
  for (const auto& entry : std::filesystem::directory_iterator(config_.UserDirectories)) {
    const std::string name = entry.path().filename().string();
    if (std::regex_match(name, std::regex("bob\\.deleted-\\d{8}T\\d{6}"))) {
      ++aside;
      EXPECT_TRUE(std::filesystem::exists(entry.path() / "private.eml"));
    }
  }
  EXPECT_EQ(aside, 1);

  // The same name again: a new, empty mail store.
  const Answer add = admin_->Post("IWAdminSettings", "IWADDUSER");
  ASSERT_EQ(add.PageName(), "IWUserSettings");
  const Answer added = admin_->Post("IWUserSettings", "IWOKAYMETH",
                                    With(FormOf(add), {{"IWUSERNAME", "bob"},
                                                       {"IWUSERPASS", "Again1"},
                                                       {"IWUSERCONFIRM", "Again1"},
                                                       {"IWDISPLAYNAME", "New Bob"},
                                                       {"IWEMAILADDRESS", "nb@example.org"},
                                                       {"IWSERVERADDRESS", "pop.example.org"},
                                                       {"IWSERVERUSERNAME", "nb"},
                                                       {"IWSERVERUSERPASS", "nbpop"},
                                                       {"IWUSERPERMISSIONS", "2"}}));
  EXPECT_EQ(added.PageName(), "IWAdminSettings");
  const TUserRecord stored = Stored("bob");
  EXPECT_EQ(stored.PermissionLevel, 2);
  EXPECT_EQ(stored.PopPort, 110);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(stored.UserDir) / "private.eml"));
  EXPECT_TRUE(LogHas("Web Admin: Admin added user bob"));
}

TEST_F(SettingsPagesTest, AddRequiresEveryBoxPasswordsIncluded) {
  OpenAdmin();
  const Answer add = admin_->Post("IWAdminSettings", "IWADDUSER");
  const Answer after =
      admin_->Post("IWUserSettings", "IWOKAYMETH",
                   With(FormOf(add), {{"IWUSERNAME", "dave"}, {"IWDISPLAYNAME", "Dave"}}));
  EXPECT_TRUE(after.HasAlert("Please enter a password for the user."));
  EXPECT_FALSE(Exists("dave"));
}

TEST_F(SettingsPagesTest, DemotedAdministratorsNextRequestActsOnNothing) {
  AddAccount("boss", "BossPass1", 0);
  Start();
  TestBrowser boss = NewBrowser();
  const Answer list = OpenSettings(boss, "boss", "BossPass1");
  ASSERT_EQ(list.PageName(), "IWAdminSettings");
  Change("boss", [](TUserRecord& user) { user.PermissionLevel = 2; });
  const Answer after =
      boss.Post("IWAdminSettings", "IWDELUSER", With(FormOf(list), {{BoxOf(list, "bob"), "on"}}));
  EXPECT_TRUE(Exists("bob"));
  EXPECT_NE(after.PageName(), "IWAdminSettings");
  EXPECT_EQ(after.body.find(">carol</a>"), std::string::npos);
}

TEST_F(SettingsPagesTest, DeletedUsersLiveSessionEnds) {
  Start();
  TestBrowser bob = NewBrowser();
  bob.Get("/");
  ASSERT_EQ(LogIn(bob, "bob", "BobPass1").PageName(), "IWMain");
  Answer list = OpenAdmin();
  admin_->Post("IWAdminSettings", "IWDELUSER", With(FormOf(list), {{BoxOf(list, "bob"), "on"}}));
  ASSERT_FALSE(Exists("bob"));
  const Answer after = bob.Post("IWMain", "IWINBOXLINK");
  EXPECT_EQ(after.PageName(), "");
  EXPECT_NE(after.body.find("logout.htm"), std::string::npos);
  EXPECT_NE(bob.Post("IWMain", "IWINBOXLINK").PageName(), "IWInbox");  // the session is gone
}

TEST_F(SettingsPagesTest, SwitchesChangeTheRunningServersSettings) {
  config_.AllowWebReg = true;
  config_.ShowSuggestions = true;
  const Answer list = OpenAdmin();
  admin_->Post("IWAdminSettings", "IWSHOWSUGGEST",
               With(FormOf(list), {{"IWSHOWSUGGEST", kUnticked}}));
  EXPECT_FALSE(config_.ShowSuggestions);
  EXPECT_TRUE(config_.AllowWebReg);
  admin_->Post("IWAdminSettings", "IWALLOWWEBREG",
               With(FormOf(list), {{"IWALLOWWEBREG", kUnticked}}));
  EXPECT_FALSE(config_.AllowWebReg);
}

}  // namespace
}  // namespace kestrune::testing
