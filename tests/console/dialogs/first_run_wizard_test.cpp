// The first-run wizard: its steps forward and back, the checks of each step, what
// Finish creates and writes, and Cancel writing nothing.
#include "console/dialogs/first_run_wizard.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "dialog_test_support.h"
#include "store/user_list.h"

namespace kestrune::testing {
namespace {

class FirstRunWizardTest : public DialogTest {
 protected:
  // Steps 0 and 1 with a good password.
  static void PastThePassword(TfrmFirstRun& wizard) {
    wizard.NextButton->click();
    wizard.AdminPassword->setText("goodpassword");
    wizard.AdminConfirm->setText("GOODPASSWORD");
    wizard.NextButton->click();
    ASSERT_EQ(wizard.Step(), 2);
  }

  TUserRecord StoredAdmin() const {
    TUserList users;
    TUserRecord admin;
    EXPECT_TRUE(users.Open(settings_->Config().UserDirectories));
    EXPECT_TRUE(users.FindUser("Admin", admin));
    return admin;
  }

  int StoredUsers() const {
    TUserList users;
    if (!users.Open(settings_->Config().UserDirectories)) return -1;
    return users.GetCount();
  }
};

TEST_F(FirstRunWizardTest, StepsForwardAndBack) {
  TfrmFirstRun wizard(*settings_);
  EXPECT_EQ(wizard.windowTitle(), "Welcome");
  EXPECT_FALSE(wizard.PreviousButton->isEnabled());
  EXPECT_TRUE(wizard.ProceedText->isVisibleTo(&wizard));
  PastThePassword(wizard);
  for (int step : {3, 4, 5}) {
    wizard.NextButton->click();
    EXPECT_EQ(wizard.Step(), step);
  }
  EXPECT_EQ(wizard.NextButton->text(), "Finish");
  EXPECT_FALSE(wizard.ProceedText->isVisibleTo(&wizard));
  for (int step : {4, 3, 2, 1, 0}) {
    wizard.PreviousButton->click();
    EXPECT_EQ(wizard.Step(), step);
  }
  EXPECT_EQ(wizard.NextButton->text(), "Next");
  EXPECT_TRUE(prompts_.shown.empty());
}

TEST_F(FirstRunWizardTest, NoAccountSkipsToSmtpAndPreviousReturnsToTheQuestion) {
  TfrmFirstRun wizard(*settings_);
  PastThePassword(wizard);
  wizard.RGNo->setChecked(true);
  wizard.NextButton->click();
  EXPECT_EQ(wizard.Step(), 5);
  wizard.PreviousButton->click();
  EXPECT_EQ(wizard.Step(), 2);
}

TEST_F(FirstRunWizardTest, PasswordStepChecks) {
  const struct {
    const char* password;
    const char* confirm;
    std::deque<bool> answers;
    const char* message;
    int step_after;
  } cases[] = {
      {"", "", {}, "You must enter a password before you can continue.", 1},
      {"goodpassword", "", {}, "Please confirm your password before continuing.", 1},
      {"goodpassword",
       "goodpasswore",
       {},
       "The passwords you have entered do not match, please enter and confirm your password.",
       1},
      {"abc123", "abc123", {true}, "", 1},   // wants to change it
      {"abc123", "ABC123", {false}, "", 2},  // keeps it
      {"abc123",
       "abc124",
       {false},
       "The passwords you have entered do not match, please enter and confirm your password.",
       1},
  };
  for (const auto& c : cases) {
    TfrmFirstRun wizard(*settings_);
    wizard.NextButton->click();
    prompts_.shown.clear();
    prompts_.answers = c.answers;
    wizard.AdminPassword->setText(c.password);
    wizard.AdminConfirm->setText(c.confirm);
    wizard.NextButton->click();
    EXPECT_EQ(wizard.Step(), c.step_after) << c.password << "/" << c.confirm;
    if (*c.message != '\0') {
      EXPECT_EQ(OnlyMessage(), c.message);
    } else {
      EXPECT_TRUE(prompts_.shown.empty());
    }
    EXPECT_TRUE(prompts_.answers.empty());
  }
}

// Ports and server addresses are checked before the wizard can finish.
TEST_F(FirstRunWizardTest, PortsAndAddressesAreCheckedOnTheirSteps) {
  const struct {
    int step;
    std::function<void(TfrmFirstRun&)> spoil;
    const char* message;
  } cases[] = {
      {3, [](TfrmFirstRun& w) { w.EmailAddress->setText("admin at example"); },
       "Please enter an email address such as name@example.com, or leave it empty."},
      {4, [](TfrmFirstRun& w) { w.TBPopPort->setText("11o"); },
       "Please enter a numeric value for the server port."},
      {4, [](TfrmFirstRun& w) { w.TBPopPort->setText("0"); },
       "Please enter a numeric value for the server port."},
      {4, [](TfrmFirstRun& w) { w.TBPopServer->setText("pop example.org"); },
       "Please check the spelling of your pop server address."},
      {5, [](TfrmFirstRun& w) { w.SmtpServer->clear(); },
       "You must enter a SMTP Server address before you can continue."},
      {5, [](TfrmFirstRun& w) { w.SmtpPort->setText("65536"); },
       "Please enter a numeric value for the server port."},
      {5, [](TfrmFirstRun& w) { w.SmtpServer->setText("smtp.example.org/x"); },
       "Please check the spelling of your SMTP server address."},
  };
  for (const auto& c : cases) {
    TfrmFirstRun wizard(*settings_);
    PastThePassword(wizard);
    while (wizard.Step() < c.step) wizard.NextButton->click();
    wizard.SmtpServer->setText("smtp.example.org");
    prompts_.shown.clear();
    c.spoil(wizard);
    wizard.NextButton->click();
    EXPECT_EQ(OnlyMessage(), c.message);
    EXPECT_EQ(wizard.Step(), c.step);
    EXPECT_NE(wizard.result(), QDialog::Accepted);
  }
}

TEST_F(FirstRunWizardTest, FinishCreatesAdminAndWritesTheSmtpServer) {
  modal_ = [](QDialog& dialog) {
    auto& wizard = dynamic_cast<TfrmFirstRun&>(dialog);
    PastThePassword(wizard);
    wizard.NextButton->click();
    wizard.DisplayName->setText("The Admin");
    wizard.EmailAddress->setText("admin@example.org");
    wizard.NextButton->click();
    wizard.TBPopServer->setText("pop.example.org");
    wizard.TBPopPort->setText("995");
    wizard.TBPopUserName->setText("admin");
    wizard.TBPopPassword->setText("poppass");
    wizard.NextButton->click();
    wizard.SmtpServer->setText("smtp.example.org");
    wizard.SmtpPort->setText("587");
    wizard.SmtpAuthType->setCurrentIndex(1);
    EXPECT_TRUE(wizard.SmtpUserName->isVisibleTo(&wizard));
    wizard.SmtpUserName->setText("relay");
    wizard.SmtpPassword->setText("relaypass");
    wizard.NextButton->click();
    return wizard.result();
  };
  EXPECT_TRUE(RunFirstRunWizard(nullptr, *context_));
  const TUserRecord admin = StoredAdmin();
  EXPECT_EQ(admin.Password, "goodpassword");
  EXPECT_EQ(admin.PermissionLevel, 0);
  EXPECT_EQ(admin.EmailAddress, "admin@example.org");
  EXPECT_EQ(admin.PopPort, 995);
  EXPECT_EQ(admin.PopPassword, "poppass");
  const TProgramConfig stored = ReloadedConfig();
  EXPECT_EQ(stored.SmtpServer, "smtp.example.org");
  EXPECT_EQ(stored.SmtpPort, 587);
  EXPECT_EQ(stored.SmtpAuthType, 1);
  EXPECT_EQ(stored.SmtpUserName, "relay");
  EXPECT_EQ(stored.SmtpPassword, "relaypass");
}

TEST_F(FirstRunWizardTest, NoAccountCreatesAdminWithPort110) {
  modal_ = [](QDialog& dialog) {
    auto& wizard = dynamic_cast<TfrmFirstRun&>(dialog);
    PastThePassword(wizard);
    wizard.RGNo->setChecked(true);
    wizard.NextButton->click();
    wizard.SmtpServer->setText("smtp.example.org");
    EXPECT_FALSE(wizard.SmtpUserName->isVisibleTo(&wizard));
    wizard.NextButton->click();
    return wizard.result();
  };
  EXPECT_TRUE(RunFirstRunWizard(nullptr, *context_));
  const TUserRecord admin = StoredAdmin();
  EXPECT_EQ(admin.PopPort, 110);
  EXPECT_EQ(admin.PopServer, "");
}

TEST_F(FirstRunWizardTest, CancelWritesNothing) {
  const std::string before = SettingsFileText();
  modal_ = [](QDialog& dialog) {
    auto& wizard = dynamic_cast<TfrmFirstRun&>(dialog);
    PastThePassword(wizard);
    wizard.NextButton->click();
    wizard.CancelButton->click();
    return wizard.result();
  };
  EXPECT_FALSE(RunFirstRunWizard(nullptr, *context_));
  EXPECT_EQ(SettingsFileText(), before);
  EXPECT_LE(StoredUsers(), 0);
}

}  // namespace
}  // namespace kestrune::testing
