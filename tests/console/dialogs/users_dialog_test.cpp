// The users and user-properties dialogs on a real Users.Dat: the list, Add with its
// refusals, Modify keeping what the dialog does not show, Delete moving the mail store
// aside, the auto-check question and the background connection test.
#include "console/dialogs/users_dialog.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "console/dialogs/pop_connection_test.h"
#include "console/dialogs/user_properties_dialog.h"
#include "dialog_test_support.h"
#include "mail/scripted_server.h"
#include "store/user_list.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;

class UsersDialogTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    ASSERT_TRUE(users_.Open(settings_->Config().UserDirectories));
    AddAccount("Admin", 0);
    AddAccount("ann", 1);
    AddAccount("bob", 2);
  }

  void AddAccount(const std::string& name, int level) {
    TUserRecord user;
    user.UserName = name;
    user.Password = "password1";
    user.PermissionLevel = level;
    user.EmailAddress = name + "@example.org";
    user.PopPort = 110;
    ASSERT_EQ(users_.AddUserWithNewStore(user), NewAccountResult::kAdded);
  }

  TUserRecord Stored(const std::string& name) {
    users_.Reload();
    TUserRecord user;
    EXPECT_TRUE(users_.FindUser(name, user)) << name;
    return user;
  }

  static void Select(TfrmUsers& dialog, const QString& name) {
    const auto rows = dialog.UserList->findItems(name, Qt::MatchExactly, 0);
    ASSERT_EQ(rows.size(), 1);
    dialog.UserList->setCurrentItem(rows.front());
  }

  // Runs the properties dialog with fill, then presses Ok; Cancel when Ok left it open.
  void PropertiesBy(std::function<void(TfrmUserProp&)> fill) {
    modal_ = [fill](QDialog& dialog) {
      auto& properties = dynamic_cast<TfrmUserProp&>(dialog);
      fill(properties);
      properties.OkButton->click();
      if (properties.result() != QDialog::Accepted) properties.CancelButton->click();
      return properties.result();
    };
  }

  static void Credentials(TfrmUserProp& p, const QString& name, const QString& password,
                          const QString& confirm) {
    p.TBUserName->setText(name);
    emit p.TBUserName->editingFinished();
    p.TBPassword->setText(password);
    p.TBConfirm->setText(confirm);
  }

  TUserList users_;
};

TEST_F(UsersDialogTest, ListsEveryAccountAndAPowerUserAsUser) {
  TfrmUsers dialog(*context_);
  EXPECT_EQ(dialog.Label1->text(), "Users: 3");
  ASSERT_EQ(dialog.UserList->topLevelItemCount(), 3);
  const char* expected[][3] = {{"Admin", "Admin@example.org", "Administrator"},
                               {"ann", "ann@example.org", "User"},
                               {"bob", "bob@example.org", "User"}};
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) {
      EXPECT_EQ(dialog.UserList->topLevelItem(row)->text(column).toStdString(),
                expected[row][column]);
    }
  }
  EXPECT_EQ(dialog.UserList->columnWidth(0), 120);
}

TEST_F(UsersDialogTest, AddCreatesTheAccountWithAStoreOfItsOwn) {
  PropertiesBy([](TfrmUserProp& p) {
    EXPECT_EQ(p.Tabs->currentIndex(), 0);
    EXPECT_TRUE(p.PermissionButtons[1]->isChecked());  // Power User
    EXPECT_EQ(p.TBPopPort->text(), "110");
    EXPECT_TRUE(p.AutoCheckEmails->isChecked());  // as the server setting
    Credentials(p, "carol", "longpassword", "LONGPASSWORD");
    p.TBEmailAddress->setText("carol@example.org");
    p.TBPopPort->setText("995");
  });
  TfrmUsers dialog(*context_);
  dialog.AddButton->click();
  EXPECT_TRUE(prompts_.shown.empty());
  EXPECT_EQ(dialog.Label1->text(), "Users: 4");
  const TUserRecord carol = Stored("carol");
  EXPECT_EQ(carol.Password, "longpassword");
  EXPECT_EQ(carol.PermissionLevel, 1);
  EXPECT_EQ(carol.PopPort, 995);
  EXPECT_EQ(carol.UserDir, settings_->Config().UserDirectories + "carol/");
  EXPECT_TRUE(fs::is_directory(carol.UserDir));
  EXPECT_GT(carol.Created, 0);
}

