// The administrator commands. Each loads the settings as a server start does (so the
// users directory and defaults are the server's), works through TUserList,
// TUserEmailDB and TContactsDB, whose saves take the same file locks as the server,
// and reports a failure as one line on standard error.
#include "host/admin_commands.h"

#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "host/secret_file.h"
#include "log/visible_text.h"
#include "platform/operator_messages.h"
#include "platform/settings_store.h"
#include "platform/text_encoding.h"
#include "search/mail_search.h"
#include "settings/program_config.h"
#include "store/contacts_db.h"
#include "store/email_db.h"
#include "store/mail_store_paths.h"
#include "store/user_list.h"
#include "store/user_names.h"

namespace kestrune {
namespace {

constexpr std::int32_t kDefaultPermissionLevel = 2;
constexpr std::int32_t kDefaultPopPort = 110;
constexpr std::string_view kMaskedPassword = "***";

// Exit 1: the command was understood but could not be carried out.
class CommandFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Collects the operator messages of the data-file and settings code while a command
// runs, so that they can be reported as the command's own lines.
class MessageCollector : public OperatorMessages {
 public:
  MessageCollector() { SetOperatorMessages(this); }
  ~MessageCollector() override { SetOperatorMessages(nullptr); }
  void ShowMessage(std::string_view text) override { messages_.emplace_back(text); }
  // The messages so far, emptied.
  std::vector<std::string> Take() { return std::exchange(messages_, {}); }

 private:
  std::vector<std::string> messages_;
};

// A failure that names the operator message the failing operation showed, if any.
[[noreturn]] void Fail(MessageCollector& messages, const std::string& what) {
  std::vector<std::string> shown = messages.Take();
  throw CommandFailure(shown.empty() ? what : what + ": " + shown.back());
}

// The words and --options after a command's subcommand.
struct Arguments {
  std::vector<std::string> words;
  std::map<std::string, std::string> values;  // --name VALUE or --name=VALUE
  std::map<std::string, bool> flags;          // --name
};

// options: option name -> whether it takes a value.
Arguments ParseArguments(const std::vector<std::string>& args, std::size_t first,
                         const std::map<std::string, bool>& options) {
  Arguments parsed;
  for (std::size_t i = first; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      parsed.words.push_back(arg);
      continue;
    }
    std::string name = arg.substr(2);
    std::optional<std::string> value;
    if (std::size_t equals = name.find('='); equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    auto option = options.find(name);
    if (option == options.end()) throw UsageError("unknown option --" + name);
    if (!option->second) {
      if (value) throw UsageError("--" + name + " takes no value");
      parsed.flags[name] = true;
      continue;
    }
    if (!value) {
      if (i + 1 >= args.size()) throw UsageError("--" + name + " needs a value");
      value = args[++i];
    }
    parsed.values[name] = *value;
  }
  return parsed;
}

void ExpectWords(const Arguments& arguments, std::size_t count, std::string_view usage) {
  if (arguments.words.size() != count) throw UsageError("usage: kestrune " + std::string(usage));
}

std::int32_t NumberOption(const Arguments& arguments, const std::string& name,
                          std::int32_t fallback, std::int32_t minimum, std::int32_t maximum) {
  auto value = arguments.values.find(name);
  if (value == arguments.values.end()) return fallback;
  std::int32_t number = 0;
  try {
    number = ToInteger(value->second);
  } catch (const ConversionError&) {
    throw UsageError("--" + name + " must be a number");
  }
  if (number < minimum || number > maximum) {
    throw UsageError("--" + name + " must be between " + std::to_string(minimum) + " and " +
                     std::to_string(maximum));
  }
  return number;
}

std::string TextOption(const Arguments& arguments, const std::string& name) {
  auto value = arguments.values.find(name);
  if (value == arguments.values.end()) return {};
  if (value->second.size() > TUserRecord::kNameCapacity || !IsValidUtf8(value->second)) {
    throw UsageError("--" + name + " must be UTF-8 text of at most 255 bytes");
  }
  return value->second;
}

std::string PasswordFromFile(const Arguments& arguments, const std::string& option) {
  std::string password = ReadSecretFile(arguments.values.at(option));
  if (password.empty())
    throw CommandFailure("the password in " + arguments.values.at(option) + " is empty");
  if (password.size() > TUserRecord::kNameCapacity) {
    throw CommandFailure("a password may have at most 255 bytes");
  }
  return password;
}

// A field for the TAB-separated output: TAB, CR and LF inside a value would break the
// line format, so they are shown as spaces; other control characters (a subject from
// outside mail may carry terminal escapes) are shown as visible escapes.
std::string Field(std::string_view text) {
  std::string field(text);
  for (char& c : field) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return VisibleText(field);
}

// The passwords among the settings: never shown, never taken from the command line.
bool IsSecret(const SettingDefinition& definition) {
  return definition.kind == SettingKind::kScrambled || definition.name == "SSLPassword";
}

class AdminCommands {
 public:
  AdminCommands(ProgramSettings& settings, MessageCollector& messages,
                std::vector<std::string> load_messages, std::ostream& out)
      : settings_(settings),
        messages_(messages),
        load_messages_(std::move(load_messages)),
        out_(out) {}

