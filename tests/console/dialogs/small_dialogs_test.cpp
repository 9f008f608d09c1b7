// The silencing information dialogs and the two start-up repairs.
#include "console/dialogs/small_dialogs.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "dialog_test_support.h"

namespace kestrune::testing {
namespace {

using Kind = TfrmInformation::Kind;

class SmallDialogsTest : public DialogTest {};

// Only the named button silences: "No" (or closing) with the box ticked keeps asking.
TEST_F(SmallDialogsTest, SilencingBoxesWriteOnlyWithTheirButton) {
  const struct {
    Kind kind;
    const char* caption;
    bool TProgramConfig::*setting;
  } dialogs[] = {
      {Kind::kConfirmExit, "Confirm Exit?", &TProgramConfig::ExitWarning},
      {Kind::kMinimize, "Information", &TProgramConfig::MinimizeWarning},
      {Kind::kSendReceive, "Information", &TProgramConfig::SendRecieveWarning},
      {Kind::kCheckMailsLogin, "Information", &TProgramConfig::LoginCheckMailWarning},
  };
  for (const auto& d : dialogs) {
    for (int press : {0, 1, 2}) {  // 0 unticked + Yes/Ok, 1 ticked + No/close, 2 ticked + Yes/Ok
      TfrmInformation dialog(d.kind, *settings_);
      EXPECT_EQ(dialog.windowTitle(), d.caption);
      dialog.DontAskAgain->setChecked(press != 0);
      if (press == 1) {
        if (dialog.NoButton != nullptr) {
          dialog.NoButton->click();
        } else {
          dialog.reject();
        }
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
      } else {
        dialog.YesButton->click();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
      }
      const bool silenced = press == 2;
      EXPECT_EQ(settings_->Config().*d.setting, !silenced) << d.caption << press;
      EXPECT_EQ(ReloadedConfig().*d.setting, !silenced) << d.caption << press;
    }
    settings_->StoreSetting(
        *FindSettingDefinition(d.kind == Kind::kConfirmExit   ? "ExitWarning"
                               : d.kind == Kind::kMinimize    ? "MinimizeWarning"
                               : d.kind == Kind::kSendReceive ? "SendRecieveWarning"
                                                              : "LoginCheckMailWarning"),
        true);
  }
  EXPECT_TRUE(operator_messages_.messages.empty());
}

TEST_F(SmallDialogsTest, ConfirmExitDefaultsToNo) {
  TfrmInformation dialog(Kind::kConfirmExit, *settings_);
  ASSERT_NE(dialog.NoButton, nullptr);
  EXPECT_TRUE(dialog.NoButton->isDefault());
  EXPECT_EQ(dialog.DontAskAgain->text(), "Dont ask me again");
}

TEST_F(SmallDialogsTest, SocketErrorWithoutSslWritesTheHttpPortAndKeepsTheHttpsPort) {
  settings_->StoreSetting(*FindSettingDefinition("EnableSSL"), false);
  TfrmSocketError dialog(*settings_);
  EXPECT_FALSE(dialog.TBSSLPort->isVisibleTo(&dialog));
  EXPECT_EQ(dialog.TBPort->text(), "80");
  dialog.TBPort->setText("8081");
  dialog.OkButton->click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(ReloadedConfig().Port, 8081);
  EXPECT_EQ(ReloadedConfig().SSLPort, 443);
}

// A port that is not one keeps the dialog open and writes neither port.
TEST_F(SmallDialogsTest, SocketErrorRefusesABadPortBeforeWritingEither) {
  const struct {
    const char* port;
    const char* ssl_port;
  } cases[] = {{"80a", "8443"}, {"8081", "x"}, {"8081", "0"}, {"", "8443"}};
  const std::string before = SettingsFileText();
  for (const auto& c : cases) {
    prompts_.shown.clear();
    TfrmSocketError dialog(*settings_);
    dialog.TBPort->setText(c.port);
    dialog.TBSSLPort->setText(c.ssl_port);
    dialog.OkButton->click();
    EXPECT_EQ(OnlyMessage(), "Please enter a port number from 1 to 65535.");
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(SettingsFileText(), before) << c.port << " " << c.ssl_port;
  }
  EXPECT_TRUE(operator_messages_.messages.empty());
}

TEST_F(SmallDialogsTest, SslPasswordDialogNamesNoSharedPasswordAndCanTurnHttpsOff) {
  TfrmSSLPassword dialog(*settings_);
  for (const QLabel* label : dialog.findChildren<QLabel*>()) {
    EXPECT_FALSE(label->text().contains("vexo")) << label->text().toStdString();
  }
  EXPECT_TRUE(dialog.EnableSSL->isChecked());
  EXPECT_TRUE(dialog.SSLCertPassword->isVisibleTo(&dialog));
  dialog.EnableSSL->click();
  EXPECT_FALSE(dialog.SSLCertPassword->isVisibleTo(&dialog));
  EXPECT_FALSE(dialog.PasswordLabel->isVisibleTo(&dialog));
  dialog.OkButton->click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  const TProgramConfig stored = ReloadedConfig();
  EXPECT_FALSE(stored.EnableSSL);
  EXPECT_EQ(stored.SSLPassword, settings_->Config().SSLPassword);
}

}  // namespace
}  // namespace kestrune::testing
