// The headless server as a process: its start lines on standard output, a mail run of
// the timer against Dovecot, SIGTERM in the middle of a run (nothing deleted on the
// server, settings saved, exit 0), a second instance refused, and the exit status of a
// port in use. The timer's minute is shortened with KESTRUNE_TIMER_MS_PER_MINUTE.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "host/command_line.h"
#include "peers.h"
#include "server_process.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Peers;
using testing::PopMailbox;

using testing::Connects;
using testing::FreePort;
using testing::Listening;
using testing::ServerProcess;
using testing::Slurp;

class HeadlessServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "headless-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    home_ = root_ / "home";
    port_ = FreePort();
    Command({"settings", "set", "Port", std::to_string(port_)});
    Command({"settings", "set", "EnableSSL", "0"});
    Command({"settings", "set", "SmtpServer", "127.0.0.1"});
    Command({"settings", "set", "SmtpPort", std::to_string(Peers::Get().Port("SMTP_PORT"))});
  }
  void TearDown() override { fs::remove_all(root_); }

  // An administrator command in this process; it must succeed.
  std::string Command(std::vector<std::string> args) {
    args.insert(args.begin(), {"--home", home_.string()});
    std::ostringstream out, err;
    EXPECT_EQ(RunProgram(args, out, err), 0) << err.str();
    return out.str();
  }

  // "Admin" with the POP3 account of box, fetched by the timer.
  void AddAdmin(const PopMailbox& box) {
    std::ofstream(root_ / "pw") << "admin password\n";
    std::ofstream(root_ / "pop") << box.Password() << "\n";
    Command({"users", "add", "Admin", "--password-file", (root_ / "pw").string(), "--level", "0",
             "--pop-server", "127.0.0.1", "--pop-port",
             std::to_string(Peers::Get().Port("POP3_PORT")), "--pop-user", box.User(),
             "--pop-password-file", (root_ / "pop").string(), "--auto-check"});
  }

  ServerProcess Start(std::vector<std::string> args = {"--headless"}) {
    return ServerProcess(home_, std::move(args), root_ / "err.txt");
  }
  std::string Errors() const { return Slurp(root_ / "err.txt"); }

  // Index lines of the Admin's message store.
  std::size_t StoredMessages() {
    const std::string index = Command({"index", "Admin"});
    return static_cast<std::size_t>(std::count(index.begin(), index.end(), '\n'));
  }

  static std::string Message(int number, std::size_t body_bytes) {
    std::string body;
    while (body.size() < body_bytes)
      body += "Line of the body of message " + std::to_string(number) + ".\n";
    return "From: Alice <alice@example.org>\nTo: admin@example.org\nSubject: Message " +
           std::to_string(number) + "\nMessage-Id: <m" + std::to_string(number) +
           "@example.org>\n\n" + body;
  }

  fs::path root_;
  fs::path home_;
  int port_ = 0;
};

TEST_F(HeadlessServerTest, StartLinesThenATimedMailRunThenACleanStop) {
  PopMailbox box;
  for (int i = 1; i <= 3; ++i) box.Deliver(Message(i, 200));
  AddAdmin(box);
  Command({"settings", "set", "AutoCheckEmails", "1"});
  Command({"settings", "set", "AutoCheckInterval", "1"});

  ServerProcess server = Start();
  ASSERT_TRUE(server.WaitForLine("Kestrune Server ready at ")) << server.Output() << Errors();
  const std::vector<std::string>& lines = server.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_TRUE(lines[0].starts_with("Kestrune Server started at ")) << lines[0];
  EXPECT_EQ(lines[1], "Web Server Listening on All IP Addresses");
  EXPECT_EQ(lines[2], "Web Server Listening on port: " + std::to_string(port_));
  const std::string output = server.Output();
  const std::size_t smtp = output.find("\nSmtp Service configured successfully.\n");
  const std::size_t users = output.find("\nUser Database loaded successfully.\n\n");
  EXPECT_NE(output.find("\nHTTP Port: " + std::to_string(port_) + "\n"), std::string::npos);
  ASSERT_NE(smtp, std::string::npos) << output;
  ASSERT_NE(users, std::string::npos) << output;
  EXPECT_LT(smtp, users);
  EXPECT_EQ(output.find("first start"), std::string::npos);  // Admin exists
  EXPECT_TRUE(Connects(port_));

  // The timer's run (one shortened minute later) fetches the three messages.
  ASSERT_TRUE(server.WaitForLine("Pop Server: User Admin Email number: 3 successfully retrieved."))
      << server.Output();
  ASSERT_TRUE(server.WaitForLine("Pop Server: User Admin Disconnected from Pop Server"));
  EXPECT_EQ(StoredMessages(), 3u);

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0) << Errors();
  EXPECT_TRUE(server.Lines().back().starts_with("Kestrune Server stopped at ")) << server.Output();
  EXPECT_FALSE(Connects(port_));
  EXPECT_EQ(box.MessageCount(), 0u);  // fetched and deleted on the server
}