  void Run(const std::vector<std::string>& command) {
    const std::string& word = command[0];
    const std::string sub = command.size() > 1 ? command[1] : "";
    if (word == "users") {
      if (sub == "list") return UsersList(ParseArguments(command, 2, {}));
      if (sub == "add") return UsersAdd(ParseArguments(command, 2, kAddOptions));
      if (sub == "delete") return UsersDelete(ParseArguments(command, 2, {}));
      if (sub == "passwd")
        return UsersPasswd(ParseArguments(command, 2, {{"password-file", true}}));
      throw UsageError("usage: kestrune users list|add|delete|passwd ...");
    }
    if (word == "index") return Index(ParseArguments(command, 1, {}));
    if (word == "index-rebuild") return IndexRebuild(ParseArguments(command, 1, {}));
    if (word == "contacts") return Contacts(ParseArguments(command, 1, {}));
    if (word == "settings") {
      if (sub == "list") return SettingsList(ParseArguments(command, 2, {}));
      if (sub == "get") return SettingsGet(ParseArguments(command, 2, {}));
      if (sub == "set") return SettingsSet(ParseArguments(command, 2, {{"value-file", true}}));
      throw UsageError("usage: kestrune settings list|get|set ...");
    }
    throw UsageError("unknown command " + word);
  }

 private:
  inline static const std::map<std::string, bool> kAddOptions = {
      {"password-file", true}, {"level", true},
      {"email", true},         {"display-name", true},
      {"pop-server", true},    {"pop-port", true},
      {"pop-user", true},      {"pop-password-file", true},
      {"leave-emails", false}, {"check-on-login", false},
      {"auto-check", false},   {"auto-add-contacts", false}};

  const TProgramConfig& Config() const { return settings_.Config(); }

  void OpenUsers(TUserList& users) {
    if (Config().UserDirectories.empty()) {
      Fail(messages_, "the users directory is not known (the settings could not be read)");
    }
    if (!users.Open(Config().UserDirectories)) Fail(messages_, "cannot open the user database");
  }

  void SaveUsers(TUserList& users) {
    try {
      users.Save();
    } catch (const std::exception& e) {
      throw CommandFailure(std::string("cannot save the user database: ") + e.what());
    }
  }

  TUserRecord FindUser(TUserList& users, const std::string& name) {
    TUserRecord user;
    if (!users.FindUser(name, user)) throw CommandFailure("no user named " + name);
    return user;
  }

