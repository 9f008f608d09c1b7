// A start that fails ends with the headless server's status and changes no setting unless
// the administrator answers Yes: the certificate and bound-address failures ask before
// SSL or the address binding is turned off, the port and key failures change nothing
// unless their repair dialogs are closed with Ok.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <sstream>

#include "console/console_program.h"
#include "console/dialogs/small_dialogs.h"
#include "host/command_line.h"
#include "settings/program_config.h"
#include "web/toolkit/listener_error.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using Kind = ListenerStartError::Kind;

class FailedStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "failed-start-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    Command({"settings", "set", "EnableSSL", "1"});
    Command({"settings", "set", "BindToIP", "1"});
    Command({"settings", "set", "BoundIP", "192.0.2.7"});
  }
  void TearDown() override { fs::remove_all(home_); }

  void Command(std::vector<std::string> args) {
    args.insert(args.begin(), {"--home", home_.string()});
    std::ostringstream out, err;
    ASSERT_EQ(RunProgram(args, out, err), 0) << err.str();
  }

  TProgramConfig Stored() {
    SettingsHost host;
    host.program_directory = home_;
    ProgramSettings settings(std::move(host));
    settings.LoadSettings();
    return settings.Config();
  }

  // Runs the recovery, answering every box that asks with answer (others with OK);
  // the texts of the boxes in order.
  int Recover(Kind kind, QMessageBox::StandardButton answer, std::vector<QString>& texts) {
    QTimer answering;
    QObject::connect(&answering, &QTimer::timeout, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      auto* box = qobject_cast<QMessageBox*>(modal);
      if (box == nullptr) {
        // A repair dialog: a port or password dialog closed without its Ok changes nothing.
        if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
        return;
      }
      texts.push_back(box->text());
      QAbstractButton* button = box->button(answer);
      if (button == nullptr) button = box->button(QMessageBox::Ok);
      if (button != nullptr)
        button->click();
      else
        box->reject();
    });
    answering.start(20);
    SettingsHost host;
    host.program_directory = home_;
    ProgramSettings settings(std::move(host));
    settings.LoadSettings();
    return RecoverFromFailedStart(ListenerStartError(kind, "the reason"), settings, home_);
  }

  fs::path home_;
};

TEST_F(FailedStartTest, NothingIsChangedWithoutAYes) {
  for (const auto& [kind, status] : std::vector<std::pair<Kind, int>>{{Kind::kPortInUse, 4},
                                                                      {Kind::kPrivateKey, 5},
                                                                      {Kind::kCertificates, 6},
                                                                      {Kind::kAddress, 7}}) {
    std::vector<QString> texts;
    EXPECT_EQ(Recover(kind, QMessageBox::No, texts), status);
    EXPECT_FALSE(texts.empty());
    const TProgramConfig stored = Stored();
    EXPECT_TRUE(stored.EnableSSL) << status;
    EXPECT_TRUE(stored.BindToIP) << status;
  }
}

TEST_F(FailedStartTest, CertificateAndAddressFailuresTurnTheirSettingOffAfterYes) {
  std::vector<QString> texts;
  EXPECT_EQ(Recover(Kind::kCertificates, QMessageBox::Yes, texts), 6);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_TRUE(
      texts[0].startsWith("Error loading SSL certificates, this can be caused by either\n"
                          "invalid certificates or they might not exist."));
  EXPECT_EQ(texts[1], "SSL Support has been disabled, please restart Kestrune.");
  EXPECT_FALSE(Stored().EnableSSL);
  EXPECT_TRUE(Stored().BindToIP);

  texts.clear();
  EXPECT_EQ(Recover(Kind::kAddress, QMessageBox::Yes, texts), 7);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_TRUE(
      texts[1].startsWith("IP Address Binding has been disabled, please restart Kestrune."));
  EXPECT_FALSE(Stored().BindToIP);
}

// The socket-error dialog's Ok writes the new port and the run ends asking for a restart.
TEST_F(FailedStartTest, PortFailureRepairedWithOkAsksForARestart) {
  std::vector<QString> texts;
  QTimer repairing;
  QObject::connect(&repairing, &QTimer::timeout, [&] {
    auto* repair = qobject_cast<TfrmSocketError*>(QApplication::activeModalWidget());
    if (repair == nullptr) return;
    repair->TBPort->setText("8181");
    repair->OkButton->click();
  });
  repairing.start(20);
  EXPECT_EQ(Recover(Kind::kPortInUse, QMessageBox::Ok, texts), 4);
  EXPECT_EQ(texts,
            std::vector<QString>{"You need to restart Kestrune for the changes to take effect"});
  EXPECT_EQ(Stored().Port, 8181);
}

}  // namespace
}  // namespace kestrune