TEST_F(HeadlessServerTest, SigtermDuringAMailRunDeletesNothingAndSavesTheSettings) {
  PopMailbox box;
  constexpr int kMessages = 400;
  for (int i = 1; i <= kMessages; ++i) box.Deliver(Message(i, 4000));
  AddAdmin(box);
  Command({"settings", "set", "AutoCheckEmails", "1"});
  Command({"settings", "set", "AutoCheckInterval", "1"});
  ASSERT_EQ(Slurp(home_ / "kestrune.toml").find("MinimizeOnStartup"), std::string::npos);

  ServerProcess server = Start();
  ASSERT_TRUE(server.WaitForLine("Pop Server: User Admin Email number: 1 successfully retrieved."))
      << server.Output() << Errors();
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(), 0) << Errors();
  const std::string output = server.Output();
  EXPECT_NE(output.find("Kestrune Server stopping (SIGTERM) at "), std::string::npos);
  ASSERT_NE(output.find("Pop Server: User Admin Fetch stopped; nothing was deleted on the Pop "
                        "Server."),
            std::string::npos)
      << "the run ended before the signal came; " << output;
  EXPECT_EQ(box.MessageCount(), static_cast<std::size_t>(kMessages));
  // The exit saver ran.
  EXPECT_NE(Slurp(home_ / "kestrune.toml").find("MinimizeOnStartup"), std::string::npos);
  EXPECT_TRUE(server.Lines().back().starts_with("Kestrune Server stopped at "));
}

TEST_F(HeadlessServerTest, ASecondInstanceIsRefused) {
  PopMailbox box;
  AddAdmin(box);
  ServerProcess first = Start();
  ASSERT_TRUE(first.WaitForLine("Kestrune Server ready at ")) << first.Output() << Errors();

  const fs::path second_err = root_ / "second.txt";
  ServerProcess second(home_, {"--headless"}, second_err);
  EXPECT_EQ(second.Wait(), 3);
  EXPECT_EQ(Slurp(second_err), "Kestrune is already running.\n");
  EXPECT_TRUE(second.Lines().empty());

  first.Signal(SIGINT);
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_NE(first.Output().find("Kestrune Server stopping (SIGINT) at "), std::string::npos);
}

TEST_F(HeadlessServerTest, APortInUseEndsTheStartWithItsOwnStatus) {
  PopMailbox box;
  AddAdmin(box);
  Listening taken;
  Command({"settings", "set", "Port", std::to_string(taken.Port())});
  const std::string settings_before = Slurp(home_ / "kestrune.toml");

  ServerProcess server = Start();
  EXPECT_EQ(server.Wait(), 4);
  const std::string output = server.Output();
  EXPECT_NE(output.find("Kestrune encountered an Error while attempting to bind to the specified "
                        "web server ports. The ports could be in use or unavailable.\n"),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find("User Database loaded successfully."), std::string::npos);
  EXPECT_NE(Errors().find("kestrune: the web server could not start: "), std::string::npos);
  // Headless mode repairs nothing on its own.
  EXPECT_EQ(Slurp(home_ / "kestrune.toml"), settings_before);
}

}  // namespace
}  // namespace kestrune
