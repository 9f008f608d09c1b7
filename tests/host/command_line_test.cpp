// The command line: option parsing, the administrator commands with their exact output
// and exit codes, the built program's single-instance lock and first start, and the
// mends: escaped control characters in error lines, deleted contacts listed, no
// password shown.
#include "host/command_line.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>

#include "platform/instance_lock.h"
#include "settings/program_config.h"
#include "store/contacts_db.h"
#include "store/email_db.h"
#include "store/record_file.h"
#include "store/user_list.h"

namespace kestrune {
namespace {

// A loopback port nobody listens on at the moment of the call.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  close(fd);
  return ntohs(address.sin_port);
}

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "cli-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    home_ = root_ / "home";
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  // The program in this process, with --home.
  Result Run(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--home", home_.string()});
    std::ostringstream out, err;
    Result result;
    result.status = RunProgram(args, out, err);
    result.out = out.str();
    result.err = err.str();
    return result;
  }

  // The built executable, with --home.
  Result RunBinary(const std::string& args) const {
    const std::string binary = std::string(KESTRUNE_BINARY_DIR) + "/kestrune";
    EXPECT_TRUE(std::filesystem::exists(binary)) << "build the kestrune target first";
    const auto out_file = root_ / "out.txt";
    const auto err_file = root_ / "err.txt";
    std::string command = binary + " --home " + home_.string() + " " + args + " >" +
                          out_file.string() + " 2>" + err_file.string();
    Result result;
    int status = std::system(command.c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = Slurp(out_file);
    result.err = Slurp(err_file);
    return result;
  }

  static std::string Slurp(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string SecretFile(const std::string& name, const std::string& contents) const {
    std::ofstream(root_ / name, std::ios::binary) << contents;
    return (root_ / name).string();
  }

  std::string Users() const { return (home_ / "Users").string() + "/"; }

  TUserRecord StoredUser(const std::string& name) const {
    TUserList users;
    EXPECT_TRUE(users.Open(Users()));
    TUserRecord user;
    EXPECT_TRUE(users.FindUser(name, user)) << name;
    return user;
  }

  std::filesystem::path root_;
  std::filesystem::path home_;
};

TEST(ProgramOptionsTest, SwitchesInAnyCaseAfterDashOrSlash) {
  ProgramOptions options =
      ParseProgramOptions({"-MINIMIZE", "/LaunchBrowser", "--home", "/srv/k", "--headless"});
  EXPECT_EQ(options.error, "");
  EXPECT_TRUE(options.minimize && options.launch_browser && options.headless);
  EXPECT_EQ(options.home, std::filesystem::path("/srv/k"));
  EXPECT_TRUE(options.command.empty());

  options = ParseProgramOptions({"/minimize", "--launchbrowser", "--home=/x", "users", "list"});
  EXPECT_TRUE(options.minimize && options.launch_browser);
  EXPECT_EQ(options.home, std::filesystem::path("/x"));
  EXPECT_EQ(options.command, (std::vector<std::string>{"users", "list"}));

  EXPECT_EQ(ParseProgramOptions({"--frobnicate"}).error, "unknown option --frobnicate");
  EXPECT_EQ(ParseProgramOptions({"--home"}).error, "--home needs a directory");
  EXPECT_EQ(ParseProgramOptions({"serve"}).error, "unknown command serve");
  EXPECT_EQ(ParseProgramOptions({"/etc/passwd"}).error, "unknown command /etc/passwd");
}

TEST_F(CommandLineTest, VersionHelpAndUsageErrors) {
  Result version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "kestrune 0.1.0\n");
  Result help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, UsageText());
  Result bad = Run({"--bogus"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err, "kestrune: unknown option --bogus\nTry 'kestrune --help'.\n");
  EXPECT_FALSE(std::filesystem::exists(home_));  // nothing touched
}

TEST_F(CommandLineTest, UsersAddAndList) {
  const std::string password = SecretFile("pw", "Secret 1\n");
  const std::string pop_password = SecretFile("pop", "pop-pass");
  EXPECT_EQ(Run({"users", "add", "Admin", "--password-file", password, "--level", "0"}).status, 0);
  Result added = Run({"users", "add", "bob", "--password-file", password, "--email",
                      "bob@example.org", "--display-name", "Bob B", "--pop-server",
                      "pop.example.org", "--pop-port", "995", "--pop-user", "bobby",
                      "--pop-password-file", pop_password, "--leave-emails", "--auto-check"});
  EXPECT_EQ(added.status, 0) << added.err;
  EXPECT_EQ(added.out, "");
  EXPECT_EQ(added.err, "");

  Result list = Run({"users", "list"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, "1\tAdmin\t\t0\t" + Users() + "Admin/\n2\tbob\tbob@example.org\t2\t" +
                          Users() + "bob/\n");

  const TUserRecord bob = StoredUser("bob");
  EXPECT_EQ(bob.Password, "Secret 1");
  EXPECT_EQ(bob.EmailDisplayName, "Bob B");
  EXPECT_EQ(bob.PopServer, "pop.example.org");
  EXPECT_EQ(bob.PopPort, 995);
  EXPECT_EQ(bob.PopUserName, "bobby");
  EXPECT_EQ(bob.PopPassword, "pop-pass");
  EXPECT_TRUE(bob.LeaveEmails && bob.AutoCheckEmails);
  EXPECT_FALSE(bob.EmailCheckOnLogin || bob.AutoAddContacts);
  const TUserRecord admin = StoredUser("ADMIN");
  EXPECT_EQ(admin.PopPort, 110);
  EXPECT_EQ(admin.PermissionLevel, 0);
}

TEST_F(CommandLineTest, UsersAddRefusals) {
  const std::string password = SecretFile("pw", "pw");
  ASSERT_EQ(Run({"users", "add", "bob", "--password-file", password}).status, 0);

  Result duplicate = Run({"users", "add", "BOB", "--password-file", password});
  EXPECT_EQ(duplicate.status, 1);
  EXPECT_EQ(duplicate.err, "kestrune: a user named BOB already exists\n");
  for (const char* name : {"..", "a/b", "a\\b", "c:d", ""}) {
    Result refused = Run({"users", "add", name, "--password-file", password});
    EXPECT_EQ(refused.status, 1) << name;
    EXPECT_EQ(refused.err,
              "kestrune: the user name " + std::string(name) + " cannot be a directory name\n");
  }
  Result no_password = Run({"users", "add", "carol"});
  EXPECT_EQ(no_password.status, 2);
  EXPECT_EQ(no_password.err, "kestrune: users add needs --password-file F\n");
  Result inline_password = Run({"users", "add", "carol", "--password", "x"});
  EXPECT_EQ(inline_password.status, 2);
  EXPECT_EQ(inline_password.err, "kestrune: unknown option --password\n");
  Result level = Run({"users", "add", "carol", "--password-file", password, "--level", "3"});
  EXPECT_EQ(level.status, 2);
  EXPECT_EQ(level.err, "kestrune: --level must be between 0 and 2\n");
  Result missing_file = Run({"users", "add", "carol", "--password-file", password + ".none"});
  EXPECT_EQ(missing_file.status, 1);
  EXPECT_EQ(missing_file.err, "kestrune: cannot read " + password + ".none\n");
  Result empty = Run({"users", "add", "carol", "--password-file", SecretFile("empty", "\n")});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err, "kestrune: the password in " + (root_ / "empty").string() + " is empty\n");

  EXPECT_EQ(Run({"users", "list"}).out, "1\tbob\t\t2\t" + Users() + "bob/\n");
}

// "users add eve-2" must not hand out the mail store of another account or the mail a
// deleted account left behind: each new account gets a directory of its own, made now.
TEST_F(CommandLineTest, UsersAddNeverReusesAnotherAccountsMailStore) {
  const std::string password = SecretFile("pw", "pw");
  ASSERT_EQ(Run({"users", "add", "zed", "--password-file", password}).status, 0);
  {
    TUserList users;
    ASSERT_TRUE(users.Open(Users()));
    TUserRecord zed = StoredUser("zed");
    zed.UserDir = Users() + "kim/";  // as a registration that found "zed/" taken may set it
    ASSERT_TRUE(users.UpdateUser("zed", zed));
    users.Save();
  }
  std::filesystem::create_directories(Users() + "eve");
  std::ofstream(Users() + "eve/old.eml") << "a deleted account's mail";
  for (const char* name : {"kim", "eve"}) {
    Result added = Run({"users", "add", name, "--password-file", password});
    EXPECT_EQ(added.status, 0) << added.err;
  }
  EXPECT_EQ(StoredUser("kim").UserDir, Users() + "kim-2/");
  EXPECT_EQ(StoredUser("eve").UserDir, Users() + "eve-2/");
  EXPECT_TRUE(std::filesystem::is_directory(Users() + "kim-2"));
  EXPECT_TRUE(std::filesystem::is_empty(Users() + "eve-2"));
}

// Names that pass for "Admin" or for another user in a list or a greeting.
TEST_F(CommandLineTest, UsersAddRefusesLookAlikeNames) {
  const std::string password = SecretFile("pw", "pw");
  ASSERT_EQ(Run({"users", "add", "Admin", "--password-file", password, "--level", "0"}).status, 0);
  ASSERT_EQ(Run({"users", "add", "j\u00FCrgen", "--password-file", password}).status, 0);
  const struct {
    std::string name;
    std::string error;
  } cases[] = {
      {"Admin ", "the user name Admin  begins or ends with a blank"},
      {" bob", "the user name  bob begins or ends with a blank"},
      {"bob\u00A0", "the user name bob\u00A0 holds an invisible character"},
      {"Adm\u0131n", "the user name Adm\u0131n looks like Admin"},
      {"\u0410DMIN", "the user name \u0410DMIN looks like Admin"},
      {"J\u00DCRGEN", "a user named J\u00DCRGEN already exists"},
  };
  for (const auto& c : cases) {
    Result refused = Run({"users", "add", c.name, "--password-file", password});
    EXPECT_EQ(refused.status, 1) << c.name;
    EXPECT_EQ(refused.err, "kestrune: " + c.error + "\n") << c.name;
  }
  EXPECT_EQ(
      Run({"users", "list"}).out,
      "1\tAdmin\t\t0\t" + Users() + "Admin/\n2\tj\u00FCrgen\t\t2\t" + Users() + "j\u00FCrgen/\n");
}

// A FIFO would hang the command for ever; /dev/null would store an empty SMTP password.
TEST_F(CommandLineTest, PasswordFilesMustBeRegularFilesWithAPassword) {
  const auto fifo = root_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string file : {fifo.string(), std::string("/dev/null")}) {
    auto run = std::async(std::launch::async, [&] {
      return Run({"settings", "set", "SmtpPassword", "--value-file", file});
    });
    if (run.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) ::close(writer);
      FAIL() << file << ": the command blocked";
    }
    const Result refused = run.get();
    EXPECT_EQ(refused.status, 1) << file;
    EXPECT_EQ(refused.err, "kestrune: cannot read " + file + " (it must be a regular file)\n");
  }
  Result empty = Run({"settings", "set", "SmtpPassword", "--value-file", SecretFile("e", "\n")});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err, "kestrune: the password in " + (root_ / "e").string() + " is empty\n");
}