// Each refusal keeps the dialog open and adds nothing.
TEST_F(UsersDialogTest, AddRefusesWhatCannotBeAnAccount) {
  const struct {
    const char* name;
    const char* password;
    const char* confirm;
    const char* pop_port;
    std::deque<bool> answers;
    const char* message;  // "" when only the question was asked
  } cases[] = {
      {"",
       "longpassword",
       "longpassword",
       "110",
       {},
       "Error: You must enter a username to continue."},
      {"ANN",
       "longpassword",
       "longpassword",
       "110",
       {},
       "Error: This username already exists, please select a different username."},
      {"Adm\xd1\x96n",
       "longpassword",
       "longpassword",
       "110",
       {},  // Cyrillic i
       "Error: This username already exists, please select a different username."},
      {" dave",
       "longpassword",
       "longpassword",
       "110",
       {},
       "Error: A username cannot begin or end with a blank or hold \"/\", \"\\\", \":\" or "
       "invisible characters, please select a different username."},
      {"dave", "", "", "110", {}, "You must enter a password before you can continue."},
      {"dave", "longpassword", "", "110", {}, "Please confirm your password before continuing."},
      {"dave",
       "longpassword",
       "longpassworx",
       "110",
       {},
       "The passwords you have entered do not match, please enter and confirm your password."},
      {"dave",
       "longpassword",
       "longpassword",
       "11O",
       {},
       "Please enter a numeric value for the server port."},
      {"dave", "short", "short", "110", {true}, ""},
  };
  TfrmUsers dialog(*context_);
  for (const auto& c : cases) {
    prompts_.shown.clear();
    prompts_.answers = c.answers;
    PropertiesBy([&c](TfrmUserProp& p) {
      Credentials(p, QString::fromUtf8(c.name), c.password, c.confirm);
      p.TBPopPort->setText(c.pop_port);
    });
    dialog.AddButton->click();
    if (*c.message != '\0') {
      EXPECT_EQ(OnlyMessage(), c.message) << c.name;
    } else {
      EXPECT_TRUE(prompts_.shown.empty()) << c.name;
    }
    EXPECT_EQ(dialog.Label1->text(), "Users: 3") << c.name;
  }
  EXPECT_EQ(prompts_.asked.size(), 1u);
}

TEST_F(UsersDialogTest, ShortPasswordIsStoredAfterDecliningTheAdvice) {
  prompts_.answers = {false};
  PropertiesBy([](TfrmUserProp& p) { Credentials(p, "dave", "abc123", "abc123"); });
  TfrmUsers dialog(*context_);
  dialog.AddButton->click();
  EXPECT_EQ(Stored("dave").Password, "abc123");
}

// The web's signature page sets AddSignature while the administrator has the account
// open; the moved users directory must not move (or orphan) the account's mail.
TEST_F(UsersDialogTest, ModifyKeepsWhatTheDialogDoesNotShowAndChangesMadeMeanwhile) {
  TUserRecord ann = Stored("ann");
  ann.Reserved = 77;
  ann.Created = 40000.5;
  ann.raw[TUserRecord::kReservedOffset + 5] = 9;  // alignment byte after Reserved
  ASSERT_TRUE(users_.UpdateUser("ann", ann));
  users_.Save();
  const std::string store = ann.UserDir;
  TfrmUsers dialog(*context_);
  Select(dialog, "ann");
  settings_->Config().UserDirectories = (home_ / "Elsewhere").string() + "/";

  PropertiesBy([this](TfrmUserProp& p) {
    EXPECT_TRUE(p.TBUserName->isReadOnly());
    EXPECT_TRUE(p.PermissionLevel->isEnabled());
    EXPECT_EQ(p.TBConfirm->text(), "password1");
    emit p.TBUserName->editingFinished();
    // Meanwhile, from the web:
    TUserList web;
    ASSERT_TRUE(web.Open((home_ / "Users").string() + "/"));
    TUserRecord mine;
    ASSERT_TRUE(web.FindUser("ann", mine));
    mine.AddSignature = true;
    web.UpdateUser("ann", mine);
    web.Save();
    p.TBPassword->setText("newpassword");
    p.TBConfirm->setText("newpassword");
    p.PermissionButtons[2]->setChecked(true);
  });
  dialog.ModifyButton->click();
  EXPECT_TRUE(prompts_.shown.empty());
  EXPECT_TRUE(prompts_.asked.empty());  // no offer to migrate the store
  const TUserRecord after = Stored("ann");
  EXPECT_EQ(after.Password, "newpassword");
  EXPECT_EQ(after.PermissionLevel, 2);
  EXPECT_TRUE(after.AddSignature);
  EXPECT_EQ(after.Reserved, 77);
  EXPECT_EQ(after.Created, 40000.5);
  EXPECT_EQ(after.raw[TUserRecord::kReservedOffset + 5], 9);
  EXPECT_EQ(after.UserDir, store);
}

