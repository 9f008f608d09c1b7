// The sign-in pages over HTTP: log-in, throttling, registration, busy and bad-login pages.
#include "web/pages/login_pages.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "platform/ascii.h"
#include "web_app_fixture.h"

namespace kestrune::testing {
namespace {

constexpr const char* kIncorrect = "Incorrect Username or Password.";

TEST_F(WebAppTest, LogInIgnoresLetterCaseAndLogsTheProperCaseName) {
  Start();
  TestBrowser browser = NewBrowser();
  ASSERT_EQ(browser.Get("/").PageName(), "IWLogin");
  const Answer home = LogIn(browser, "ADMIN", "secretpw");
  EXPECT_EQ(home.PageName(), "IWMain");
  EXPECT_NE(home.body.find(">Admin<"), std::string::npos);
  EXPECT_TRUE(LogHas("HTML Authorization Request for: Admin Accepted."));
  EXPECT_EQ(DebugLog().Stats().LastUser, "Admin");
}

TEST_F(WebAppTest, WrongPasswordAlertsEmptiesThePasswordAndLogsDeclined) {
  Start();
  TestBrowser browser = NewBrowser();
  browser.Get("/");
  const Answer again = LogIn(browser, "admin", "guess");
  EXPECT_EQ(again.PageName(), "IWLogin");
  EXPECT_TRUE(again.HasAlert(kIncorrect));
  EXPECT_NE(again.body.find("VALUE=\"admin\""), std::string::npos);
  EXPECT_EQ(again.body.find("guess"), std::string::npos);
  EXPECT_TRUE(LogHas("HTML Authorization Request for: Admin Declined."));
}

TEST_F(WebAppTest, EmptyNameCountsButWritesNoLine) {
  Start();
  const std::size_t lines = DebugLog().Lines().size();
  TestBrowser browser = NewBrowser();
  browser.Get("/");
  EXPECT_TRUE(LogIn(browser, "", "x").HasAlert(kIncorrect));
  EXPECT_EQ(DebugLog().Lines().size(), lines);
  EXPECT_EQ(app_->FailedLogins().AttemptCount("127.0.0.1"), 1);
}

TEST_F(WebAppTest, TwoFailuresBanNewVisitsUntilSixMinutesAfterTheFirst) {
  Start();
  TestBrowser browser = NewBrowser();
  browser.Get("/");
  LogIn(browser, "admin", "one");
  Advance(std::chrono::minutes(3));
  EXPECT_EQ(LogIn(browser, "nobody", "two").PageName(), "IWLogin");
  EXPECT_EQ(NewBrowser().Get("/").PageName(), "IWBadLogin");
  Advance(std::chrono::minutes(2) + std::chrono::seconds(59));
  EXPECT_EQ(NewBrowser().Get("/").PageName(), "IWBadLogin");
  Advance(std::chrono::seconds(1));
  EXPECT_EQ(NewBrowser().Get("/").PageName(), "IWLogin");
}

TEST_F(WebAppTest, TheThirdAttemptIsRefusedEvenWithTheRightPassword) {
  Start();
  TestBrowser browser = NewBrowser();
  browser.Get("/");
  LogIn(browser, "admin", "one");
  LogIn(browser, "admin", "two");
  EXPECT_EQ(LogIn(browser, "admin", "SecretPw").PageName(), "IWBadLogin");
  EXPECT_FALSE(LogHas("Admin Accepted."));
}

TEST_F(WebAppTest, LoginPagesOpenedBeforeTheBanGetNoExtraGuesses) {
  Start();
  std::vector<TestBrowser> browsers;
  for (int i = 0; i < 4; ++i) {
    browsers.push_back(NewBrowser());
    ASSERT_EQ(browsers.back().Get("/").PageName(), "IWLogin");
  }
  EXPECT_TRUE(LogIn(browsers[0], "admin", "one").HasAlert(kIncorrect));
  EXPECT_TRUE(LogIn(browsers[1], "admin", "two").HasAlert(kIncorrect));
  // Pages shown before the ban cannot be used for more guesses, not even a right one.
  EXPECT_EQ(LogIn(browsers[2], "admin", "three").PageName(), "IWBadLogin");
  EXPECT_EQ(LogIn(browsers[3], "admin", "SecretPw").PageName(), "IWBadLogin");
}

TEST_F(WebAppTest, ConcurrentPostsGetNoMoreGuessesThanTheRule) {
  Start();
  std::vector<TestBrowser> browsers;
  for (int i = 0; i < 6; ++i) {
    browsers.push_back(NewBrowser());
    browsers.back().Get("/");
  }
  std::vector<std::string> pages(browsers.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < browsers.size(); ++i) {
    threads.emplace_back([&, i] { pages[i] = LogIn(browsers[i], "admin", "wrong").PageName(); });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::count(pages.begin(), pages.end(), "IWLogin"), 2);
  EXPECT_EQ(std::count(pages.begin(), pages.end(), "IWBadLogin"), 4);
}

TEST_F(WebAppTest, SuccessAfterOneFailureClearsTheLine) {
  Start();
  TestBrowser browser = NewBrowser();
  browser.Get("/");
  LogIn(browser, "admin", "one");
  EXPECT_EQ(LogIn(browser, "admin", "SecretPw").PageName(), "IWMain");
  EXPECT_FALSE(app_->FailedLogins().IsTracked("127.0.0.1"));
  TestBrowser next = NewBrowser();
  next.Get("/");
  LogIn(next, "admin", "one");
  LogIn(next, "admin", "two");
  EXPECT_EQ(NewBrowser().Get("/").PageName(), "IWBadLogin");
}

TEST_F(WebAppTest, OwnAccountDoesNotResetTheCountForSomeoneElse) {
  AddAccount("Mallory", "mine", 2);
  Start();
  TestBrowser guesser = NewBrowser();
  guesser.Get("/");
  LogIn(guesser, "admin", "one");
  TestBrowser own = NewBrowser();
  own.Get("/");
  EXPECT_EQ(LogIn(own, "mallory", "mine").PageName(), "IWMain");
  EXPECT_EQ(app_->FailedLogins().AttemptCount("127.0.0.1"), 1);
  LogIn(guesser, "admin", "two");
  EXPECT_EQ(NewBrowser().Get("/").PageName(), "IWBadLogin");
}

TEST_F(WebAppTest, BanIpOffRecordsNothing) {
  config_.BanIP = false;
  Start();
  TestBrowser browser = NewBrowser();
  browser.Get("/");
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(LogIn(browser, "admin", "x").HasAlert(kIncorrect));
  EXPECT_FALSE(app_->FailedLogins().IsTracked("127.0.0.1"));
  EXPECT_EQ(LogIn(browser, "admin", "secretpw").PageName(), "IWMain");
}

TEST_F(WebAppTest, LogInReadsAccountsAddedAfterTheSessionStarted) {
  Start();
  TestBrowser browser = NewBrowser();
  browser.Get("/");
  AddAccount("Later", "pw", 2);
  EXPECT_EQ(LogIn(browser, "later", "pw").PageName(), "IWMain");
}

TEST_F(WebAppTest, BusyPageWhileNotReadyAndTheSessionEnds) {
  Start(false);
  TestBrowser browser = NewBrowser();
  const Answer busy = browser.Get("/");
  EXPECT_EQ(busy.PageName(), "IWBusy");
  EXPECT_NE(busy.body.find("busy"), std::string::npos);
  EXPECT_EQ(sessions_->ActiveSessions(), 0);
}

TEST_F(WebAppTest, SessionsOverTheLimitGetTheBusyPage) {
  config_.LimitConnections = true;
  config_.MaxConnections = 2;
  Start();
  TestBrowser first = NewBrowser();
  TestBrowser second = NewBrowser();
  EXPECT_EQ(first.Get("/").PageName(), "IWLogin");
  EXPECT_EQ(second.Get("/").PageName(), "IWLogin");
  EXPECT_EQ(NewBrowser().Get("/").PageName(), "IWBusy");
  LogIn(first, "admin", "secretpw");
  first.Post("IWMain", "IWLOGOUT");
  EXPECT_EQ(NewBrowser().Get("/").PageName(), "IWLogin");
}

TEST_F(WebAppTest, RegistrationLinkIsRefusedWhenRegistrationIsOff) {
  config_.AllowWebReg = false;
  Start();
  TestBrowser browser = NewBrowser();
  const Answer login = browser.Get("/");
  EXPECT_EQ(login.body.find("Register Now!"), std::string::npos);
  EXPECT_NE(browser.Post("IWLogin", "IWWEBREG").PageName(), "IWNewUser");
}

// The values of every Set-Cookie header of an answer that set the language cookie.
std::vector<std::string> LanguageCookies(const Answer& answer) {
  std::vector<std::string> found;
  const auto [first, last] = answer.headers.equal_range("Set-Cookie");
  for (auto it = first; it != last; ++it) {
    if (it->second.starts_with(kLanguageCookie)) found.push_back(it->second);
  }
  return found;
}

TEST_F(WebAppTest, LanguageLinkSwitchesOnlyToAnInstalledLanguage) {
  languages_ = LoadLanguagePacks(
      home_ / "Lang", std::filesystem::path(KESTRUNE_SOURCE_DIR) / "res" / "Lang", "English");
  Start();
  TestBrowser browser = NewBrowser();
  ASSERT_NE(browser.Get("/").body.find(">Sign in<"), std::string::npos);
  // What a forged post can name instead of a language code.
  for (const std::string forged : {"../../etc", "Klingon", "Deu; Domain=evil", "", "deu\r\nX: 1"}) {
    const Answer answer = browser.Post("IWLogin", "IWLANGUAGE", {}, forged);
    EXPECT_NE(answer.body.find(">Sign in<"), std::string::npos) << forged;
    EXPECT_EQ(LanguageCookies(answer), std::vector<std::string>{}) << forged;
  }
  const Answer german = browser.Post("IWLogin", "IWLANGUAGE", {}, "deu");
  EXPECT_NE(german.body.find(">Anmelden<"), std::string::npos);
  EXPECT_NE(german.body.find("<html lang=\"de\">"), std::string::npos);
  EXPECT_EQ(LanguageCookies(german),
            std::vector<std::string>{"KestruneLanguage=Deu; Max-Age=31536000; path=/; HttpOnly; "
                                     "SameSite=Lax"});
  EXPECT_TRUE(LogIn(browser, "nobody", "x").HasAlert("Benutzername oder Passwort falsch."));
}

class RegistrationTest : public WebAppTest {
 protected:
  RegistrationTest() { config_.AllowWebReg = true; }