TEST_F(CommandLineTest, UsersPasswdAndDelete) {
  const std::string password = SecretFile("pw", "old");
  ASSERT_EQ(Run({"users", "add", "Admin", "--password-file", password}).status, 0);
  ASSERT_EQ(Run({"users", "add", "bob", "--password-file", password}).status, 0);

  EXPECT_EQ(Run({"users", "passwd", "BOB", "--password-file", SecretFile("new", "new\r\n")}).status,
            0);
  EXPECT_EQ(StoredUser("bob").Password, "new");
  Result unknown = Run({"users", "passwd", "carol", "--password-file", password});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err, "kestrune: no user named carol\n");

  Result admin = Run({"users", "delete", "ADMIN"});
  EXPECT_EQ(admin.status, 1);
  EXPECT_EQ(admin.err, "kestrune: the Admin account cannot be deleted\n");
  std::filesystem::create_directories(home_ / "Users" / "bob");
  EXPECT_EQ(Run({"users", "delete", "bob"}).status, 0);
  EXPECT_TRUE(std::filesystem::exists(home_ / "Users" / "bob"));  // mail store kept
  EXPECT_EQ(Run({"users", "delete", "bob"}).status, 1);
  EXPECT_EQ(Run({"users", "list"}).out, "1\tAdmin\t\t2\t" + Users() + "Admin/\n");
  EXPECT_EQ(Run({"users", "delete"}).status, 2);
}

