// kestrune-console on a real X server against Dovecot and the SMTP recorder: an
// administrator logs in and runs Send && Receive, the lines and statistics reach the
// window, the same process serves the web login page, a second console or headless
// server on the home is refused, and SIGTERM in the middle of a mail run deletes
// nothing on the POP3 server. Screenshots of the window and a printed log go to
// build/screenshots/console.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "console/debug_panel.h"
#include "console_fixture.h"
#include "peers.h"
#include "server_process.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using testing::CookiesOf;
using testing::HttpGet;
using testing::Peers;
using testing::PopMailbox;
using testing::ServerProcess;
using testing::Slurp;

std::string MessageText(int number, std::size_t body_bytes) {
  std::string body;
  while (body.size() < body_bytes) {
    body += "Line of the body of message " + std::to_string(number) + ".\n";
  }
  return "From: Alice <alice@example.org>\nTo: admin@example.org\nSubject: Message " +
         std::to_string(number) + "\nMessage-Id: <c" + std::to_string(number) +
         "@example.org>\n\n" + body;
}

fs::path ScreenshotDirectory() {
  const fs::path directory = fs::path(KESTRUNE_BINARY_DIR) / "screenshots" / "console";
  fs::create_directories(directory);
  return directory;
}

// "Admin" (administrator, "Secret") with a POP3 mailbox of the peers, checked by the
// timer, and the peers' SMTP server.
class PeersConsoleFixture : public testing::ConsoleFixture {
 protected:
  void AddUsers() override {
    Command({"settings", "set", "SmtpServer", "127.0.0.1"});
    Command({"settings", "set", "SmtpPort", std::to_string(Peers::Get().Port("SMTP_PORT"))});
    std::ofstream(home_ / "pw") << "Secret\n";
    std::ofstream(home_ / "pop") << box_.Password() << "\n";
    Command({"users", "add", "Admin", "--password-file", (home_ / "pw").string(), "--level", "0",
             "--pop-server", "127.0.0.1", "--pop-port",
             std::to_string(Peers::Get().Port("POP3_PORT")), "--pop-user", box_.User(),
             "--pop-password-file", (home_ / "pop").string(), "--auto-check"});
  }
  PopMailbox box_;
};

class ConsoleWindowTest : public PeersConsoleFixture {
 protected:
  void Screenshot(const char* name) {
    Settle();
    QTest::qWait(50);
    ASSERT_TRUE(
        window_->grab().save(QString::fromStdString((ScreenshotDirectory() / name).string())));
  }

  int Port() { return StoredConfig().Port; }
};

TEST_F(ConsoleWindowTest, AdministratorRunsSendAndReceiveFromTheWindow) {
  for (int i = 1; i <= 3; ++i) box_.Deliver(MessageText(i, 600));
  Command({"settings", "set", "ViewDebugLog", "1"});
  Open();
  window_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  Screenshot("logged-out.png");

  // The web login page comes from the same process, and its session is counted.
  const std::string start = HttpGet(Port(), "/");
  ASSERT_TRUE(start.starts_with("HTTP/1.1 302")) << start;
  const std::string page = HttpGet(Port(), "/index", CookiesOf(start));
  EXPECT_TRUE(page.starts_with("HTTP/1.1 200")) << page;
  EXPECT_NE(page.find("name=\"IW_FormName\" value=\"IWLogin\""), std::string::npos) << page;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        Settle();
        return window_->findChild<QLabel*>("LblOpenSessions")->text() == "1";
      },
      20000));

  Action("acLogin")->trigger();
  auto* password = window_->findChild<QLineEdit*>("TBPassword");
  QTest::keyClicks(password, "secret");
  Screenshot("login-panel.png");
  QTest::keyClick(password, Qt::Key_Return);
  Settle();
  ASSERT_TRUE(window_->ConsoleLoggedIn()) << messages_.size();
  Screenshot("logged-in.png");

  Action("acSendReceive")->trigger();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        Settle();
        return window_->findChild<QLabel*>("LblEmailsChecked")->text() != "Not Checked";
      },
      30000));
  Settle();
  const QString log = window_->findChild<QPlainTextEdit*>("DebugMemo")->toPlainText();
  EXPECT_TRUE(log.contains("Pop Server: User Admin Email number: 3 successfully retrieved."))
      << log.toStdString();
  EXPECT_TRUE(log.contains("Smtp Server: ")) << log.toStdString();
  EXPECT_EQ(window_->findChild<QLabel*>("LblLastUser")->text(), "Admin at Console.");
  EXPECT_TRUE(Action("acSendReceive")->isEnabled());
  EXPECT_EQ(box_.MessageCount(), 0u);
  EXPECT_EQ(Command({"index", "Admin"}).find("Message 3") != std::string::npos, true);
  Screenshot("mail-run.png");

  // The log of the run printed to a PDF, one page rendered for a look.
  QPrinter printer(QPrinter::HighResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  const fs::path pdf = ScreenshotDirectory() / "debug-log.pdf";
  printer.setOutputFileName(QString::fromStdString(pdf.string()));
  ASSERT_TRUE(PrintLogLines(printer, host_->LogLines()));
  const std::string render = "pdftoppm -r 50 -png -f 1 -l 1 '" + pdf.string() + "' '" +
                             (ScreenshotDirectory() / "debug-log").string() + "'";
  EXPECT_EQ(std::system(render.c_str()), 0);
}

