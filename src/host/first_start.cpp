// The first-start dialogue on a terminal, its unattended form, and the step that
// creates the "Admin" account and writes the SMTP settings.
#include "host/first_start.h"

#include <termios.h>
#include <unistd.h>

#include <istream>
#include <ostream>
#include <stdexcept>

#include "host/secret_file.h"
#include "mail/id_pop3.h"
#include "mail/socket_error.h"
#include "platform/ascii.h"
#include "platform/text_encoding.h"
#include "store/user_list.h"

namespace kestrune {
namespace {

constexpr std::string_view kAdminName = "Admin";
constexpr std::size_t kRecommendedPasswordLength = 8;

// The wizard's texts use "\r" for a line break.
std::string Lines(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\r') c = '\n';
  }
  return out;
}

bool IsYes(std::string_view answer, bool fallback) {
  if (answer.empty()) return fallback;
  return answer[0] == 'y' || answer[0] == 'Y';
}

// A yes/no question; nullopt at the end of input.
std::optional<bool> AskYesNo(SetupTerminal& terminal, std::string_view question, bool fallback) {
  std::optional<std::string> answer =
      terminal.Ask(std::string(question) + (fallback ? " [Y/n] " : " [y/N] "));
  if (!answer) return std::nullopt;
  return IsYes(*answer, fallback);
}

// A question with a default shown in brackets, taken when the answer is empty.
std::optional<std::string> AskWithDefault(SetupTerminal& terminal, std::string_view label,
                                          std::string_view fallback) {
  std::optional<std::string> answer = terminal.Ask(
      std::string(label) + (fallback.empty() ? "" : " [" + std::string(fallback) + "]") + " ");
  if (answer && answer->empty()) return std::string(fallback);
  return answer;
}

bool IsPort(std::string_view text) {
  try {
    const std::int32_t port = ToInteger(text);
    return port >= 1 && port <= 65535;
  } catch (const ConversionError&) {
    return false;
  }
}

// Step 1: the Admin password, asked twice.
std::optional<std::string> AskAdminPassword(SetupTerminal& terminal) {
  terminal.Say(
      "A user named \"Admin\" will be created: the administrator of this server. Choose its "
      "password and do not forget it.");
  for (;;) {
    std::optional<std::string> password = terminal.AskSecret("Password: ");
    if (!password) return std::nullopt;
    if (password->empty()) {
      terminal.Say("You must enter a password before you can continue.");
      continue;
    }
    std::optional<std::string> confirm = terminal.AskSecret("Confirm: ");
    if (!confirm) return std::nullopt;
    if (confirm->empty()) {
      terminal.Say("Please confirm your password before continuing.");
      continue;
    }
    if (password->size() < kRecommendedPasswordLength) {
      std::optional<bool> change = AskYesNo(
          terminal,
          Lines("For password security, it is recommended that the minimum password length be "
                "8 characters.\r\rWould you like to change your password?"),
          true);
      if (!change) return std::nullopt;
      if (*change) continue;
    }
    if (!EqualsIgnoringAsciiCase(*password, *confirm)) {
      terminal.Say(
          "The passwords you have entered do not match, please enter and confirm your "
          "password.");
      continue;
    }
    return password;
  }
}

// Steps 3 and 4: the Admin's e-mail identity and POP3 account, with the connection test.
bool AskMailAccount(SetupTerminal& terminal, const TProgramConfig& config,
                    FirstStartValues& values) {
  auto ask = [&terminal](std::string_view label, std::string& field) {
    std::optional<std::string> answer = terminal.Ask(label);
    if (answer) field = *answer;
    return answer.has_value();
  };
  terminal.Say("The name shown as the sender of your messages.");
  if (!ask("Display Name: ", values.display_name)) return false;
  terminal.Say("The address your messages are sent from and replies come back to.");
  if (!ask("Email Address: ", values.email_address)) return false;
  terminal.Say(
      "Please enter your Email Accounts Pop3 Server information in the boxes provided below.");
  for (;;) {
    if (!ask("Pop3 Server: ", values.pop_server)) return false;
    std::optional<std::string> port = AskWithDefault(terminal, "Server Port:", "110");
    if (!port) return false;
    values.pop_port = *port;
    if (!ask("Pop3 User Name: ", values.pop_user)) return false;
    std::optional<std::string> password = terminal.AskSecret("Pop3 Password: ");
    if (!password) return false;
    values.pop_password = *password;

    std::optional<bool> test = AskYesNo(terminal, "Test Connection?", true);
    if (!test) return false;
    if (*test) terminal.Say(Lines(TestPopConnection(values, config.ServerTimeOut * 1000)));
    if (!IsPort(values.pop_port)) {
      terminal.Say("Please enter a numeric value for the server port.");
      continue;
    }
    std::optional<bool> again = AskYesNo(terminal, "Change these Pop3 settings?", false);
    if (!again) return false;
    if (!*again) return true;
  }
}

// Step 5: the SMTP server common to all users.
bool AskSmtpServer(SetupTerminal& terminal, FirstStartValues& values) {
  terminal.Say(
      "Please enter your SMTP Server details below, the SMTP Server entered here is common to "
      "all users.");
  for (;;) {
    std::optional<std::string> server = terminal.Ask("Smtp Server: ");
    if (!server) return false;
    if (server->empty()) {
      terminal.Say("You must enter a SMTP Server address before you can continue.");
      continue;
    }
    values.smtp.SmtpServer = *server;
    break;
  }
  for (;;) {
    std::optional<std::string> port = AskWithDefault(terminal, "Server Port:", "25");
    if (!port) return false;
    if (IsPort(*port)) {
      values.smtp.SmtpPort = *port;
      break;
    }
    terminal.Say("Please enter a numeric value for the server port.");
  }
  for (;;) {
    std::optional<std::string> type =
        AskWithDefault(terminal, "Authentication Type (0 = None, 1 = Simple Login):", "0");
    if (!type) return false;
    if (*type == "0" || *type == "1") {
      values.smtp.SmtpAuthType = *type == "1" ? 1 : 0;
      break;
    }
  }
  if (values.smtp.SmtpAuthType == 1) {
    std::optional<std::string> user = terminal.Ask("SMTP User Name: ");
    if (!user) return false;
    values.smtp.SmtpUserName = *user;
    std::optional<std::string> password = terminal.AskSecret("SMTP Password: ");
    if (!password) return false;
    values.smtp.SmtpPassword = *password;
  }
  return true;
}

// Where the installation has the TLS settings: asks for each, recommending "required".
bool AskTls(SetupTerminal& terminal, FirstStartValues& values, bool pop_account) {
  struct Choice {
    const char* setting;
    const char* question;
    std::optional<std::int32_t>* value;
  };
  const Choice choices[] = {
      {"SmtpTls",
       "Require TLS for the SMTP server, so that passwords never travel in clear "
       "(recommended)?",
       &values.smtp_tls},
      {"PopTls",
       "Require TLS for POP3 servers, so that passwords never travel in clear "
       "(recommended)?",
       &values.pop_tls},
  };
  for (const Choice& choice : choices) {
    if (FindSettingDefinition(choice.setting) == nullptr) continue;
    if (std::string_view(choice.setting) == "PopTls" && !pop_account) continue;
    std::optional<bool> required = AskYesNo(terminal, choice.question, true);
    if (!required) return false;
    *choice.value = *required ? 2 : 1;
  }
  return true;
}

std::string PasswordFromFile(const std::optional<std::string>& file, std::string_view option) {
  std::string password = ReadSecretFile(*file);
  if (password.empty()) throw std::runtime_error("the password in " + *file + " is empty");
  if (password.size() > TUserRecord::kNameCapacity) {
    throw std::runtime_error(std::string(option) + ": a password may have at most 255 bytes");
  }
  return password;
}

// The password prompt's terminal echo off for the life of the object.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (fd_ < 0 || !isatty(fd_) || tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    active_ = tcsetattr(fd_, TCSANOW, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) tcsetattr(fd_, TCSANOW, &saved_);
  }
  bool Active() const { return active_; }

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