  void UsersList(const Arguments& arguments) {
    ExpectWords(arguments, 0, "users list");
    TUserList users;
    OpenUsers(users);
    const int count = users.GetCount();
    for (int i = 1; i <= count; ++i) {
      TUserRecord user;
      if (!users.GetUser(i, user)) continue;
      out_ << i << '\t' << Field(user.UserName) << '\t' << Field(user.EmailAddress) << '\t'
           << user.PermissionLevel << '\t' << Field(user.UserDir) << '\n';
    }
  }

  void UsersAdd(const Arguments& arguments) {
    ExpectWords(arguments, 1, "users add NAME --password-file F [options]");
    const std::string& name = arguments.words[0];
    if (!arguments.values.contains("password-file")) {
      throw UsageError("users add needs --password-file F");
    }
    TUserRecord user;
    user.PermissionLevel = NumberOption(arguments, "level", kDefaultPermissionLevel, 0, 2);
    user.PopPort = NumberOption(arguments, "pop-port", kDefaultPopPort, 1, 65535);
    user.EmailAddress = TextOption(arguments, "email");
    user.EmailDisplayName = TextOption(arguments, "display-name");
    user.PopServer = TextOption(arguments, "pop-server");
    user.PopUserName = TextOption(arguments, "pop-user");
    user.LeaveEmails = arguments.flags.contains("leave-emails");
    user.EmailCheckOnLogin = arguments.flags.contains("check-on-login");
    user.AutoCheckEmails = arguments.flags.contains("auto-check");
    user.AutoAddContacts = arguments.flags.contains("auto-add-contacts");

    CheckNewName(name);
    user.UserName = name;
    user.Password = PasswordFromFile(arguments, "password-file");
    if (arguments.values.contains("pop-password-file")) {
      user.PopPassword = PasswordFromFile(arguments, "pop-password-file");
    }

    TUserList users;
    OpenUsers(users);
    NewAccountResult added = NewAccountResult::kNoStore;
    try {
      added = users.AddUserWithNewStore(user);
    } catch (const std::exception& e) {
      throw CommandFailure(std::string("cannot save the user database: ") + e.what());
    }
    if (added == NewAccountResult::kNameTaken) {
      throw CommandFailure("a user named " + name + " already exists");
    }
    if (added == NewAccountResult::kNoStore) {
      throw CommandFailure("no mail store directory could be created for " + name + " in " +
                           Config().UserDirectories);
    }
  }

  // The rules of new names: also the mail store directory's name, no blanks at the ends
  // or invisible characters, no look-alike of "Admin".
  static void CheckNewName(const std::string& name) {
    if (name.size() > TUserRecord::kNameCapacity) {
      throw CommandFailure("a user name may have at most 255 bytes");
    }
    switch (CheckNewUserName(name, /*allow_admin=*/true)) {
      case NewUserNameProblem::kNone:
        return;
      case NewUserNameProblem::kNotADirectoryName:
        throw CommandFailure("the user name " + name + " cannot be a directory name");
      case NewUserNameProblem::kEdgeBlank:
        throw CommandFailure("the user name " + name + " begins or ends with a blank");
      case NewUserNameProblem::kInvisible:
        throw CommandFailure("the user name " + name + " holds an invisible character");
      case NewUserNameProblem::kReserved:
        throw CommandFailure("the user name " + name + " looks like Admin");
    }
  }

  void UsersDelete(const Arguments& arguments) {
    ExpectWords(arguments, 1, "users delete NAME");
    const std::string& name = arguments.words[0];
    if (EqualsIgnoringAsciiCase(name, "Admin")) {
      throw CommandFailure("the Admin account cannot be deleted");
    }
    TUserList users;
    OpenUsers(users);
    if (!users.DeleteUser(name)) throw CommandFailure("no user named " + name);
    SaveUsers(users);  // the mail store directory stays on disk
  }

