// A backup of the home of a running server while its timer fetches mail from Dovecot into
// it: the archive verifies, and the home restored from it in another directory starts in the
// server with every account and every message the backup counted, and Admin logs in there.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/command_line.h"
#include "peers.h"
#include "server_process.h"
#include "web/pages/web_app_fixture.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using testing::FreePort;
using testing::Peers;
using testing::PopMailbox;
using testing::ServerProcess;
using testing::Slurp;

class BackupRestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "backup-server-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    home_ = root_ / "home";
    port_ = FreePort();
    Command(home_, {"settings", "set", "Port", std::to_string(port_)});
    Command(home_, {"settings", "set", "EnableSSL", "0"});
  }
  void TearDown() override { fs::remove_all(root_); }

  static std::string Command(const fs::path& home, std::vector<std::string> args) {
    args.insert(args.begin(), {"--home", home.string()});
    std::ostringstream out, err;
    EXPECT_EQ(RunProgram(args, out, err), 0) << err.str();
    return out.str();
  }
  static std::size_t Lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  }
  // The number after "name\t" in a backup report.
  static std::size_t Reported(const std::string& report, const std::string& name) {
    const std::size_t at = report.find(name + "\t");
    EXPECT_NE(at, std::string::npos) << report;
    return at == std::string::npos ? 0 : std::stoul(report.substr(at + name.size() + 1));
  }

  fs::path root_;
  fs::path home_;
  int port_ = 0;
};

TEST_F(BackupRestoreTest, BackupDuringAFetchRestoresIntoAHomeTheServerOpensWithEveryMessage) {
  PopMailbox box;
  constexpr int kMessages = 300;
  for (int i = 1; i <= kMessages; ++i) {
    box.Deliver("From: Alice <alice@example.org>\nTo: admin@example.org\nSubject: Message " +
                std::to_string(i) + "\n\n" + std::string(3000, 'b') + "\n");
  }
  std::ofstream(root_ / "pw") << "admin password\n";
  std::ofstream(root_ / "pop") << box.Password() << "\n";
  Command(home_, {"users", "add", "Admin", "--password-file", (root_ / "pw").string(), "--level",
                  "0", "--pop-server", "127.0.0.1", "--pop-port",
                  std::to_string(Peers::Get().Port("POP3_PORT")), "--pop-user", box.User(),
                  "--pop-password-file", (root_ / "pop").string(), "--auto-check"});
  Command(home_, {"users", "add", "bob", "--password-file", (root_ / "pw").string()});
  Command(home_, {"settings", "set", "AutoCheckEmails", "1"});
  Command(home_, {"settings", "set", "AutoCheckInterval", "1"});

  ServerProcess server(home_, {"--headless"}, root_ / "err.txt");
  ASSERT_TRUE(server.WaitForLine("Pop Server: User Admin Email number: 10 successfully retrieved."))
      << server.Output() << Slurp(root_ / "err.txt");
  // While the run fetches: the backup waits for the mail store and takes it whole.
  const fs::path archive = root_ / "home.tar.gz";
  std::ostringstream out, err;
  ASSERT_EQ(RunProgram({"--home", home_.string(), "backup", archive.string()}, out, err), 0)
      << err.str();
  const std::string report = out.str();
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
  const std::size_t messages = Reported(report, "messages");
  EXPECT_GE(messages, 10u);
  EXPECT_LE(messages, static_cast<std::size_t>(kMessages));

  const fs::path restored = root_ / "restored";
  std::ostringstream restore_out, restore_err;
  ASSERT_EQ(RunProgram({"restore", archive.string(), "--home", restored.string()}, restore_out,
                       restore_err),
            0)
      << restore_err.str();
  // The restored home is the same installation: no second fetch of the mailbox.
  Command(restored, {"settings", "set", "AutoCheckEmails", "0"});
  const std::string users = Command(restored, {"users", "list"});
  EXPECT_EQ(Lines(users), 2u);
  EXPECT_NE(users.find("\t" + (restored / "Users" / "Admin").string() + "/\n"), std::string::npos)
      << users;
  EXPECT_EQ(Lines(Command(restored, {"index", "Admin"})), messages);
  EXPECT_EQ(Command(restored, {"index-rebuild", "Admin"}), std::to_string(messages) + "\n");

  ServerProcess again(restored, {"--headless"}, root_ / "err2.txt");
  ASSERT_TRUE(again.WaitForLine("Kestrune Server ready at "))
      << again.Output() << Slurp(root_ / "err2.txt");
  EXPECT_NE(again.Output().find("User Database loaded successfully."), std::string::npos);
  // Admin logs in on the restored home and finds every message unread in the Inbox.
  testing::TestBrowser browser(port_);
  browser.Get("/");
  const testing::Answer home = browser.Post(
      "IWLogin", "IWSUBMIT", {{"IWUSERNAME", "Admin"}, {"IWPASSWORD", "admin password"}});
  ASSERT_EQ(home.PageName(), "IWMain") << home.body;
  EXPECT_NE(home.body.find(">" + std::to_string(messages) + " unread Mail messages"),
            std::string::npos)
      << home.body;
  again.Signal(SIGTERM);
  EXPECT_EQ(again.Wait(), 0);
}

}  // namespace
}  // namespace kestrune
