// Every dialog (each tab, each wizard step) drawn in a light and a dark palette into
// build/screenshots/dialogs, to be looked at; the test checks that each fits its
// contents at the default font.
#include <QApplication>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QStyleFactory>
#include <QTabWidget>

#include "console/dialogs/about_box.h"
#include "console/dialogs/first_run_wizard.h"
#include "console/dialogs/settings_dialog.h"
#include "console/dialogs/small_dialogs.h"
#include "console/dialogs/user_properties_dialog.h"
#include "console/dialogs/users_dialog.h"
#include "dialog_test_support.h"
#include "store/user_list.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;

QPalette DarkPalette() {
  QPalette p;
  const QColor window(45, 45, 48), base(30, 30, 30), text(230, 230, 230);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, window);
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, window);
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::Highlight, QColor(38, 79, 120));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::ToolTipBase, window);
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::PlaceholderText, QColor(150, 150, 150));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(127, 127, 127));
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(127, 127, 127));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(127, 127, 127));
  return p;
}

class DialogScreenshotsTest : public DialogTest {
 protected:
  void Shoot(QWidget& dialog, const std::string& name) {
    dialog.adjustSize();
    dialog.show();
    QApplication::processEvents();
    const QSize hint = dialog.minimumSizeHint();
    EXPECT_GE(dialog.width(), hint.width()) << name;
    EXPECT_GE(dialog.height(), hint.height()) << name;
    const fs::path directory = fs::path(KESTRUNE_SOURCE_DIR) / "build/screenshots/dialogs";
    fs::create_directories(directory);
    const QPixmap picture = dialog.grab();
    EXPECT_FALSE(picture.isNull()) << name;
    EXPECT_TRUE(picture.save(QString::fromStdString((directory / (name + ".png")).string())));
  }

  void ShootAll(const std::string& palette) {
    TfrmSettings settings(*settings_);
    for (int tab = 0; tab < settings.Tabs->count(); ++tab) {
      settings.Tabs->setCurrentIndex(tab);
      Shoot(settings, palette + "-settings-" + std::to_string(tab));
    }
    TUserList accounts;
    accounts.Open(settings_->Config().UserDirectories);
    for (const char* name : {"Admin", "ann", "bob"}) {
      TUserRecord user;
      user.UserName = name;
      user.EmailAddress = std::string(name) + "@example.org";
      user.PermissionLevel = name[0] == 'A' ? 0 : 1;
      if (!accounts.UserExists(name)) accounts.AddUserWithNewStore(user);
    }
    TfrmUsers users(*context_);
    Shoot(users, palette + "-users");
    TfrmUserProp properties(*context_, [](std::string_view) { return false; });
    properties.PrepareAdd();
    for (int tab = 0; tab < properties.Tabs->count(); ++tab) {
      properties.Tabs->setCurrentIndex(tab);
      Shoot(properties, palette + "-user-properties-" + std::to_string(tab));
    }
    TfrmFirstRun wizard(*settings_);
    wizard.AdminPassword->setText("goodpassword");
    wizard.AdminConfirm->setText("goodpassword");
    for (int step = 0; step <= TfrmFirstRun::kLastStep; ++step) {
      EXPECT_EQ(wizard.Step(), step);
      Shoot(wizard, palette + "-wizard-" + std::to_string(step));
      if (step < TfrmFirstRun::kLastStep) wizard.NextButton->click();
    }
    using Kind = TfrmInformation::Kind;
    const std::pair<Kind, const char*> kinds[] = {{Kind::kConfirmExit, "confirm-exit"},
                                                  {Kind::kMinimize, "minimize"},
                                                  {Kind::kSendReceive, "send-receive"},
                                                  {Kind::kCheckMailsLogin, "check-at-login"}};
    for (const auto& [kind, name] : kinds) {
      TfrmInformation information(kind, *settings_);
      Shoot(information, palette + "-" + name);
    }
    TfrmSocketError socket_error(*settings_);
    Shoot(socket_error, palette + "-socket-error");
    TfrmSSLPassword ssl_password(*settings_);
    Shoot(ssl_password, palette + "-ssl-password");
    TfrmAbout about;
    Shoot(about, palette + "-about");
  }
};

TEST_F(DialogScreenshotsTest, EveryDialogInLightAndDarkPalettes) {
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QApplication::setPalette(QApplication::style()->standardPalette());
  ShootAll("light");
  QApplication::setPalette(DarkPalette());
  ShootAll("dark");
}

}  // namespace
}  // namespace kestrune::testing