TEST_F(CommandLineTest, IndexAndContactsListEveryRecord) {
  ASSERT_EQ(Run({"users", "add", "bob", "--password-file", SecretFile("pw", "pw")}).status, 0);
  Result empty = Run({"index", "bob"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "");
  // users add made the mail store; reading it creates nothing in it.
  EXPECT_TRUE(std::filesystem::is_empty(home_ / "Users" / "bob"));

  const std::filesystem::path store = home_ / "Users" / "bob";
  {
    TUserEmailDB emails;
    ASSERT_TRUE(emails.Open(store));
    TEmailRecord first;
    first.Subject = "Hello\tthere \x1b[31mred";
    first.Sender = "alice@example.org";
    first.Recipient = "bob@example.org";
    first.DateText = "01/02/26 10:00:00";
    first.FileName = "abcd1234.eml";
    first.HasAttachment = true;
    first.Status = email_status::kInboxRead;
    TEmailRecord purged = first;
    purged.Subject = "Gone";
    purged.HasAttachment = false;
    purged.FileName = "zzzz9999.eml";
    purged.Status = email_status::kPurged;
    ASSERT_TRUE(emails.AddEmail(first));
    ASSERT_TRUE(emails.AddEmail(purged));
    emails.Save(store);
    TContactsDB contacts;
    ASSERT_TRUE(contacts.Open(store));
    ASSERT_TRUE(contacts.AddContact("Alice", "alice@example.org"));
    contacts.Save(store);
  }
  Result index = Run({"index", "BOB"});
  EXPECT_EQ(index.status, 0);
  EXPECT_EQ(index.out,
            "1\t1\t1\tabcd1234.eml\t01/02/26 10:00:00\talice@example.org\tbob@example.org\t"
            "Hello there \\x1b[31mred\n"
            "2\t99\t0\tzzzz9999.eml\t01/02/26 10:00:00\talice@example.org\tbob@example.org\t"
            "Gone\n");
  Result contacts = Run({"contacts", "bob"});
  EXPECT_EQ(contacts.status, 0);
  EXPECT_EQ(contacts.out, "1\t0\t1\tAlice\talice@example.org\n");

  Result nobody = Run({"contacts", "carol"});
  EXPECT_EQ(nobody.status, 1);
  EXPECT_EQ(nobody.err, "kestrune: no user named carol\n");
  EXPECT_EQ(Run({"index"}).status, 2);

  std::ofstream(store / "Emails.Dat", std::ios::binary) << "KSTE garbage";
  Result damaged = Run({"index", "bob"});
  EXPECT_EQ(damaged.status, 1);
  EXPECT_EQ(damaged.err.rfind("kestrune: ", 0), 0u);
  EXPECT_EQ(std::count(damaged.err.begin(), damaged.err.end(), '\n'), 1);
}

TEST_F(CommandLineTest, IndexRebuildCountsTheMessagesOfTheMailStore) {
  ASSERT_EQ(Run({"users", "add", "bob", "--password-file", SecretFile("pw", "pw")}).status, 0);
  const std::filesystem::path store = home_ / "Users" / "bob";
  for (const char* name : {"a1.eml", "b2.eml"}) {
    std::ofstream(store / name, std::ios::binary) << "Subject: walrus\r\n\r\nhello\r\n.\r\n";
  }
  Result rebuilt = Run({"index-rebuild", "bob"});
  EXPECT_EQ(rebuilt.status, 0) << rebuilt.err;
  EXPECT_EQ(rebuilt.out, "2\n");
  EXPECT_TRUE(std::filesystem::is_directory(store / "Search"));
  EXPECT_EQ(Run({"index-rebuild", "carol"}).status, 1);
  EXPECT_EQ(Run({"index-rebuild"}).status, 2);
}

TEST_F(CommandLineTest, SettingsListGetSet) {
  Result list = Run({"settings", "list"});
  EXPECT_EQ(list.status, 0);
  const std::string home = home_.string();
  EXPECT_EQ(list.out.substr(0, list.out.find("Root.StringsLanguage")),
            "Root.UserDirectories=" + home + "/Users/\nRoot.MRULogDirectory=" + home +
                "/Logs/\nRoot.LogDirectory=" + home + "/Logs/\nRoot.LangDirectory=" + home +
                "/Lang/\nRoot.TemplateDirectory=" + home + "/Templates/\n");
  EXPECT_NE(list.out.find("\nWebServer.Port=80\n"), std::string::npos);
  EXPECT_NE(list.out.find("\nWebMail.LoginAttempts=3\n"), std::string::npos);
  EXPECT_NE(list.out.find("\nSmtpServer.SmtpPassword=***\n"), std::string::npos);
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'),
            static_cast<long>(SettingDefinitions().size()));

  EXPECT_EQ(Run({"settings", "set", "WebServer.Port", "8080"}).status, 0);
  Result get = Run({"settings", "get", "port"});
  EXPECT_EQ(get.status, 0);
  EXPECT_EQ(get.out, "8080\n");
  EXPECT_EQ(Run({"settings", "set", "EnableSSL", "false"}).status, 0);
  EXPECT_EQ(Run({"settings", "get", "EnableSSL"}).out, "0\n");
  EXPECT_EQ(Run({"settings", "set", "LogDirectory", "/var/log/kestrune"}).status, 0);
  EXPECT_EQ(Run({"settings", "get", "LogDirectory"}).out, "/var/log/kestrune/\n");

  Result range = Run({"settings", "set", "SessionTimeout", "61"});
  EXPECT_EQ(range.status, 2);
  EXPECT_EQ(range.err, "kestrune: SessionTimeout must be between 0 and 60\n");
  Result unknown = Run({"settings", "get", "Nope"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err, "kestrune: unknown setting Nope\n");
  Result inline_secret = Run({"settings", "set", "SmtpPassword", "hunter2"});
  EXPECT_EQ(inline_secret.status, 2);
  EXPECT_EQ(inline_secret.err,
            "kestrune: SmtpPassword is a password: give it with --value-file F, not on the "
            "command line\n");

  ASSERT_EQ(Run({"settings", "set", "SmtpPassword", "--value-file",
                 SecretFile("smtp", "relay password\n")})
                .status,
            0);
  EXPECT_EQ(Run({"settings", "get", "SmtpPassword"}).out, "***\n");
  SettingsHost host;
  host.program_directory = home_;
  ProgramSettings settings(host);
  settings.LoadSettings();
  EXPECT_EQ(settings.Config().SmtpPassword, "relay password");
  EXPECT_EQ(settings.Config().Port, 8080);
}

TEST_F(CommandLineTest, DamagedSettingsFailTheSettingsCommands) {
  std::filesystem::create_directories(home_);
  const std::string damaged = "[Software.Kestrune\n";
  std::ofstream(home_ / "kestrune.toml") << damaged;
  Result list = Run({"settings", "list"});
  EXPECT_EQ(list.status, 1);
  EXPECT_EQ(list.out, "");
  EXPECT_EQ(list.err,
            "kestrune: the settings could not be read: Error opening registry. Code:99\n");
  EXPECT_EQ(Run({"settings", "set", "Port", "81"}).status, 1);
  EXPECT_EQ(Slurp(home_ / "kestrune.toml"), damaged);
}

// An administrator who runs a command with sudo on the home of the packaged service
// (owned by its own user) would leave root-owned files there that the service can no
// longer read: the run is refused before anything is written.
TEST_F(CommandLineTest, RootRunOnTheServiceUsersHomeLeavesNoFileTheServiceCannotRead) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  std::filesystem::create_directories(home_);
  ASSERT_EQ(chown(home_.c_str(), 65534, 65534), 0);
  for (const std::vector<std::string>& command : {std::vector<std::string>{"users", "list"},
                                                  {"settings", "set", "Port", "8080"},
                                                  {"--headless"}}) {
    Result result = Run(command);
    EXPECT_EQ(result.status, 1) << command[0];
    EXPECT_NE(result.err.find("runuser -u "), std::string::npos) << result.err;
    EXPECT_TRUE(std::filesystem::is_empty(home_)) << command[0];
  }
}

