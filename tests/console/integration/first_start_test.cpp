// The console's start-up dialogs on a real X server, in the console's own process: a
// fresh program directory runs the first-run wizard (browsers get the busy page until it
// has finished) and then serves the login page; a port in use at start is repaired in
// the socket-error dialog and the next start listens on the new port. Screenshots go to
// build/screenshots/console.

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <filesystem>

#include "console/console_dialogs.h"
#include "console/dialogs/first_run_wizard.h"
#include "console/dialogs/message_boxes.h"
#include "console/dialogs/small_dialogs.h"
#include "console_fixture.h"
#include "host/console_host.h"
#include "server_process.h"
#include "store/user_list.h"
#include "web/toolkit/listener_error.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using testing::ConsoleFixture;
using testing::FreePort;
using testing::Listening;

// The first page a browser gets: "/" starts a session and sends it on to "/index".
std::string FirstPage(int port) {
  return testing::HttpGet(port, "/index", testing::CookiesOf(testing::HttpGet(port, "/")));
}

bool IsLoginPage(const std::string& answer) {
  return answer.starts_with("HTTP/1.1 200") &&
         answer.find("name=\"IW_FormName\" value=\"IWLogin\"") != std::string::npos;
}

void Screenshot(QWidget& widget, const std::string& name) {
  const fs::path directory = fs::path(KESTRUNE_SOURCE_DIR) / "build/screenshots/console";
  fs::create_directories(directory);
  widget.grab().save(QString::fromStdString((directory / name).string()));
}

class ConsoleStartDialogsTest : public ConsoleFixture {
 protected:
  void TearDown() override {
    SetModalRunner({});
    ConsoleFixture::TearDown();
  }
};

class FreshHomeTest : public ConsoleStartDialogsTest {
 protected:
  void AddUsers() override {}  // a fresh home: no user yet
};

TEST_F(FreshHomeTest, WizardCreatesAdminAndTheLoginPageIsServedAfterwards) {
  std::string answer_meanwhile;
  bool wizard_ran = false;
  SetModalRunner([&](QDialog& dialog) {
    auto* wizard = dynamic_cast<TfrmFirstRun*>(&dialog);
    if (wizard == nullptr) return static_cast<int>(QDialog::Rejected);
    wizard_ran = true;
    wizard->show();
    answer_meanwhile = FirstPage(settings_->Config().Port);
    wizard->NextButton->click();
    wizard->AdminPassword->setText("goodpassword");
    wizard->AdminConfirm->setText("goodpassword");
    wizard->NextButton->click();
    wizard->RGNo->setChecked(true);
    wizard->NextButton->click();
    wizard->SmtpServer->setText("smtp.example.org");
    Screenshot(*wizard, "wizard-smtp.png");
    wizard->NextButton->click();
    return wizard->result();
  });
  Open();
  window_->show();  // the wizard runs when the window is first shown
  ASSERT_TRUE(QTest::qWaitFor([&] { return wizard_ran; }, 5000));
  Settle();
  // Meanwhile a browser got a page, but not the login page: the busy page.
  EXPECT_TRUE(answer_meanwhile.starts_with("HTTP/1.1 200")) << answer_meanwhile;
  EXPECT_FALSE(IsLoginPage(answer_meanwhile)) << answer_meanwhile;
  EXPECT_TRUE(IsLoginPage(FirstPage(settings_->Config().Port)));
  TUserList users;
  ASSERT_TRUE(users.Open(settings_->Config().UserDirectories));
  TUserRecord admin;
  EXPECT_TRUE(users.FindUser("Admin", admin));
  EXPECT_EQ(StoredConfig().SmtpServer, "smtp.example.org");
}

TEST_F(ConsoleStartDialogsTest, PortInUseIsRepairedAndTheNextStartListensOnTheNewPort) {
  Listening taken;
  Command({"settings", "set", "Port", std::to_string(taken.Port())});
  const int new_port = FreePort();
  {
    SettingsHost host;
    host.program_directory = home_;
    ProgramSettings settings(std::move(host));
    ConsoleHost console(settings, ConsoleHost::Sinks{.line = [](std::string_view) {},
                                                     .stats = [](const TProgramStat&) {},
                                                     .message = [](std::string_view) {},
                                                     .mail_running = [](bool) {}});
    bool refused = false;
    try {
      console.Start();
    } catch (const ListenerStartError& failure) {
      refused = failure.kind() == ListenerStartError::Kind::kPortInUse;
    }
    ASSERT_TRUE(refused);
    SetModalRunner([&](QDialog& dialog) {
      auto& repair = dynamic_cast<TfrmSocketError&>(dialog);
      repair.show();
      Screenshot(repair, "socket-error.png");
      repair.TBPort->setText(QString::number(new_port));
      repair.OkButton->click();
      return repair.result();
    });
    ConsoleDialogContext context{settings, home_};
    EXPECT_TRUE(RepairPortsAfterBindFailure(nullptr, context));
  }
  EXPECT_EQ(StoredConfig().Port, new_port);
  Open();
  EXPECT_TRUE(testing::Connects(new_port));
  window_->show();  // ready for browsers once the window is up
  EXPECT_TRUE(QTest::qWaitFor([&] { return IsLoginPage(FirstPage(new_port)); }, 5000));
}

}  // namespace
}  // namespace kestrune

// Under LeakSanitizer, also when run by hand: the caches the X, D-Bus, font and Qt
// libraries keep for the life of the process are not leaks of ours.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\nleak:libglib-2.0.so\nleak:libfontconfig.so\nleak:libQt6Core.so\n"
         "leak:libQt6Gui.so\nleak:libQt6Widgets.so\n";
}
