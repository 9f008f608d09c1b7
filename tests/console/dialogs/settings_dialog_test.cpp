// The settings dialog: filling, enable rules, ranges, the questions between the
// authentication type, registration and banning, and what OK and Cancel write.
#include "console/dialogs/settings_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>

#include "dialog_test_support.h"

namespace kestrune::testing {
namespace {

class SettingsDialogTest : public DialogTest {};

TEST_F(SettingsDialogTest, FillsFromTheRecordOnTheFirstTab) {
  TProgramConfig& c = settings_->Config();
  c.LoginType = 7;              // any non-zero type is HTTP
  c.SmtpAuthType = 3;           // any non-zero type is Simple Login
  c.SessionTrackingMethod = 9;  // out of range: URL
  c.BoundIP = "10.0.0.1";
  TfrmSettings dialog(*settings_);
  dialog.Tabs->setCurrentIndex(2);
  dialog.Fill();
  EXPECT_EQ(dialog.Tabs->currentIndex(), 0);
  EXPECT_EQ(dialog.AuthType->currentText(), "HTTP");
  EXPECT_EQ(dialog.SmtpAuthType->currentText(), "Simple Login");
  EXPECT_EQ(dialog.TrackMethod->currentText(), "URL");
  EXPECT_EQ(dialog.BoundIP->text(), "10.0.0.1");
  EXPECT_EQ(dialog.WebServerPort->text(), "80");
  EXPECT_EQ(dialog.SSLCertPassword->echoMode(), QLineEdit::Password);
  EXPECT_EQ(dialog.SmtpPassword->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(dialog.LogFilesDir->isReadOnly());
}

TEST_F(SettingsDialogTest, CountersKeepTheirRanges) {
  TfrmSettings dialog(*settings_);
  const struct {
    QSpinBox* box;
    int maximum;
  } cases[] = {{dialog.AutoSaveLogsEvery, 360}, {dialog.AutoCheckInterval, 360},
               {dialog.ServerTimeOut, 360},     {dialog.SessionTimeOut, 60},
               {dialog.MaxConnections, 999},    {dialog.LoginAttempts, 15}};
  for (const auto& c : cases) {
    c.box->setValue(-5);
    EXPECT_EQ(c.box->value(), 0) << c.box->objectName().toStdString();
    c.box->setValue(100000);
    EXPECT_EQ(c.box->value(), c.maximum);
  }
}

TEST_F(SettingsDialogTest, DependentControlsFollowTheirBoxes) {
  TfrmSettings dialog(*settings_);
  const struct {
    QCheckBox* box;
    std::vector<QWidget*> dependants;
  } cases[] = {
      {dialog.AutoSaveLogs, {dialog.AutoSaveLogsEvery, dialog.ClearDebug}},
      {dialog.AutoCheckEmails, {dialog.AutoCheckInterval}},
      {dialog.BindToIP, {dialog.BoundIP, dialog.BoundIPLabel}},
      {dialog.LimitConnections, {dialog.MaxConnections, dialog.MaxConnectionsLabel}},
      {dialog.SSLEnabled,
       {dialog.SSLPort, dialog.SSLRequests, dialog.SSLCertPassword, dialog.SSLCertPasswordLabel}},
      {dialog.cbBanIP, {dialog.LoginAttempts, dialog.LoginAttemptsLabel}},
  };
  for (const auto& c : cases) {
    for (bool on : {true, false, true}) {
      c.box->setChecked(on);
      for (QWidget* w : c.dependants) EXPECT_EQ(w->isEnabled(), on) << c.box->text().toStdString();
    }
  }
  for (int type : {1, 0}) {
    dialog.SmtpAuthType->setCurrentIndex(type);
    EXPECT_EQ(dialog.SmtpUserName->isEnabled(), type == 1);
    EXPECT_EQ(dialog.SmtpPassword->isEnabled(), type == 1);
  }
}

// The three rules that keep HTTP authentication from combining with registration or
// banning, answered Yes and No.
TEST_F(SettingsDialogTest, HttpAuthenticationAdmitsNeitherRegistrationNorBanning) {
  enum Action { kTickWebReg, kChooseHttp, kTickBan };
  const struct {
    Action action;
    bool answer;
    const char* auth_after;
    bool web_reg_after;
    bool ban_after;
  } cases[] = {
      {kTickWebReg, true, "HTML", true, false},  {kTickWebReg, false, "HTTP", false, false},
      {kChooseHttp, true, "HTTP", false, false}, {kChooseHttp, false, "HTML", true, false},
      {kTickBan, true, "HTML", false, true},     {kTickBan, false, "HTTP", false, false},
  };
  for (const auto& c : cases) {
    TfrmSettings dialog(*settings_);
    dialog.cbBanIP->setChecked(false);
    dialog.AllowWebReg->setChecked(c.action == kChooseHttp);
    dialog.AuthType->setCurrentIndex(c.action == kChooseHttp ? 0 : 1);
    prompts_.answers = {c.answer};
    switch (c.action) {
      case kTickWebReg:
        dialog.AllowWebReg->click();
        break;
      case kChooseHttp:
        dialog.AuthType->setCurrentIndex(1);
        emit dialog.AuthType->activated(1);
        break;
      case kTickBan:
        dialog.cbBanIP->click();
        break;
    }
    EXPECT_EQ(dialog.AuthType->currentText().toStdString(), c.auth_after) << c.action;
    EXPECT_EQ(dialog.AllowWebReg->isChecked(), c.web_reg_after) << c.action;
    EXPECT_EQ(dialog.cbBanIP->isChecked(), c.ban_after) << c.action;
    EXPECT_TRUE(prompts_.answers.empty());
  }
  EXPECT_EQ(prompts_.asked.size(), 6u);
}

TEST_F(SettingsDialogTest, BindingWarnsOnlyWhenTheStoredSettingIsOff) {
  TfrmSettings dialog(*settings_);
  dialog.BindToIP->click();
  ASSERT_EQ(prompts_.shown.size(), 1u);
  EXPECT_EQ(prompts_.shown[0].kind, BoxKind::kWarning);
  EXPECT_TRUE(prompts_.shown[0].text.starts_with("WARNING! PLEASE NOTE:"));
  settings_->Config().BindToIP = true;
  TfrmSettings bound(*settings_);
  bound.BindToIP->click();
  bound.BindToIP->click();
  EXPECT_EQ(prompts_.shown.size(), 1u);
}

// A field that cannot be stored writes nothing at all (not even the General tab) and
// says which field, on its own tab.
TEST_F(SettingsDialogTest, OneBadFieldWritesNothingAndNamesTheField) {
  const struct {
    const char* name;
    std::function<void(TfrmSettings&)> spoil;
    const char* message;
    int tab;
  } cases[] = {
      {"letter in port", [](TfrmSettings& d) { d.WebServerPort->setText("8o"); },
       "HTTP Listening Port must be a number from 1 to 65535.", 1},
      {"port 0", [](TfrmSettings& d) { d.WebServerPort->setText("0"); },
       "HTTP Listening Port must be a number from 1 to 65535.", 1},
      {"port 70000", [](TfrmSettings& d) { d.WebServerPort->setText("70000"); },
       "HTTP Listening Port must be a number from 1 to 65535.", 1},
      {"empty SSL port", [](TfrmSettings& d) { d.SSLPort->clear(); },
       "HTTPS Listening Port must be a number from 1 to 65535.", 1},
      {"SMTP port", [](TfrmSettings& d) { d.SmtpPort->setText("25x"); },
       "SMTP Server Port must be a number from 1 to 65535.", 3},
      {"bound address 300",
       [](TfrmSettings& d) {
         d.BindToIP->setChecked(true);
         d.BoundIP->setText("300.1.1.1");
       },
       "Bound IP Address must be four numbers from 0 to 255 separated by dots, such as "
       "192.168.000.001.",
       1},
      {"half an address",
       [](TfrmSettings& d) {
         d.BindToIP->setChecked(true);
         d.BoundIP->setText("10.1");
       },
       "Bound IP Address must be four numbers from 0 to 255 separated by dots, such as "
       "192.168.000.001.",
       1},
      {"relative log directory", [](TfrmSettings& d) { d.LogFilesDir->setText("logs"); },
       "Log Files Directory must be an absolute directory.", 0},
  };
  const std::string before = SettingsFileText();
  for (const auto& c : cases) {
    prompts_.shown.clear();
    TfrmSettings dialog(*settings_);
    dialog.LoginToQuit->setChecked(!dialog.LoginToQuit->isChecked());  // a good change too
    c.spoil(dialog);
    dialog.OkButton->click();
    EXPECT_EQ(OnlyMessage(), c.message) << c.name;
    EXPECT_EQ(dialog.Tabs->currentIndex(), c.tab) << c.name;
    EXPECT_FALSE(dialog.Written()) << c.name;
    EXPECT_EQ(dialog.result(), QDialog::Rejected) << c.name;  // still open
    EXPECT_EQ(SettingsFileText(), before) << c.name;
  }
  EXPECT_TRUE(operator_messages_.messages.empty());
}

TEST_F(SettingsDialogTest, OkWritesEveryKeyAndCancelNothing) {
  {
    TfrmSettings dialog(*settings_);
    dialog.AutoCheckInterval->setValue(45);
    dialog.WebServerPort->setText("8080");
    dialog.cbBanIP->setChecked(true);
    dialog.LoginAttempts->setValue(7);
    dialog.SmtpServerAddress->setText("mail.example.org");
    dialog.SmtpAuthType->setCurrentIndex(1);
    dialog.SmtpUserName->setText("relay");
    dialog.SmtpPassword->setText("s3cret");
    const std::string before = SettingsFileText();
    dialog.CancelButton->click();
    EXPECT_EQ(SettingsFileText(), before);
  }
  TfrmSettings dialog(*settings_);
  dialog.AutoCheckInterval->setValue(45);
  dialog.WebServerPort->setText("8080");
  dialog.LoginAttempts->setValue(7);
  dialog.SmtpServerAddress->setText("mail.example.org");
  dialog.SmtpAuthType->setCurrentIndex(1);
  dialog.SmtpUserName->setText("relay");
  dialog.SmtpPassword->setText("s3cret");
  dialog.OkButton->click();
  EXPECT_TRUE(dialog.Written());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(
      operator_messages_.messages,
      std::vector<std::string>{"Changes made to the web server require Kestrune to be restarted."});
  const TProgramConfig stored = ReloadedConfig();
  EXPECT_EQ(stored.AutoCheckInterval, 45);
  EXPECT_EQ(stored.Port, 8080);
  EXPECT_EQ(stored.LoginAttempts, 7);
  EXPECT_EQ(stored.SmtpServer, "mail.example.org");
  EXPECT_EQ(stored.SmtpAuthType, 1);
  EXPECT_EQ(stored.SmtpUserName, "relay");
  EXPECT_EQ(stored.SmtpPassword, "s3cret");
  EXPECT_EQ(settings_->Config().Port, 8080);
  EXPECT_EQ(SettingsFileText().find("s3cret"), std::string::npos);  // scrambled on disk
}

TEST_F(SettingsDialogTest, RestartMessageForListenerChangesOnly) {
  const struct {
    const char* name;
    std::function<void(TfrmSettings&)> change;
    bool restart;
  } cases[] = {
      {"connection limit", [](TfrmSettings& d) { d.LimitConnections->setChecked(true); }, true},
      {"connection count", [](TfrmSettings& d) { d.MaxConnections->setValue(31); }, true},
      {"password case", [](TfrmSettings& d) { d.SSLCertPassword->setText("VEXO"); }, false},
      {"timer only", [](TfrmSettings& d) { d.AutoSaveLogsEvery->setValue(5); }, false},
  };
  for (const auto& c : cases) {
    operator_messages_.messages.clear();
    settings_->Config().SSLPassword = "vexo";
    TfrmSettings dialog(*settings_);
    c.change(dialog);
    dialog.OkButton->click();
    EXPECT_EQ(operator_messages_.messages.size(), c.restart ? 1u : 0u) << c.name;
    // Back to the defaults for the next case.
    TfrmSettings reset(*settings_);
    reset.LimitConnections->setChecked(false);
    reset.MaxConnections->setValue(30);
    reset.OkButton->click();
  }
}

}  // namespace
}  // namespace kestrune::testing