TEST_F(UsersDialogTest, AdminKeepsItsLevelAndCannotBeDeletedInAnyCase) {
  PropertiesBy([](TfrmUserProp& p) { EXPECT_FALSE(p.PermissionLevel->isEnabled()); });
  TfrmUsers dialog(*context_);
  Select(dialog, "Admin");
  dialog.ModifyButton->click();
  dialog.DeleteButton->click();
  EXPECT_EQ(OnlyMessage(), "You cannont Delete the admin account.");
  EXPECT_EQ(Stored("ADMIN").PermissionLevel, 0);
}

TEST_F(UsersDialogTest, ButtonsWithoutSelectionSaySo) {
  TfrmUsers dialog(*context_);
  dialog.ModifyButton->click();
  dialog.DeleteButton->click();
  ASSERT_EQ(prompts_.shown.size(), 2u);
  EXPECT_EQ(prompts_.shown[0].text, "Please select a user to modify.");
  EXPECT_EQ(prompts_.shown[1].text, "Please select a user to delete.");
}

// A deleted account's mail stays on disk but never reaches a new account of that name.
TEST_F(UsersDialogTest, DeletedStoreIsMovedAsideAndANewNamesakeStartsEmpty) {
  const fs::path store = Stored("ann").UserDir;
  std::ofstream(store / "old.eml") << "Subject: old\r\n\r\nold mail\r\n.\r\n";
  TfrmUsers dialog(*context_);
  Select(dialog, "ann");
  prompts_.answers = {false};
  dialog.DeleteButton->click();
  EXPECT_EQ(dialog.Label1->text(), "Users: 3");
  Select(dialog, "ann");
  prompts_.answers = {true};
  dialog.DeleteButton->click();
  EXPECT_EQ(prompts_.asked.back(),
            "Do you wish to delete this user?\n\nThe users store directories WILL NOT be deleted.");
  EXPECT_EQ(dialog.Label1->text(), "Users: 2");
  EXPECT_FALSE(fs::exists(store));
  int moved = 0;
  for (const auto& entry : fs::directory_iterator(store.parent_path().parent_path())) {
    if (entry.path().filename().string().starts_with("ann.deleted-")) {
      ++moved;
      EXPECT_TRUE(fs::exists(entry.path() / "old.eml"));
    }
  }
  EXPECT_EQ(moved, 1);

  PropertiesBy([](TfrmUserProp& p) { Credentials(p, "ann", "longpassword", "longpassword"); });
  dialog.AddButton->click();
  const fs::path new_store = Stored("ann").UserDir;
  EXPECT_TRUE(fs::is_directory(new_store));
  EXPECT_TRUE(fs::is_empty(new_store));
}

TEST_F(UsersDialogTest, AutoCheckForAUserTurnsTheServerTimerOnWhenAccepted) {
  settings_->StoreSetting(*FindSettingDefinition("AutoCheckEmails"), false);
  for (bool answer : {false, true}) {
    TfrmUserProp p(*context_, [](std::string_view) { return false; });
    p.PrepareAdd();
    EXPECT_FALSE(p.TBAutoCheckInterval->isEnabled());
    prompts_.answers = {answer};
    p.AutoCheckEmails->click();
    EXPECT_TRUE(p.AutoCheckEmails->isChecked());
    EXPECT_EQ(p.TBAutoCheckInterval->isEnabled(), answer);
    EXPECT_EQ(settings_->Config().AutoCheckEmails, answer);
    EXPECT_EQ(ReloadedConfig().AutoCheckEmails, answer);
    EXPECT_EQ(timer_resets_, answer ? 1 : 0);
  }
}