TEST_F(CommandLineTest, HeadlessRunsOncePerProgramDirectory) {
  std::filesystem::create_directories(home_);
  {
    InstanceLock running(home_ / "kestrune.lock");
    ASSERT_TRUE(running.Acquired());
    Result second = RunBinary("--headless </dev/null");
    EXPECT_EQ(second.status, 3);
    EXPECT_EQ(second.err, "Kestrune is already running.\n");
    EXPECT_FALSE(std::filesystem::exists(home_ / "kestrune.toml"));  // settings untouched
  }
}

TEST_F(CommandLineTest, FirstStartWithoutTerminalOrOptionsSaysHowToSetUp) {
  ASSERT_EQ(Run({"settings", "set", "Port", std::to_string(FreePort())}).status, 0);
  ASSERT_EQ(Run({"settings", "set", "EnableSSL", "0"}).status, 0);
  Result first = RunBinary("--headless </dev/null");
  EXPECT_EQ(first.status, 8);
  EXPECT_EQ(first.err.rfind("kestrune: the user database holds no user yet: run 'kestrune "
                            "--home DIR setup' on a terminal, or start with "
                            "--admin-password-file F --smtp-server HOST",
                            0),
            0u)
      << first.err;
  EXPECT_EQ(std::count(first.err.begin(), first.err.end(), '\n'), 1);
  EXPECT_EQ(first.out.rfind("Kestrune Server started at ", 0), 0u) << first.out;
  EXPECT_EQ(Run({"users", "list"}).out, "");  // no account was made

  // "setup" with the unattended options creates the account without a server.
  Result setup = RunBinary("setup --admin-password-file " + SecretFile("pw", "long password") +
                           " --smtp-server relay.example.org --admin-email a@example.org");
  EXPECT_EQ(setup.status, 0) << setup.err;
  EXPECT_EQ(Run({"users", "list"}).out, "1\tAdmin\ta@example.org\t0\t" + Users() + "Admin/\n");
  EXPECT_EQ(StoredUser("Admin").Password, "long password");
  EXPECT_EQ(Run({"settings", "get", "SmtpServer"}).out, "relay.example.org\n");
  Result again = RunBinary("setup --admin-password-file " + SecretFile("pw", "x"));
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err,
            "kestrune: the user database already holds users; the first-start set-up is only for "
            "an empty one\n");
}