  void UsersPasswd(const Arguments& arguments) {
    ExpectWords(arguments, 1, "users passwd NAME --password-file F");
    if (!arguments.values.contains("password-file")) {
      throw UsageError("users passwd needs --password-file F");
    }
    const std::string& name = arguments.words[0];
    std::string password = PasswordFromFile(arguments, "password-file");
    TUserList users;
    OpenUsers(users);
    TUserRecord user = FindUser(users, name);
    user.Password = password;
    if (!users.UpdateUser(name, user)) Fail(messages_, "cannot change the password");
    SaveUsers(users);
  }

  // The mail store of the user the command names, when it lies inside the users directory.
  std::filesystem::path MailStoreOf(const Arguments& arguments, std::string_view usage) {
    ExpectWords(arguments, 1, usage);
    TUserList users;
    OpenUsers(users);
    const TUserRecord user = FindUser(users, arguments.words[0]);
    if (!IsUserDirInside(user.UserDir, Config().UserDirectories)) {
      throw CommandFailure("the mail store " + user.UserDir + " of " + user.UserName +
                           " is not inside " + Config().UserDirectories);
    }
    return user.UserDir;
  }

  // Opens a database of the user's mail store when its file exists (reading does not
  // create a mail store). False when there is none.
  template <typename Database>
  bool OpenUserFile(const Arguments& arguments, std::string_view usage, Database& database) {
    const std::filesystem::path directory = MailStoreOf(arguments, usage);
    std::error_code error;
    if (!std::filesystem::exists(directory / Database::kFileName, error)) return false;
    try {
      if (!database.Open(directory)) {
        throw CommandFailure((directory / Database::kFileName).string() + " is not a " +
                             std::string(Database::kFileName) + " file");
      }
    } catch (const CommandFailure&) {
      throw;
    } catch (const std::exception& e) {
      throw CommandFailure("cannot read " + (directory / Database::kFileName).string() + ": " +
                           e.what());
    }
    return true;
  }

  void Index(const Arguments& arguments) {
    TUserEmailDB emails;
    if (!OpenUserFile(arguments, "index USER", emails)) return;
    const int count = emails.GetCount();
    for (int i = 1; i <= count; ++i) {
      TEmailRecord email;
      if (!emails.GetEmail(i, email)) continue;
      out_ << i << '\t' << email.Status << '\t' << (email.HasAttachment ? 1 : 0) << '\t'
           << Field(email.FileName) << '\t' << Field(email.DateText) << '\t' << Field(email.Sender)
           << '\t' << Field(email.Recipient) << '\t' << Field(email.Subject) << '\n';
    }
  }

  // Builds the user's full-text index again from the message files; prints how many
  // messages it holds.
  void IndexRebuild(const Arguments& arguments) {
    const std::filesystem::path store = MailStoreOf(arguments, "index-rebuild USER");
    std::error_code error;
    if (!std::filesystem::is_directory(store, error)) {
      throw CommandFailure("the mail store " + store.string() + " does not exist");
    }
    const long count = RebuildMailStoreIndex(store);
    if (count < 0) {
      throw CommandFailure("the search index in " + store.string() + " could not be written");
    }
    out_ << count << '\n';
  }

  void Contacts(const Arguments& arguments) {
    TContactsDB contacts;
    if (!OpenUserFile(arguments, "contacts USER", contacts)) return;
    const int count = contacts.GetCount();
    for (int i = 1; i <= count; ++i) {
      // A deleted contact reads as an empty record with Active 0; it is listed too.
      TContactRecord contact;
      contacts.GetContact(i, contact);
      out_ << i << '\t' << contact.UseCount << '\t' << contact.Active << '\t'
           << Field(contact.ContactName) << '\t' << Field(contact.ContactEmail) << '\n';
    }
  }

  // The settings commands report values only when every setting could be read.
  void RequireLoadedSettings() {
    if (!load_messages_.empty()) {
      throw CommandFailure("the settings could not be read: " + load_messages_.back());
    }
  }

