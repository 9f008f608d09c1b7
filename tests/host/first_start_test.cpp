// The first start: the dialogue's checks and messages driven by a scripted terminal,
// the unattended options, and the account and settings that the OK step writes.
#include "host/first_start.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <deque>
#include <fstream>
#include <sstream>

#include "store/user_list.h"

namespace kestrune {
namespace {

// Answers questions from a script and records everything said and asked.
class ScriptedTerminal : public SetupTerminal {
 public:
  explicit ScriptedTerminal(std::deque<std::string> answers) : answers_(std::move(answers)) {}
  void Say(std::string_view text) override { transcript_ += std::string(text) + "\n"; }
  std::optional<std::string> Ask(std::string_view prompt) override {
    transcript_ += std::string(prompt) + "\n";
    if (answers_.empty()) return std::nullopt;  // end of input
    std::string answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  std::optional<std::string> AskSecret(std::string_view prompt) override {
    ++secrets_;
    return Ask(prompt);
  }
  const std::string& Transcript() const { return transcript_; }
  int Secrets() const { return secrets_; }
  bool AllAnswered() const { return answers_.empty(); }

 private:
  std::deque<std::string> answers_;
  std::string transcript_;
  int secrets_ = 0;
};

// The script with the answers to the TLS questions, which are asked where the
// installation has those settings.
std::deque<std::string> WithTlsAnswers(std::deque<std::string> answers, bool pop_account) {
  if (FindSettingDefinition("SmtpTls") != nullptr) answers.push_back("y");
  if (pop_account && FindSettingDefinition("PopTls") != nullptr) answers.push_back("y");
  return answers;
}

bool Contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

class FirstStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "first-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    SettingsHost host;
    host.program_directory = home_;
    settings_ = std::make_unique<ProgramSettings>(host);
    settings_->LoadSettings();
  }
  void TearDown() override { std::filesystem::remove_all(home_); }

  std::string File(const std::string& name, const std::string& contents) const {
    std::ofstream(home_ / name, std::ios::binary) << contents;
    return (home_ / name).string();
  }

  TUserRecord StoredAdmin() const {
    TUserList users;
    EXPECT_TRUE(users.Open(settings_->Config().UserDirectories));
    EXPECT_EQ(users.GetCount(), 1);
    TUserRecord admin;
    EXPECT_TRUE(users.FindUser("Admin", admin));
    return admin;
  }

  // A fresh load of the settings file, as the next start reads it.
  TProgramConfig ReloadedConfig() const {
    SettingsHost host;
    host.program_directory = home_;
    ProgramSettings reloaded(host);
    reloaded.LoadSettings();
    return reloaded.Config();
  }