TEST_F(CommandLineTest, ErrorLinesShowControlCharactersOfGivenNamesEscaped) {
  const std::string password = SecretFile("pw", "pw");
  Result refused = Run({"users", "add", "tab\there", "--password-file", password});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "kestrune: the user name tab\\there cannot be a directory name\n");
  Result unknown =
      Run({"users", "passwd", "eve\nkestrune: all is well", "--password-file", password});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err, "kestrune: no user named eve\\nkestrune: all is well\n");
  Result setting = Run({"settings", "get", "Port\r\x1b[2K"});
  EXPECT_EQ(setting.status, 2);
  EXPECT_EQ(setting.err, "kestrune: unknown setting Port\\r\\x1b[2K\n");
  Result command = Run({"frob\nnicate"});
  EXPECT_EQ(command.status, 2);
  EXPECT_EQ(command.err, "kestrune: unknown command frob\\nnicate\nTry 'kestrune --help'.\n");
}

TEST_F(CommandLineTest, ContactsListsADeletedRecordWithActiveZero) {
  ASSERT_EQ(Run({"users", "add", "bob", "--password-file", SecretFile("pw", "pw")}).status, 0);
  const std::filesystem::path store = home_ / "Users" / "bob";
  std::filesystem::create_directories(store);
  // An address book as another program may leave it: the second record is deleted.
  TContactRecord alice;
  alice.ContactName = "Alice";
  alice.ContactEmail = "alice@example.org";
  alice.Active = 1;
  alice.UseCount = 3;
  TContactRecord gone = alice;
  gone.ContactName = "Gone";
  gone.Active = 0;
  TContactRecord zed = alice;
  zed.ContactName = "Zed";
  zed.UseCount = 0;
  RecordFile::RecordArray records;
  for (const TContactRecord& contact : {alice, gone, zed}) {
    const auto bytes = contact.ToBytes();
    records.insert(records.end(), bytes.begin(), bytes.end());
  }
  RecordFile file(RecordFile::Layout{.file_name = TContactsDB::kFileName,
                                     .magic = "KSTC",
                                     .header_size = TContactsDB::kHeaderSize,
                                     .count_offset = 8,
                                     .record_size = TContactRecord::kSize});
  const std::vector<std::uint8_t> image = file.BuildImage(file.NewHeader(), records);
  std::ofstream(store / TContactsDB::kFileName, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));

  Result contacts = Run({"contacts", "bob"});
  EXPECT_EQ(contacts.status, 0) << contacts.err;
  EXPECT_EQ(contacts.out,
            "1\t3\t1\tAlice\talice@example.org\n"
            "2\t0\t0\t\t\n"
            "3\t0\t1\tZed\talice@example.org\n");
}