TEST_F(UsersDialogTest, CheckingAtLoginInformsOnlyWhileAddingAndNotSilenced) {
  int shown = 0;
  modal_ = [&shown](QDialog& dialog) {
    EXPECT_EQ(dialog.windowTitle(), "Information");
    ++shown;
    return static_cast<int>(QDialog::Accepted);
  };
  TUserRecord ann = Stored("ann");
  for (bool adding : {true, false}) {
    TfrmUserProp p(*context_, [](std::string_view) { return false; });
    adding ? p.PrepareAdd() : p.PrepareModify(ann);
    p.EmailCheckOnLogin->click();
  }
  EXPECT_EQ(shown, 1);
  settings_->Config().LoginCheckMailWarning = false;
  TfrmUserProp silenced(*context_, [](std::string_view) { return false; });
  silenced.PrepareAdd();
  silenced.EmailCheckOnLogin->click();
  EXPECT_EQ(shown, 1);
}

TEST_F(UsersDialogTest, LeavingMailOnTheServerRecommendsCheckingAtLogin) {
  TfrmUserProp p(*context_, [](std::string_view) { return false; });
  p.PrepareAdd();
  ASSERT_TRUE(p.AutoCheckEmails->isChecked());
  prompts_.answers = {true};
  p.LeaveEmails->click();
  EXPECT_FALSE(p.AutoCheckEmails->isChecked());
  EXPECT_TRUE(p.EmailCheckOnLogin->isChecked());
}

TEST_F(UsersDialogTest, ConnectionTestChecksTheFieldsInOrder) {
  TfrmUserProp p(*context_, [](std::string_view) { return false; });
  p.PrepareAdd();
  p.TBPopServer->clear();
  p.TBPopPort->clear();
  const struct {
    QLineEdit* fill;
    const char* value;
    const char* message;
  } steps[] = {
      {nullptr, "", "Please enter your pop server address."},
      {p.TBPopServer, "127.0.0.1",
       "Please enter the port that your pop server uses, usually port 110."},
      {p.TBPopPort, "x110", "Please enter your user name for your pop server."},
      {p.TBPopUserName, "ann", "Please enter your user password for your pop server."},
      {p.TBPopPassword, "pw", "Please enter a numeric value for the server port."},
  };
  for (const auto& step : steps) {
    if (step.fill != nullptr) step.fill->setText(step.value);
    prompts_.shown.clear();
    p.TestConnection->click();
    EXPECT_EQ(OnlyMessage(), step.message);
    EXPECT_FALSE(p.ConnectionTest->Running());
  }
}

// The test runs beside the dialog: the event loop goes on while the server answers,
// and a test can be cancelled while the server says nothing.
TEST_F(UsersDialogTest, ConnectionTestRunsInTheBackgroundAndCanBeCancelled) {
  ScriptedServer answering([](ScriptedPeer& peer) {
    peer.Send("+OK ready\r\n");
    for (std::string line = peer.ReadLine(); !peer.Closed(); line = peer.ReadLine()) {
      peer.Send(line == "CAPA" ? "-ERR\r\n" : "+OK\r\n");
      if (line == "QUIT") return;
    }
  });
  std::atomic<bool> released = false;
  ScriptedServer silent([&released](ScriptedPeer& peer) {
    while (!released && !peer.Closed()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });

  TfrmUserProp p(*context_, [](std::string_view) { return false; });
  p.PrepareAdd();
  p.TBPopServer->setText("127.0.0.1");
  p.TBPopUserName->setText("ann");
  p.TBPopPassword->setText("pw");

  p.TBPopPort->setText(QString::number(answering.Port()));
  p.TestConnection->click();
  EXPECT_EQ(p.TestConnection->text(), "Cancel Test");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !prompts_.shown.empty(); }, 15000));
  EXPECT_EQ(prompts_.shown[0].kind, BoxKind::kInformation);
  EXPECT_EQ(prompts_.shown[0].text, "Your Pop server tested correctly.");
  EXPECT_EQ(p.TestConnection->text(), "Test Connection");

  prompts_.shown.clear();
  p.TBPopPort->setText(QString::number(silent.Port()));
  p.TestConnection->click();
  ASSERT_TRUE(p.ConnectionTest->Running());
  QTest::qWait(100);  // the dialog keeps processing events meanwhile
  p.TestConnection->click();
  EXPECT_FALSE(p.ConnectionTest->Running());
  EXPECT_EQ(p.TestConnection->text(), "Test Connection");
  released = true;
  QTest::qWait(300);
  EXPECT_TRUE(prompts_.shown.empty());
}

}  // namespace
}  // namespace kestrune::testing