  std::filesystem::path home_;
  std::unique_ptr<ProgramSettings> settings_;
};

TEST(SetupOptionsTest, ValuesAfterTheOptionOrAnEqualsSign) {
  const std::vector<std::string> args = {"--admin-password-file", "pw", "--smtp-server=relay",
                                         "--frob", "--smtp-port"};
  SetupOptions options;
  std::string error;
  std::size_t i = 0;
  EXPECT_TRUE(TakeSetupOption(args, i, options, error));
  EXPECT_EQ(i, 1u);
  EXPECT_EQ(options.admin_password_file, "pw");
  i = 2;
  EXPECT_TRUE(TakeSetupOption(args, i, options, error));
  EXPECT_EQ(options.smtp_server, "relay");
  i = 3;
  EXPECT_FALSE(TakeSetupOption(args, i, options, error));
  i = 4;
  EXPECT_TRUE(TakeSetupOption(args, i, options, error));
  EXPECT_EQ(error, "--smtp-port needs a value");
  EXPECT_TRUE(options.Any());
  EXPECT_FALSE(SetupOptions{}.Any());
}

TEST_F(FirstStartTest, PasswordChecksInTheirOrder) {
  ScriptedTerminal terminal(WithTlsAnswers(
      {
          "",                           // empty password
          "secret", "",                 // empty confirmation
          "short", "short", "y",        // under 8 characters: change it
          "longenough", "LONGENOUGHX",  // no match
          "LongEnough", "LONGENOUGH",   // equal without regard to case
          "n",                          // no e-mail account
          "relay.example.org", "", "",  // SMTP server, default port 25, no authentication
      },
      false));
  std::optional<FirstStartValues> values = AskFirstStartValues(terminal, settings_->Config());
  ASSERT_TRUE(values.has_value()) << terminal.Transcript();
  const std::string& said = terminal.Transcript();
  EXPECT_TRUE(
      Contains(said, "Welcome to Kestrune.\nThis is the first time you have run Kestrune,"));
  EXPECT_TRUE(Contains(said, "Password: \nYou must enter a password before you can continue.\n"));
  EXPECT_TRUE(Contains(said, "Confirm: \nPlease confirm your password before continuing.\n"));
  EXPECT_TRUE(Contains(said,
                       "For password security, it is recommended that the minimum password "
                       "length be 8 characters.\n\nWould you like to change your password? [Y/n]"));
  EXPECT_TRUE(Contains(said,
                       "The passwords you have entered do not match, please enter and confirm "
                       "your password.\n"));
  EXPECT_TRUE(
      Contains(said, "Would you like to setup a Email Account for the \"Admin\" user now?"));
  EXPECT_FALSE(Contains(said, "Pop3 Server:"));  // "No" skips to the SMTP step
  EXPECT_EQ(values->admin_password, "LongEnough");
  EXPECT_EQ(values->smtp.SmtpServer, "relay.example.org");
  EXPECT_EQ(values->smtp.SmtpPort, "25");
  EXPECT_EQ(values->smtp.SmtpAuthType, 0);
  EXPECT_EQ(terminal.Secrets(), 9);  // every password was asked masked
}

TEST_F(FirstStartTest, AShortPasswordKeptAfterNoIsStored) {
  ScriptedTerminal terminal(
      WithTlsAnswers({"sixsix", "SIXSIX", "n", "n", "relay", "2525", "1", "mailer", "pw"}, false));
  std::optional<FirstStartValues> values = AskFirstStartValues(terminal, settings_->Config());
  ASSERT_TRUE(values.has_value()) << terminal.Transcript();
  TUserList users;
  ASSERT_TRUE(users.Open(settings_->Config().UserDirectories));
  ApplyFirstStart(*values, *settings_, users);

  const TUserRecord admin = StoredAdmin();
  EXPECT_EQ(admin.Password, "sixsix");
  EXPECT_EQ(admin.PermissionLevel, 0);
  EXPECT_EQ(admin.UserDir, settings_->Config().UserDirectories + "Admin/");
  EXPECT_TRUE(admin.AutoCheckEmails);
  EXPECT_FALSE(admin.EmailCheckOnLogin || admin.LeaveEmails);
  EXPECT_EQ(admin.PopServer, "");
  EXPECT_EQ(admin.PopPort, 110);

  const TProgramConfig config = ReloadedConfig();
  EXPECT_EQ(config.SmtpServer, "relay");
  EXPECT_EQ(config.SmtpPort, 2525);
  EXPECT_EQ(config.SmtpAuthType, 1);
  EXPECT_EQ(config.SmtpUserName, "mailer");
  EXPECT_EQ(config.SmtpPassword, "pw");
  EXPECT_EQ(settings_->Config().SmtpServer, "relay");  // the record too
}

TEST_F(FirstStartTest, MailAccountAndSmtpChecks) {
  ScriptedTerminal terminal(WithTlsAnswers(
      {
          "password1",
          "password1",
          "",  // Yes (the default) to the account question
          "Ann Admin",
          "admin@example.org",
          "pop.example.org",
          "abc",
          "ann",
          "pop-pw",
          "n",  // no test; the port is no number
          "pop.example.org",
          "995",
          "ann",
          "pop-pw",
          "n",
          "n",  // no test, keep the settings
          "",   // empty SMTP server
          "relay",
          "70000",
          "25",
          "2",
          "0",  // a port out of range, an unknown type
      },
      true));
  std::optional<FirstStartValues> values = AskFirstStartValues(terminal, settings_->Config());
  ASSERT_TRUE(values.has_value()) << terminal.Transcript();
  const std::string& said = terminal.Transcript();
  EXPECT_TRUE(Contains(said,
                       "Please enter your Email Accounts Pop3 Server information in the boxes "
                       "provided below."));
  EXPECT_TRUE(Contains(said, "Please enter a numeric value for the server port."));
  EXPECT_TRUE(Contains(said, "You must enter a SMTP Server address before you can continue."));
  EXPECT_TRUE(Contains(said,
                       "Please enter your SMTP Server details below, the SMTP Server entered "
                       "here is common to all users."));
  EXPECT_TRUE(terminal.AllAnswered());
  EXPECT_EQ(values->display_name, "Ann Admin");
  EXPECT_EQ(values->email_address, "admin@example.org");
  EXPECT_EQ(values->pop_port, "995");
  EXPECT_EQ(values->smtp.SmtpPort, "25");
  EXPECT_EQ(values->smtp.SmtpAuthType, 0);
}

TEST_F(FirstStartTest, EndOfInputCancels) {
  ScriptedTerminal terminal({"password1", "password1"});
  EXPECT_FALSE(AskFirstStartValues(terminal, settings_->Config()).has_value());
  std::ostringstream err;
  TUserList users;
  ASSERT_TRUE(users.Open(settings_->Config().UserDirectories));
  EXPECT_EQ(RunFirstStart({}, true, terminal, *settings_, users, err),
            FirstStartOutcome::kCancelled);
  EXPECT_EQ(users.GetCount(), 0);
}

TEST_F(FirstStartTest, ConnectionTestChecksTheFieldsFirst) {
  FirstStartValues values;
  values.pop_port = "";
  EXPECT_EQ(TestPopConnection(values, 1000), "Please enter your pop server address.");
  values.pop_server = "pop.example.org";
  EXPECT_EQ(TestPopConnection(values, 1000),
            "Please enter the port that your pop server uses, usually port 110.");
  values.pop_port = "x110";
  EXPECT_EQ(TestPopConnection(values, 1000), "Please enter your user name for your pop server.");
  values.pop_user = "ann";
  EXPECT_EQ(TestPopConnection(values, 1000),
            "Please enter your user password for your pop server.");
  values.pop_password = "pw";
  EXPECT_EQ(TestPopConnection(values, 1000), "Please enter a numeric value for the server port.");
}

TEST_F(FirstStartTest, WithoutTerminalOrOptionsNothingIsCreated) {
  ScriptedTerminal terminal({});
  std::ostringstream err;
  TUserList users;
  ASSERT_TRUE(users.Open(settings_->Config().UserDirectories));
  EXPECT_EQ(RunFirstStart({}, false, terminal, *settings_, users, err),
            FirstStartOutcome::kNoTerminal);
  const std::string said = err.str();
  EXPECT_EQ(said, FirstStartHelpLine() + "\n");
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);
  EXPECT_EQ(users.GetCount(), 0);
}