  std::vector<std::pair<std::string, std::string>> Form(const std::string& name) {
    return {{"IWUSERNAME", name},           {"IWUSERPASS", "pw1"},
            {"IWUSERCONFIRM", "PW1"},       {"IWDISPLAYNAME", "New Person"},
            {"IWEMAILADDRESS", "n@x.test"}, {"IWSERVERADDRESS", "pop.x.test"},
            {"IWSERVERPORT", "110"},        {"IWSERVERUSERNAME", "n"},
            {"IWSERVERUSERPASS", "p"},      {"IWREADTERMS", "on"}};
  }

  Answer Register(TestBrowser& browser,
                  const std::vector<std::pair<std::string, std::string>>& form) {
    browser.Get("/");
    EXPECT_EQ(browser.Post("IWLogin", "IWWEBREG").PageName(), "IWNewUser");
    return browser.Post("IWNewUser", "IWREGISTER", form);
  }

  bool Exists(const std::string& name, TUserRecord* record = nullptr) {
    TUserList users;
    users.Open(config_.UserDirectories);
    TUserRecord user;
    const bool found = users.FindUser(name, user);
    if (record) *record = user;
    return found;
  }
};

TEST_F(RegistrationTest, AddsAPowerUserAndReturnsToTheLoginPage) {
  Start();
  TestBrowser browser = NewBrowser();
  const Answer done = Register(browser, Form("newbie"));
  EXPECT_EQ(done.PageName(), "IWLogin");
  EXPECT_TRUE(done.HasAlert(app_->Text(kHtmlDialogStrings, "RegistrationSuccess")));
  TUserRecord user;
  ASSERT_TRUE(Exists("newbie", &user));
  EXPECT_EQ(user.PermissionLevel, 1);
  EXPECT_EQ(user.UserDir, config_.UserDirectories + "newbie/");
  EXPECT_EQ(user.PopPort, 110);
  EXPECT_EQ(LogIn(browser, "newbie", "pw1").PageName(), "IWMain");
}

TEST_F(RegistrationTest, NameDifferingOnlyInCaseIsRefused) {
  Start();
  TestBrowser browser = NewBrowser();
  const Answer refused = Register(browser, Form("ADMIN"));
  EXPECT_EQ(refused.PageName(), "IWNewUser");
  EXPECT_TRUE(refused.HasAlert(app_->Text(kHtmlDialogStrings, "UserNameExists")));
}

TEST_F(RegistrationTest, NamesThatCannotBeADirectoryAreRefused) {
  Start();
  for (const std::string name : {"../evil", "a/b", "..", "tab\tname"}) {
    TestBrowser browser = NewBrowser();
    const Answer refused = Register(browser, Form(name));
    EXPECT_EQ(refused.PageName(), "IWNewUser") << name;
    EXPECT_TRUE(refused.HasAlert(app_->Text(kHtmlDialogStrings, "NewUserAddError"))) << name;
    EXPECT_FALSE(Exists(name)) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(home_ / "evil"));
}

TEST_F(RegistrationTest, OverlongFieldsAndBadPortsAreRefused) {
  Start();
  auto form = Form("longer");
  form[3].second = std::string(300, 'x');
  TestBrowser browser = NewBrowser();
  EXPECT_TRUE(Register(browser, form).HasAlert(app_->Text(kHtmlDialogStrings, "NewUserAddError")));
  form = Form("porter");
  form[6].second = "11O";
  TestBrowser second = NewBrowser();
  EXPECT_TRUE(Register(second, form).HasAlert(app_->Text(kHtmlDialogStrings, "ServerPortError")));
  form[6].second = "70000";
  EXPECT_TRUE(second.Post("IWNewUser", "IWREGISTER", form)
                  .HasAlert(app_->Text(kHtmlDialogStrings, "ServerPortError")));
  EXPECT_FALSE(Exists("longer"));
  EXPECT_FALSE(Exists("porter"));
}

TEST_F(RegistrationTest, ADirectoryLeftByADeletedAccountIsNotReused) {
  std::filesystem::create_directories(config_.UserDirectories + "bob");
  std::ofstream(config_.UserDirectories + "bob/old.eml") << "old mail";
  Start();
  TestBrowser browser = NewBrowser();
  Register(browser, Form("bob"));
  TUserRecord user;
  ASSERT_TRUE(Exists("bob", &user));
  EXPECT_EQ(user.UserDir, config_.UserDirectories + "bob-2/");
}

// A socket of `type` listening on a free loopback port, which is stored in `port`.
int ListenOnLoopback(int type, int& port) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  listen(fd, 4);
  return fd;
}

// A server that accepts a connection and closes it at once, without a greeting.
class ClosingServer {
 public:
  ClosingServer() {
    fd_ = ListenOnLoopback(SOCK_STREAM, port_);
    thread_ = std::thread([this] {
      const int client = accept(fd_, nullptr, nullptr);
      if (client >= 0) close(client);
    });
  }
  ~ClosingServer() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

TEST_F(RegistrationTest, ConnectionTestSaysCorrectOnlyAfterTheServerAcceptedThePassword) {
  ClosingServer server;
  config_.WebRegTestHosts = "127.0.0.1";
  Start();
  TestBrowser browser = NewBrowser();
  browser.Get("/");
  browser.Post("IWLogin", "IWWEBREG");
  auto form = Form("tester");
  form[5].second = "127.0.0.1";
  form[6].second = std::to_string(server.port());
  const Answer tested = browser.Post("IWNewUser", "IWTESTCONNECTION", form);
  EXPECT_EQ(tested.PageName(), "IWNewUser");
  EXPECT_FALSE(tested.HasAlert(app_->Text(kHtmlDialogStrings, "ServerTestCorrect")));
  EXPECT_NE(tested.body.find("window.alert("), std::string::npos);
}

TEST_F(RegistrationTest, ConnectionTestRefusesBadPortsLineBreaksAndRepeats) {
  config_.WebRegTestHosts = "pop.example.invalid, 127.0.0.1";
  Start();
  TestBrowser browser = NewBrowser();
  browser.Get("/");
  browser.Post("IWLogin", "IWWEBREG");
  auto form = Form("tester");
  form[6].second = "0";
  EXPECT_TRUE(browser.Post("IWNewUser", "IWTESTCONNECTION", form)
                  .HasAlert(app_->Text(kHtmlDialogStrings, "ServerPortError")));
  form[6].second = "1";
  form[7].second = "user\r\nDELE 1";
  const Answer injected = browser.Post("IWNewUser", "IWTESTCONNECTION", form);
  EXPECT_TRUE(injected.HasAlert(app_->Text(kHtmlDialogStrings, "ServerErrorUnexpected")));
  form[7].second = "user";
  form[5].second = "127.0.0.1";
  browser.Post("IWNewUser", "IWTESTCONNECTION", form);  // refused connection: one test
  EXPECT_TRUE(browser.Post("IWNewUser", "IWTESTCONNECTION", form)
                  .HasAlert("Please wait a few seconds before testing again."));
  Advance(TWebApp::kConnectionTestInterval);
  EXPECT_FALSE(browser.Post("IWNewUser", "IWTESTCONNECTION", form)
                   .HasAlert("Please wait a few seconds before testing again."));
}

TEST_F(RegistrationTest, OneNameRegisteredAtOnceOnTwoServersGivesOneAccount) {
  Start();
  // A second server on the same users directory, with its own controller and copies.
  TWebApp other_app(config_, nullptr, KestruneSessionPages());
  other_app.SetServerReady(true);
  TSessionController other_sessions(other_app);
  TIWServerController other_controller;
  other_controller.SetDirectories(home_ / "other",
                                  std::filesystem::path(KESTRUNE_SOURCE_DIR) / "res");
  other_controller.Port = 0;
  other_controller.MessagePage = MakeShowMessagePage;
  other_sessions.Install(other_controller);
  TIWStandAloneServer other(other_controller);
  other.Start();

  std::vector<TestBrowser> browsers;
  for (int i = 0; i < 8; ++i) {
    browsers.push_back(i % 2 ? TestBrowser(other.HttpPort()) : NewBrowser());
    browsers.back().Get("/");
    ASSERT_EQ(browsers.back().Post("IWLogin", "IWWEBREG").PageName(), "IWNewUser");
  }
  std::vector<std::thread> threads;
  std::atomic<int> successes{0};
  for (auto& browser : browsers) {
    threads.emplace_back([&] {
      const Answer done = browser.Post("IWNewUser", "IWREGISTER", Form("twice"));
      if (done.PageName() == "IWLogin") ++successes;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(successes.load(), 1);
  TUserList users;
  users.Open(config_.UserDirectories);
  int named = 0;
  for (int i = 1; i <= users.GetCount(); ++i) {
    TUserRecord user;
    users.GetUser(i, user);
    named += EqualsIgnoringAsciiCase(user.UserName, "twice");
  }
  EXPECT_EQ(named, 1);
}

// "eve" finds a leftover "eve/" and is given "eve-2/"; a later registration of the name
// "eve-2" must not be given the same directory and read Eve's mail.
TEST_F(RegistrationTest, AnAccountNamedLikeAnotherAccountsStoreGetsAStoreOfItsOwn) {
  std::filesystem::create_directories(config_.UserDirectories + "eve");
  Start();
  for (const char* name : {"eve", "eve-2"}) {
    TestBrowser browser = NewBrowser();
    ASSERT_EQ(Register(browser, Form(name)).PageName(), "IWLogin") << name;
  }
  TUserRecord eve, eve2;
  ASSERT_TRUE(Exists("eve", &eve));
  ASSERT_TRUE(Exists("eve-2", &eve2));
  EXPECT_EQ(eve.UserDir, config_.UserDirectories + "eve-2/");
  EXPECT_EQ(eve2.UserDir, config_.UserDirectories + "eve-2-2/");
  EXPECT_TRUE(std::filesystem::is_directory(eve2.UserDir));
}

// Names that the pages would greet as "Admin", registered as Power Users.
TEST_F(RegistrationTest, LookAlikesOfAdminAreRefusedAndNeverGreetedAsAdmin) {
  Start();
  for (const std::string name : {"Admin ", " admin", "Admin\u00A0", "Adm\u0131n"}) {
    TestBrowser browser = NewBrowser();
    const Answer refused = Register(browser, Form(name));
    EXPECT_EQ(refused.PageName(), "IWNewUser") << name;
    EXPECT_FALSE(Exists(name)) << name;
  }
  // One registered before these rules still logs in, under a name that shows what it is.
  AddAccount("adm\u0131n", "pw", 1);
  TestBrowser browser = NewBrowser();
  browser.Get("/");
  const Answer home = LogIn(browser, "adm\u0131n", "pw");
  ASSERT_EQ(home.PageName(), "IWMain");
  EXPECT_EQ(home.body.find("Adm\u0131n"), std::string::npos);
  EXPECT_NE(home.body.find("U+0131"), std::string::npos);
}

// A registered account sends through the installation's SMTP login with its own address
// as From: with WebRegDomains set, only the installation's domains can be registered.
TEST_F(RegistrationTest, AddressesOutsideTheAllowedDomainsAreRefused) {
  config_.WebRegDomains = "example.org, staff.example.org";
  Start();
  TestBrowser browser = NewBrowser();
  auto form = Form("spoofer");
  form[4].second = "ceo@bank.test";
  const Answer refused = Register(browser, form);
  EXPECT_TRUE(
      refused.HasAlert("Please register an email address of example.org or staff.example.org."));
  EXPECT_FALSE(Exists("spoofer"));
  form[4].second = "me@STAFF.example.org";
  EXPECT_EQ(browser.Post("IWNewUser", "IWREGISTER", form).PageName(), "IWLogin");
  EXPECT_TRUE(Exists("spoofer"));
}

// A listening socket that never accepts: a connection to it completes (the kernel's
// queue) and then hears nothing, like an open port of a service that is not POP3.
class SilentListener {
 public:
  SilentListener() { fd_ = ListenOnLoopback(SOCK_STREAM | SOCK_NONBLOCK, port_); }
  ~SilentListener() { close(fd_); }
  int port() const { return port_; }
  // Whether a connection arrived (and is waiting in the queue).
  bool Reached() const {
    const int client = accept(fd_, nullptr, nullptr);
    if (client < 0) return false;
    close(client);
    return true;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Before log-in the test button reached any host and port, told open ports ("Read
// Timeout" after a minute) from closed ones ("Connection refused").
TEST_F(RegistrationTest, ConnectionTestBeforeLogInIsNoPortScanner) {
  SilentListener open_port;
  int closed_port = 0;
  {
    SilentListener gone;
    closed_port = gone.port();
  }
  Start();
  auto form = Form("tester");
  form[5].second = "127.0.0.1";
  form[6].second = std::to_string(open_port.port());
  // No hosts listed: no test before log-in.
  TestBrowser browser = NewBrowser();
  browser.Get("/");
  browser.Post("IWLogin", "IWWEBREG");
  browser.Post("IWNewUser", "IWTESTCONNECTION", form);
  EXPECT_FALSE(open_port.Reached());

  // Another host than the listed ones: refused without a connection.
  config_.WebRegTestHosts = "pop.example.invalid";
  browser = NewBrowser();
  browser.Get("/");
  browser.Post("IWLogin", "IWWEBREG");
  const Answer unlisted = browser.Post("IWNewUser", "IWTESTCONNECTION", form);
  EXPECT_TRUE(
      unlisted.HasAlert("The connection can be tested only to the mail servers this site names."));
  EXPECT_FALSE(open_port.Reached());

  // Listed by the administrator: the same answer for an open and a closed port, soon.
  config_.WebRegTestHosts = "pop.example.invalid 127.0.0.1";
  for (const int port : {open_port.port(), closed_port}) {
    Advance(TWebApp::kConnectionTestInterval);
    form[6].second = std::to_string(port);
    const auto started = std::chrono::steady_clock::now();
    const Answer tested = browser.Post("IWNewUser", "IWTESTCONNECTION", form);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30)) << port;
    EXPECT_TRUE(tested.HasAlert(app_->Text(kHtmlDialogStrings, "ServerErrorUnexpected")))
        << port << tested.body;
  }
  EXPECT_TRUE(open_port.Reached());
}

// A record whose mail store is not inside the users directory (an imported or edited
// Users.Dat) would let its user read and delete files there through the pages.
TEST_F(WebAppTest, AnAccountWhoseMailStoreIsOutsideTheUsersDirectoryCannotLogIn) {
  TUserRecord mallory = AddAccount("mallory", "pw", 2);
  {
    TUserList users;
    ASSERT_TRUE(users.Open(config_.UserDirectories));
    mallory.UserDir = (home_ / "elsewhere").string() + "/";
    ASSERT_TRUE(users.UpdateUser("mallory", mallory));
    users.Save();
  }
  Start();
  TestBrowser browser = NewBrowser();
  browser.Get("/");
  const Answer refused = LogIn(browser, "mallory", "pw");
  EXPECT_EQ(refused.PageName(), "IWLogin");
  EXPECT_TRUE(refused.HasAlert(kIncorrect));
}

TEST_F(RegistrationTest, HandlersRefuseWhenRegistrationWasSwitchedOff) {
  Start();
  TestBrowser browser = NewBrowser();
  browser.Get("/");
  ASSERT_EQ(browser.Post("IWLogin", "IWWEBREG").PageName(), "IWNewUser");
  config_.AllowWebReg = false;  // the page is still open in the browser
  EXPECT_EQ(browser.Post("IWNewUser", "IWREGISTER", Form("late")).PageName(), "IWNewUser");
  EXPECT_FALSE(Exists("late"));
}

TEST_F(WebAppTest, BasicCredentialsInOtherCaseEnterTheHomePage) {
  config_.LoginType = 1;
  Start();
  EXPECT_EQ(NewBrowser().Get("/").status, 401);
  // admin:SECRETPW
  TestBrowser browser = NewBrowser("Basic YWRtaW46U0VDUkVUUFc=");
  EXPECT_EQ(browser.Get("/").PageName(), "IWMain");
  EXPECT_TRUE(LogHas("HTTP Authorization Request for: Admin Accepted."));
  // nobody:x
  EXPECT_EQ(NewBrowser("Basic bm9ib2R5Ong=").Get("/").status, 401);
  EXPECT_TRUE(LogHas("HTTP Authorization Request for: Nobody Declined."));
}

TEST_F(WebAppTest, BasicCredentialsAreThrottledByTheFailedLoginList) {
  config_.LoginType = 1;
  Start();
  // admin:wrong, twice: the address is then banned (LoginAttempts 3).
  EXPECT_EQ(NewBrowser("Basic YWRtaW46d3Jvbmc=").Get("/").status, 401);
  EXPECT_EQ(NewBrowser("Basic YWRtaW46d3Jvbmc=").Get("/").status, 401);
  EXPECT_EQ(app_->FailedLogins().AttemptCount("127.0.0.1"), 2);
  // A banned address gets no check at all: the right password is refused like a wrong
  // one, so the answer tells a guesser nothing.
  EXPECT_EQ(NewBrowser("Basic YWRtaW46U0VDUkVUUFc=").Get("/").status, 401);
  EXPECT_TRUE(app_->FailedLogins().CheckBanned("127.0.0.1"));
}

TEST_F(WebAppTest, BasicSuccessClearsOnlyTheSameUsersFailures) {
  config_.LoginType = 1;
  Start();
  EXPECT_EQ(NewBrowser("Basic YWRtaW46d3Jvbmc=").Get("/").status, 401);  // admin:wrong
  EXPECT_EQ(app_->FailedLogins().AttemptCount("127.0.0.1"), 1);
  EXPECT_EQ(NewBrowser("Basic YWRtaW46U0VDUkVUUFc=").Get("/").PageName(), "IWMain");
  EXPECT_EQ(app_->FailedLogins().AttemptCount("127.0.0.1"), -1);
}

}  // namespace
}  // namespace kestrune::testing