bool TakeSetupOption(const std::vector<std::string>& args, std::size_t& i, SetupOptions& options,
                     std::string& error) {
  struct Option {
    std::string_view name;
    std::optional<std::string> SetupOptions::*field;
  };
  static constexpr Option kOptions[] = {
      {"--admin-password-file", &SetupOptions::admin_password_file},
      {"--admin-email", &SetupOptions::admin_email},
      {"--smtp-server", &SetupOptions::smtp_server},
      {"--smtp-port", &SetupOptions::smtp_port},
      {"--smtp-user", &SetupOptions::smtp_user},
      {"--smtp-password-file", &SetupOptions::smtp_password_file},
  };
  const std::string& arg = args[i];
  for (const Option& option : kOptions) {
    if (arg == option.name) {
      if (i + 1 >= args.size()) {
        error = std::string(option.name) + " needs a value";
        return true;
      }
      options.*option.field = args[++i];
      return true;
    }
    if (arg.size() > option.name.size() && arg.starts_with(option.name) &&
        arg[option.name.size()] == '=') {
      options.*option.field = arg.substr(option.name.size() + 1);
      return true;
    }
  }
  return false;
}

StreamTerminal::StreamTerminal(std::istream& in, std::ostream& out, int in_fd)
    : in_(in), out_(out), in_fd_(in_fd) {}