TEST_F(FirstStartTest, UnattendedOptions) {
  SetupOptions options;
  options.admin_password_file = File("admin", "unattended pw\n");
  options.admin_email = "admin@example.org";
  options.smtp_server = "relay.example.org";
  options.smtp_port = "587";
  options.smtp_user = "mailer";
  options.smtp_password_file = File("smtp", "relay pw");
  ScriptedTerminal terminal({});
  std::ostringstream err;
  TUserList users;
  ASSERT_TRUE(users.Open(settings_->Config().UserDirectories));
  ASSERT_EQ(RunFirstStart(options, false, terminal, *settings_, users, err),
            FirstStartOutcome::kCreated)
      << err.str();
  EXPECT_EQ(terminal.Transcript(), "");  // nothing asked
  const TUserRecord admin = StoredAdmin();
  EXPECT_EQ(admin.Password, "unattended pw");
  EXPECT_EQ(admin.EmailAddress, "admin@example.org");
  const TProgramConfig config = ReloadedConfig();
  EXPECT_EQ(config.SmtpServer, "relay.example.org");
  EXPECT_EQ(config.SmtpPort, 587);
  EXPECT_EQ(config.SmtpAuthType, 1);
  EXPECT_EQ(config.SmtpPassword, "relay pw");
}

TEST_F(FirstStartTest, IncompleteUnattendedOptionsAreRefused) {
  auto refusal = [this](SetupOptions options) {
    try {
      UnattendedFirstStartValues(options);
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  SetupOptions options;
  options.smtp_server = "relay";
  EXPECT_EQ(refusal(options), "the unattended set-up needs --admin-password-file F");
  options.admin_password_file = File("empty", "\n");
  EXPECT_EQ(refusal(options), "the password in " + (home_ / "empty").string() + " is empty");
  options.admin_password_file = File("admin", "pw");
  options.smtp_server.reset();
  EXPECT_EQ(refusal(options), "the unattended set-up needs --smtp-server HOST");
  options.smtp_server = "relay";
  options.smtp_port = "smtp";
  EXPECT_EQ(refusal(options), "--smtp-port must be a number between 1 and 65535");
  options.smtp_port.reset();
  options.smtp_password_file = File("smtp", "x");
  EXPECT_EQ(refusal(options), "--smtp-password-file needs --smtp-user U");

  // A refused set-up writes nothing.
  ScriptedTerminal terminal({});
  std::ostringstream err;
  TUserList users;
  ASSERT_TRUE(users.Open(settings_->Config().UserDirectories));
  EXPECT_EQ(RunFirstStart(options, false, terminal, *settings_, users, err),
            FirstStartOutcome::kFailed);
  EXPECT_EQ(err.str(), "kestrune: --smtp-password-file needs --smtp-user U\n");
  EXPECT_EQ(users.GetCount(), 0);
  EXPECT_EQ(ReloadedConfig().SmtpServer, std::string(kDefaultSmtpServer));
}

}  // namespace
}  // namespace kestrune