TEST_F(CommandLineTest, SslPasswordIsNeverShown) {
  Result get = Run({"settings", "get", "SSLPassword"});
  EXPECT_EQ(get.status, 0);
  EXPECT_EQ(get.out, "***\n");
  Result list = Run({"settings", "list"});
  EXPECT_NE(list.out.find("\nWebServer.SSLPassword=***\n"), std::string::npos);
  EXPECT_EQ(list.out.find("vexo"), std::string::npos);
  EXPECT_EQ(
      Run({"settings", "set", "SSLPassword", "--value-file", SecretFile("k", "key pw")}).status, 0);
  EXPECT_EQ(Run({"settings", "get", "SSLPassword"}).out, "***\n");
}

TEST_F(CommandLineTest, BuiltProgramRunsTheCommands) {
  const std::string password = SecretFile("pw", "pw\n");
  EXPECT_EQ(RunBinary("users add bob --password-file " + password).status, 0);
  Result list = RunBinary("users list");
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, "1\tbob\t\t2\t" + Users() + "bob/\n");
  Result usage = RunBinary("users frob");
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.err, "kestrune: usage: kestrune users list|add|delete|passwd ...\n");
  EXPECT_EQ(RunBinary("users delete nobody").status, 1);
}

}  // namespace
}  // namespace kestrune
