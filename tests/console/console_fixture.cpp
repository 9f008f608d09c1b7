// The console fixture's set-up: a real server run on a temporary program directory.
#include "console_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <fstream>
#include <sstream>

#include "host/command_line.h"

namespace kestrune::testing {

namespace fs = std::filesystem;

namespace {

// A loopback port that was free a moment ago.
int UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

}  // namespace

void ConsoleFixture::SetUp() {
  std::string pattern = (fs::temp_directory_path() / "console-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  home_ = pattern;
  Command({"settings", "set", "Port", std::to_string(UnusedPort())});
  for (const char* name : {"EnableSSL", "ExitWarning", "MinimizeWarning", "SendRecieveWarning",
                           "AutoCheckEmails", "LoginToQuit"}) {
    Command({"settings", "set", name, "0"});
  }
  AddUsers();
}

void ConsoleFixture::AddUsers() {
  std::ofstream(home_ / "pw") << "Secret\n";
  const std::string password_file = (home_ / "pw").string();
  Command({"users", "add", "Admin", "--password-file", password_file, "--level", "0"});
  Command({"users", "add", "Power", "--password-file", password_file, "--level", "1"});
  Command({"users", "add", "Plain", "--password-file", password_file, "--level", "2"});
}

void ConsoleFixture::TearDown() {
  Close();
  fs::remove_all(home_);
}

std::string ConsoleFixture::Command(std::vector<std::string> args) {
  args.insert(args.begin(), {"--home", home_.string()});
  std::ostringstream out, err;
  EXPECT_EQ(RunProgram(args, out, err), 0) << err.str();
  return out.str();
}

void ConsoleFixture::Open(MailRunFunctions runs) {
  SettingsHost host;
  host.program_directory = home_;
  settings_ = std::make_unique<ProgramSettings>(std::move(host));
  feed_ = std::make_unique<LogFeed>();
  LogFeed* feed = feed_.get();
  ConsoleHost::Sinks sinks{
      .line = [feed](std::string_view line) { feed->PushLine(line); },
      .stats = [feed](const TProgramStat& stats) { feed->PushStats(stats); },
      .message = [feed](std::string_view text) { feed->PushMessage(text); },
      .mail_running = [feed](bool running) { feed->PushMailRunning(running); }};
  host_ = std::make_unique<ConsoleHost>(*settings_, std::move(sinks), std::move(runs));
  host_->Start();
  window_ = std::make_unique<TfrmKestrune>(*host_, *feed_);
  window_->SetMessageShower(
      [this](MessageKind, const QString& text) { messages_.push_back(text); });
  window_->StartUp();
  Settle();
}

void ConsoleFixture::Close() {
  if (window_) window_->OrderlyExit(0);
  window_.reset();
  host_.reset();
  feed_.reset();
  settings_.reset();
}

void ConsoleFixture::Settle() {
  for (int i = 0; i < 3; ++i) {
    QCoreApplication::processEvents();
    if (feed_) feed_->Deliver();
  }
}

TProgramConfig ConsoleFixture::StoredConfig() {
  SettingsHost host;
  host.program_directory = home_;
  ProgramSettings fresh(std::move(host));
  fresh.LoadSettings();
  return fresh.Config();
}

QAction* ConsoleFixture::Action(const char* name) { return window_->findChild<QAction*>(name); }

}  // namespace kestrune::testing
