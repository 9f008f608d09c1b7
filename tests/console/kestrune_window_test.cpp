// The console window's rules on a real server run: actions before and after the
// administrator's log-in, log-in refused below administrator level, the log-in panel's
// time-out, the View items written back, mail runs on the worker disabling the mail
// actions, the window bounds across an exit, and a torn user database.
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <fstream>

#include "console/debug_panel.h"
#include "console_fixture.h"
#include "log/debug_log.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using testing::ConsoleFixture;

class KestruneWindowTest : public ConsoleFixture {
 protected:
  // Types the name and password into the log-in panel and presses Enter.
  void LogIn(const QString& user, const QString& password) {
    Action("acLogin")->trigger();
    window_->findChild<QLineEdit*>("TBUserName")->setText(user);
    auto* edit = window_->findChild<QLineEdit*>("TBPassword");
    edit->setText(password);
    QTest::keyClick(edit, Qt::Key_Return);
    Settle();
  }

  std::vector<std::string> Enabled() {
    std::vector<std::string> names;
    for (const char* name :
         {"acBrowserLogin", "acSendReceive", "acSendAll", "acReceiveAll", "acLogin", "acLogout",
          "acExit", "acTemplates", "acLangConst", "acUsers", "acSettings", "acToolBar",
          "acStatusBar", "acDebugWindow", "acWebHelp", "acAbout"}) {
      if (Action(name)->isEnabled()) names.emplace_back(name);
    }
    if (window_->findChild<QPushButton*>("DebugClear")->isEnabled()) names.emplace_back("Clear");
    return names;
  }
};

const std::vector<std::string> kLoggedOut = {"acBrowserLogin", "acLogin",     "acExit",
                                             "acToolBar",      "acStatusBar", "acDebugWindow",
                                             "acWebHelp",      "acAbout"};
const std::vector<std::string> kLoggedIn = {
    "acBrowserLogin", "acSendReceive", "acSendAll", "acReceiveAll", "acLogout",  "acExit",
    "acTemplates",    "acLangConst",   "acUsers",   "acSettings",   "acToolBar", "acStatusBar",
    "acDebugWindow",  "acWebHelp",     "acAbout",   "Clear"};

TEST_F(KestruneWindowTest, AdministratorLogInInAnyLetterCaseEnablesTheAdministrativeActions) {
  Open();
  EXPECT_EQ(Enabled(), kLoggedOut);
  LogIn("ADMIN", "sECRET");
  EXPECT_TRUE(window_->ConsoleLoggedIn());
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(Enabled(), kLoggedIn);
  EXPECT_TRUE(window_->findChild<QLineEdit*>("TBPassword")->text().isEmpty());
  EXPECT_FALSE(window_->findChild<QWidget*>("LoginPanel")->isVisibleTo(window_.get()));
  EXPECT_EQ(window_->findChild<QLabel*>("LblLastUser")->text(), "Admin at Console.");
  const auto lines = DebugLog().Lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.starts_with("User: ADMIN successfully logged onto the admin console at: ");
  }));

  Action("acLogout")->trigger();
  Settle();
  EXPECT_EQ(Enabled(), kLoggedOut);
}

TEST_F(KestruneWindowTest, PowerUsersUsersAndWrongPasswordsCannotLogIn) {
  Open();
  for (const auto& [user, password] : std::vector<std::pair<QString, QString>>{
           {"Power", "Secret"}, {"plain", "Secret"}, {"Admin", "Secret2"}, {"Nobody", "Secret"}}) {
    messages_.clear();
    LogIn(user, password);
    EXPECT_FALSE(window_->ConsoleLoggedIn()) << user.toStdString();
    ASSERT_EQ(messages_.size(), 1u) << user.toStdString();
    EXPECT_EQ(messages_[0],
              "Either your User Name / Password is invalid or you do\nnot have permission to "
              "login to the administration console.");
    // A refused password does not stay in the edit.
    EXPECT_TRUE(window_->findChild<QLineEdit*>("TBPassword")->text().isEmpty());
    EXPECT_EQ(Enabled(), kLoggedOut);
  }
}

TEST_F(KestruneWindowTest, AnUnusedLogInPanelClosesOnceAndForgetsThePassword) {
  Open();
  Action("acLogin")->trigger();
  auto* panel = window_->findChild<QWidget*>("LoginPanel");
  auto* button = window_->findChild<QPushButton*>("LoginButton");
  auto* password = window_->findChild<QLineEdit*>("TBPassword");
  EXPECT_TRUE(panel->isVisibleTo(window_.get()));
  EXPECT_FALSE(window_->findChild<QWidget*>("StatusPanel")->isVisibleTo(window_.get()));
  EXPECT_FALSE(button->isEnabled());
  password->setText("half typed");
  EXPECT_TRUE(button->isEnabled());

  QTimer* timer = window_->LoginTimer();
  EXPECT_TRUE(timer->isActive());
  EXPECT_TRUE(timer->isSingleShot());
  EXPECT_EQ(timer->interval(), 30000);
  QMetaObject::invokeMethod(timer, "timeout", Qt::DirectConnection);  // as if 30 s passed
  EXPECT_FALSE(panel->isVisibleTo(window_.get()));
  EXPECT_TRUE(window_->findChild<QWidget*>("StatusPanel")->isVisibleTo(window_.get()));
  EXPECT_TRUE(password->text().isEmpty());
  EXPECT_FALSE(timer->isActive());
}