  std::string ShownValue(const SettingDefinition& definition) const {
    if (IsSecret(definition)) return std::string(kMaskedPassword);
    return Field(SettingValueText(Config(), definition));
  }

  void SettingsList(const Arguments& arguments) {
    ExpectWords(arguments, 0, "settings list");
    RequireLoadedSettings();
    for (const SettingDefinition& definition : SettingDefinitions()) {
      out_ << SettingKeyLabel(definition.key) << '.' << definition.name << '='
           << ShownValue(definition) << '\n';
    }
  }

  const SettingDefinition& Definition(const std::string& name) {
    const SettingDefinition* definition = FindSettingDefinition(name);
    if (definition == nullptr) throw UsageError("unknown setting " + name);
    return *definition;
  }

  void SettingsGet(const Arguments& arguments) {
    ExpectWords(arguments, 1, "settings get NAME");
    const SettingDefinition& definition = Definition(arguments.words[0]);
    RequireLoadedSettings();
    out_ << ShownValue(definition) << '\n';
  }

  void SettingsSet(const Arguments& arguments) {
    const bool from_file = arguments.values.contains("value-file");
    ExpectWords(arguments, from_file ? 1 : 2, "settings set NAME VALUE|--value-file F");
    const SettingDefinition& definition = Definition(arguments.words[0]);
    if (IsSecret(definition) && !from_file) {
      throw UsageError(std::string(definition.name) +
                       " is a password: give it with --value-file F, not on the command line");
    }
    const std::string text =
        from_file ? ReadSecretFile(arguments.values.at("value-file")) : arguments.words[1];
    // An empty file (or /dev/null) is a mistake, not a way to log in without a password.
    if (definition.kind == SettingKind::kScrambled && text.empty()) {
      throw CommandFailure("the password in " + arguments.values.at("value-file") + " is empty");
    }
    CheckedSetting checked = CheckSettingText(definition, text);
    if (!checked.value) throw UsageError(checked.error);
    RequireLoadedSettings();
    try {
      settings_.StoreSetting(definition, *checked.value);
    } catch (const std::exception& e) {
      throw CommandFailure(std::string("cannot write ") + std::string(definition.name) + ": " +
                           e.what());
    }
  }

  ProgramSettings& settings_;
  MessageCollector& messages_;
  std::vector<std::string> load_messages_;  // what the settings loader reported
  std::ostream& out_;
};

}  // namespace

bool IsAdminCommand(const std::string& word) {
  return word == "users" || word == "index" || word == "index-rebuild" || word == "contacts" ||
         word == "settings";
}

int RunAdminCommand(const std::vector<std::string>& command, ProgramSettings& settings,
                    std::ostream& out, std::ostream& err) {
  MessageCollector messages;
  return RunReportingFailures(err, [&] {
    if (command.empty() || !IsAdminCommand(command[0])) {
      throw UsageError(command.empty() ? "no command" : "unknown command " + command[0]);
    }
    settings.LoadSettings();
    std::vector<std::string> load_messages = messages.Take();
    AdminCommands commands(settings, messages, load_messages, out);
    commands.Run(command);
    // Settings problems do not stop the data-file commands; they are reported after.
    for (const std::string& message : load_messages) {
      err << "kestrune: warning: " << VisibleText(message) << '\n';
    }
    for (const std::string& message : messages.Take()) {
      err << "kestrune: warning: " << VisibleText(message) << '\n';
    }
    out.flush();
    return kExitSuccess;
  });
}

int RunReportingFailures(std::ostream& err, const std::function<int()>& command) {
  try {
    return command();
  } catch (const UsageError& e) {
    err << "kestrune: " << VisibleText(e.what()) << '\n';
    return kExitUsage;
  } catch (const std::exception& e) {
    err << "kestrune: " << VisibleText(e.what()) << '\n';
    return kExitFailure;
  }
}

}  // namespace kestrune