class ConsoleProcessTest : public PeersConsoleFixture {
 protected:
  ServerProcess StartConsole(const char* err_name = "err.txt") {
    return ServerProcess(home_, {}, home_ / err_name, "kestrune-console");
  }
};

TEST_F(ConsoleProcessTest, ASecondConsoleOrHeadlessServerOnTheHomeIsRefused) {
  ServerProcess first = StartConsole();
  ASSERT_TRUE(first.WaitForLine("Kestrune Console ready at"))
      << first.Output() << Slurp(home_ / "err.txt");

  ServerProcess headless(home_, {"--headless"}, home_ / "headless.txt");
  EXPECT_EQ(headless.Wait(), 3);
  EXPECT_EQ(Slurp(home_ / "headless.txt"), "Kestrune is already running.\n");

  // The second console says so (and in a box, which the test does not wait for).
  ServerProcess second = StartConsole("second.txt");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return Slurp(home_ / "second.txt").find("Kestrune is already running.") !=
               std::string::npos;
      },
      20000));
  second.Signal(SIGTERM);
  second.Wait();
  EXPECT_TRUE(second.Lines().empty());

  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(), 0);
}

TEST_F(ConsoleProcessTest, SigtermDuringAMailRunDeletesNothingOnTheServer) {
  constexpr int kMessages = 400;
  for (int i = 1; i <= kMessages; ++i) box_.Deliver(MessageText(i, 4000));
  Command({"settings", "set", "AutoCheckEmails", "1"});
  Command({"settings", "set", "AutoCheckInterval", "1"});

  ServerProcess console = StartConsole();
  ASSERT_TRUE(console.WaitForLine("Pop Server: User Admin Email number: 1 successfully retrieved."))
      << console.Output() << Slurp(home_ / "err.txt");
  console.Signal(SIGTERM);
  EXPECT_EQ(console.Wait(), 0) << Slurp(home_ / "err.txt");
  const std::string output = console.Output();
  EXPECT_NE(output.find("Kestrune Server stopping (SIGTERM) at "), std::string::npos);
  ASSERT_NE(output.find("Pop Server: User Admin Fetch stopped; nothing was deleted on the Pop "
                        "Server."),
            std::string::npos)
      << "the run ended before the signal came; " << output;
  EXPECT_EQ(box_.MessageCount(), static_cast<std::size_t>(kMessages));
  EXPECT_TRUE(console.Lines().back().starts_with("Kestrune Server stopped at ")) << output;
  EXPECT_NE(Slurp(home_ / "kestrune.toml").find("MinimizeOnStartup"), std::string::npos);
}

}  // namespace
}  // namespace kestrune