TEST_F(KestruneWindowTest, ViewItemsAreWrittenBackToTheSettings) {
  Command({"settings", "set", "ViewDebugLog", "1"});
  Open();
  for (const char* name : {"acToolBar", "acStatusBar", "acDebugWindow"}) {
    EXPECT_TRUE(Action(name)->isChecked()) << name;
    Action(name)->trigger();
  }
  const TProgramConfig stored = StoredConfig();
  EXPECT_FALSE(stored.ViewToolBar);
  EXPECT_FALSE(stored.ViewStatusBar);
  EXPECT_FALSE(stored.ViewDebugLog);
  EXPECT_FALSE(window_->Debug()->isVisibleTo(window_.get()));
}

TEST_F(KestruneWindowTest, AMailRunDisablesTheMailActionsUntilItEnds) {
  std::atomic<bool> release{false};
  std::atomic<int> runs{0};
  MailRunFunctions slow;
  slow.send_receive = [&](MailRunContext& context) {
    ++runs;
    while (!release && !*context.stop) QThread::msleep(2);
    return true;
  };
  Open(slow);
  LogIn("Admin", "Secret");
  Action("acSendReceive")->trigger();
  EXPECT_FALSE(Action("acSendReceive")->isEnabled());
  EXPECT_FALSE(Action("acSendAll")->isEnabled());
  EXPECT_FALSE(Action("acReceiveAll")->isEnabled());
  ASSERT_TRUE(QTest::qWaitFor([&] { return runs == 1; }, 20000));
  Settle();
  EXPECT_FALSE(Action("acSendReceive")->isEnabled());  // still going
  EXPECT_FALSE(host_->RunMail(MailAction::kSendAll));  // nothing overlaps it
  release = true;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        feed_->Deliver();
        return Action("acSendReceive")->isEnabled();
      },
      20000));
  EXPECT_TRUE(Action("acReceiveAll")->isEnabled());
  EXPECT_EQ(runs, 1);
  EXPECT_NE(window_->findChild<QLabel*>("LblEmailsChecked")->text(), "Not Checked");
}

TEST_F(KestruneWindowTest, AMailTimerOfZeroMinutesNeverFires) {
  Command({"settings", "set", "AutoCheckEmails", "1"});
  Command({"settings", "set", "AutoCheckInterval", "0"});
  qputenv("KESTRUNE_TIMER_MS_PER_MINUTE", "1");
  std::atomic<int> runs{0};
  MailRunFunctions counted;
  counted.send_receive = [&](MailRunContext&) { return ++runs, true; };
  Open(counted);
  QTest::qWait(200);
  qunsetenv("KESTRUNE_TIMER_MS_PER_MINUTE");
  EXPECT_EQ(runs, 0);
}

TEST_F(KestruneWindowTest, WindowBoundsAreSavedOnExitAndRestoredAndUnsetBoundsCentre) {
  Open();
  window_->setGeometry(60, 70, 610, 430);
  Close();
  const TProgramConfig stored = StoredConfig();
  EXPECT_EQ(stored.MainWindowLeft, 60);
  EXPECT_EQ(stored.MainWindowTop, 70);
  EXPECT_EQ(stored.MainWindowWidth, 610);
  EXPECT_EQ(stored.MainWindowHeight, 430);

  Open();
  EXPECT_EQ(window_->geometry(), QRect(60, 70, 610, 430));
  Close();

  Command({"settings", "set", "MainWindowLeft", "-1"});
  Open();
  EXPECT_EQ(window_->size(), QSize(TfrmKestrune::kDesignWidth, TfrmKestrune::kDesignHeight));
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE((window_->geometry().center() - screen.center()).manhattanLength(), 2);
}

TEST_F(KestruneWindowTest, ATornUserDatabaseDoesNotLockTheConsoleOutForGood) {
  Open();
  const fs::path users = home_ / "Users" / "Users.Dat";
  ASSERT_TRUE(fs::exists(users)) << users;
  const fs::path good = home_ / "Users.good";
  fs::copy_file(users, good);
  std::ofstream(users, std::ios::trunc) << "KST torn";
  LogIn("Admin", "Secret");
  EXPECT_FALSE(window_->ConsoleLoggedIn());
  fs::copy_file(good, users, fs::copy_options::overwrite_existing);
  messages_.clear();
  LogIn("Admin", "Secret");
  EXPECT_TRUE(window_->ConsoleLoggedIn());
}

TEST_F(KestruneWindowTest, ExitWithLoginToQuitAsksForTheLogInFirst) {
  Command({"settings", "set", "LoginToQuit", "1"});
  Open();
  window_->show();
  Action("acExit")->trigger();
  EXPECT_FALSE(window_->Exiting());
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "You must be logged on to the Kestrune - Console before you can exit.");
  LogIn("Admin", "Secret");
  Action("acExit")->trigger();
  EXPECT_TRUE(window_->Exiting());
}

TEST_F(KestruneWindowTest, TheDebugPanelKeepsTheLogsBoundOfLines) {
  Open();
  DebugPanel* panel = window_->Debug();
  panel->ClearLines();
  QStringList batch;
  for (int i = 0; i < 1000; ++i) batch.append(QString("Line %1").arg(i));
  for (std::size_t added = 0; added <= TDebugLog::kMaxLines; added += 1000) {
    panel->AppendLines(batch);
  }
  EXPECT_EQ(static_cast<std::size_t>(panel->LineCount()), TDebugLog::kMaxLines);
}

}  // namespace
}  // namespace kestrune