void StreamTerminal::Say(std::string_view text) { out_ << text << std::endl; }

std::optional<std::string> StreamTerminal::Ask(std::string_view prompt) {
  out_ << prompt << std::flush;
  std::string line;
  if (!std::getline(in_, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::optional<std::string> StreamTerminal::AskSecret(std::string_view prompt) {
  EchoOff echo_off(in_fd_);
  std::optional<std::string> answer = Ask(prompt);
  if (echo_off.Active()) out_ << std::endl;  // the Enter the terminal did not echo
  return answer;
}

std::optional<FirstStartValues> AskFirstStartValues(SetupTerminal& terminal,
                                                    const TProgramConfig& config) {
  FirstStartValues values;
  terminal.Say("Welcome to Kestrune.");
  terminal.Say("This is the first time you have run Kestrune,");
  terminal.Say(
      "these questions create the administrator account and set up the SMTP server through "
      "which every user's mail is sent. The web pages are not served to anyone until this is "
      "done; end the input (Ctrl-D) to stop the server instead.");

  std::optional<std::string> password = AskAdminPassword(terminal);
  if (!password) return std::nullopt;
  values.admin_password = *password;

  std::optional<bool> account = AskYesNo(
      terminal, "Would you like to setup a Email Account for the \"Admin\" user now?", true);
  if (!account) return std::nullopt;
  if (*account && !AskMailAccount(terminal, config, values)) return std::nullopt;
  if (!AskSmtpServer(terminal, values)) return std::nullopt;
  if (!AskTls(terminal, values, *account)) return std::nullopt;
  return values;
}

FirstStartValues UnattendedFirstStartValues(const SetupOptions& options) {
  if (!options.admin_password_file) {
    throw std::runtime_error("the unattended set-up needs --admin-password-file F");
  }
  if (!options.smtp_server || options.smtp_server->empty()) {
    throw std::runtime_error("the unattended set-up needs --smtp-server HOST");
  }
  if (options.smtp_password_file && !options.smtp_user) {
    throw std::runtime_error("--smtp-password-file needs --smtp-user U");
  }
  FirstStartValues values;
  values.admin_password = PasswordFromFile(options.admin_password_file, "--admin-password-file");
  values.email_address = options.admin_email.value_or("");
  values.smtp.SmtpServer = *options.smtp_server;
  values.smtp.SmtpPort = options.smtp_port.value_or("25");
  if (!IsPort(values.smtp.SmtpPort)) {
    throw std::runtime_error("--smtp-port must be a number between 1 and 65535");
  }
  if (options.smtp_user) {
    values.smtp.SmtpAuthType = 1;
    values.smtp.SmtpUserName = *options.smtp_user;
    if (options.smtp_password_file) {
      values.smtp.SmtpPassword =
          PasswordFromFile(options.smtp_password_file, "--smtp-password-file");
    }
  }
  for (const std::string* text :
       {&values.email_address, &values.smtp.SmtpServer, &values.smtp.SmtpUserName}) {
    if (text->size() > TUserRecord::kNameCapacity || !IsValidUtf8(*text)) {
      throw std::runtime_error("the set-up options must be UTF-8 texts of at most 255 bytes");
    }
  }
  return values;
}

void ApplyFirstStart(const FirstStartValues& values, ProgramSettings& settings, TUserList& users) {
  TUserRecord admin;
  admin.UserName = std::string(kAdminName);
  admin.Password = values.admin_password;
  admin.UserDir = settings.Config().UserDirectories + std::string(kAdminName) + "/";
  admin.PermissionLevel = 0;
  admin.AutoCheckEmails = true;
  admin.EmailCheckOnLogin = false;
  admin.LeaveEmails = false;
  admin.EmailDisplayName = values.display_name;
  admin.EmailAddress = values.email_address;
  admin.PopServer = values.pop_server;
  admin.PopPort = IsPort(values.pop_port) ? ToInteger(values.pop_port) : TIdPOP3::kDefaultPort;
  admin.PopUserName = values.pop_user;
  admin.PopPassword = values.pop_password;

  if (!users.AddUser(admin)) throw std::runtime_error("the \"Admin\" account could not be added");
  users.Save();
  users.Reload();

  settings.SaveWizardSmtpSettings(values.smtp);
  for (auto [name, value] : {std::pair{"SmtpTls", values.smtp_tls}, {"PopTls", values.pop_tls}}) {
    const SettingDefinition* definition = FindSettingDefinition(name);
    if (definition != nullptr && value) settings.StoreSetting(*definition, *value);
  }
}

std::string TestPopConnection(const FirstStartValues& values, int timeout_ms,
                              const std::atomic<bool>* stop) {
  if (values.pop_server.empty()) return "Please enter your pop server address.";
  if (values.pop_port.empty()) {
    return "Please enter the port that your pop server uses, usually port 110.";
  }
  if (values.pop_user.empty()) return "Please enter your user name for your pop server.";
  if (values.pop_password.empty()) return "Please enter your user password for your pop server.";
  if (!IsPort(values.pop_port)) return "Please enter a numeric value for the server port.";

  TIdPOP3 pop;
  pop.Host = values.pop_server;
  pop.Port = ToInteger(values.pop_port);
  pop.Username = values.pop_user;
  pop.Password = values.pop_password;
  pop.ReadTimeoutMs = 20000;
  pop.StopFlag = stop;
  try {
    pop.Connect(timeout_ms);
    pop.Disconnect();
    return "Your Pop server tested correctly.";
  } catch (const SocketError& error) {
    const std::string text = error.what();
    if (text.find("11004") != std::string::npos) {
      return "There could be a problem with your pop servers name or DNS entry, \rPlease check "
             "the spelling of your pop server address.";
    }
    if (text.find("11001") != std::string::npos) {
      return "The pop server name you entered could not be found, \rPlease check the spelling "
             "of your pop server address.";
    }
    if (text.find("10060") != std::string::npos) {
      return "The connection timed out waiting for your pop server to respond, \rYour server "
             "could be busy at the moment, \rIf you are sure your server details are correct "
             "you can proceed.";
    }
    if (text.find("10054") != std::string::npos) {
      return "The connection to your pop server was unexpectedly terminated.";
    }
    return text;
  } catch (const ProtocolError& error) {
    return error.what();
  } catch (const TransportError& error) {
    std::string upper = error.what();
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.find("POP3 RESPONSE HEADER") != std::string::npos) {
      return "Your pop server responded with an unexpected response, \rPlease check the port "
             "number you entered is valid for your server.";
    }
    return error.what();
  } catch (const std::exception&) {
    return "An unexpected error occured.";
  }
}

std::string FirstStartHelpLine() {
  return "kestrune: the user database holds no user yet: run 'kestrune --home DIR setup' on a "
         "terminal, or start with --admin-password-file F --smtp-server HOST [--smtp-port P] "
         "[--admin-email A] [--smtp-user U --smtp-password-file F]";
}

FirstStartOutcome RunFirstStart(const SetupOptions& options, bool interactive,
                                SetupTerminal& terminal, ProgramSettings& settings,
                                TUserList& users, std::ostream& err) {
  std::optional<FirstStartValues> values;
  try {
    if (options.Any()) {
      values = UnattendedFirstStartValues(options);
    } else if (interactive) {
      values = AskFirstStartValues(terminal, settings.Config());
      if (!values) return FirstStartOutcome::kCancelled;
    } else {
      err << FirstStartHelpLine() << std::endl;
      return FirstStartOutcome::kNoTerminal;
    }
    ApplyFirstStart(*values, settings, users);
  } catch (const std::exception& failure) {
    err << "kestrune: " << failure.what() << std::endl;
    return FirstStartOutcome::kFailed;
  }
  if (!options.Any()) terminal.Say("The \"Admin\" account has been created.");
  return FirstStartOutcome::kCreated;
}

}  // namespace kestrune
