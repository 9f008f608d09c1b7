// The server's settings: the TProgramConfig record, filled at start-up from the settings
// store (kestrune.toml, keys "Software/Kestrune" and its subkeys WebServer, WebMail and
// SmtpServer) with missing values written with their defaults, and the writers that put
// changed values back, each with its numbered operator messages ("Error reading from
// registry. Code:104" and the like). A registry failure never stops the program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace kestrune {

class SettingsStore;

// Field names are the stored value names (spelling kept). Values start as 0, false and
// empty: a loader stopped by an error leaves the fields after that point so.
struct TProgramConfig {
  bool ServerReady = false;  // not stored
  std::string UserDirectories;
  std::string LogDirectory;
  std::string MRULogDirectory;
  std::string TemplateDirectory;
  std::string LangDirectory;
  std::string StringsLanguage;
  bool TrayHint = false;
  bool LoginToQuit = false;
  bool AutoSaveDebugLog = false;
  std::int32_t AutoSaveInterval = 0;
  std::int32_t ServerTimeOut = 0;
  bool ClearLogWhenAutoSaved = false;
  // Saved debug-log files older than this many days are removed (0: kept for ever).
  std::int32_t LogRetentionDays = 30;
  bool AutoCheckEmails = false;
  std::int32_t AutoCheckInterval = 0;
  bool StartWithWindows = false;
  bool ViewDebugLog = false;
  bool ViewToolBar = false;
  bool ViewStatusBar = false;
  bool MinimizeWarning = false;
  bool LoginCheckMailWarning = false;
  bool SendRecieveWarning = false;
  bool ExitWarning = false;
  std::int32_t MainWindowLeft = 0;
  std::int32_t MainWindowTop = 0;
  std::int32_t MainWindowWidth = 0;
  std::int32_t MainWindowHeight = 0;
  // How the mail engines protect POP3 and SMTP sessions: 0 plain only, 1 TLS when the
  // server offers it (implicit TLS on port 995/465, else STLS/STARTTLS), 2 TLS required
  // (credentials never go out in plain text; the connect fails instead).
  std::int32_t PopTls = 0;
  std::int32_t Port = 0;
  std::int32_t LoginType = 0;
  std::int32_t SessionTimeout = 0;
  std::int32_t SessionTrackingMethod = 0;
  bool BindToIP = false;
  std::string BoundIP;
  bool LimitConnections = false;
  std::int32_t MaxConnections = 0;
  bool RestrictIPs = false;
  bool EnableSSL = false;
  std::int32_t SSLPort = 0;
  std::int32_t SSLRequest = 0;
  std::string SSLPassword;
  // "Strict-Transport-Security" on HTTPS answers: 0 never, 1 always, 2 when plain HTTP
  // requests are only redirected to HTTPS (SSLRequest 2).
  std::int32_t StrictTransportSecurity = 0;
  bool AllowWebReg = false;
  bool ShowSuggestions = false;
  bool BanIP = false;
  std::int32_t LoginAttempts = 0;
  // Rows of a mail folder page at most (older and newer messages are a click away); 0
  // lists the whole folder on one page.
  std::int32_t FolderPageSize = 0;
  // Send the user's Outbox right after the compose page's Send, instead of waiting for the
  // next send/receive.
  bool SendOnCompose = false;
  // Self-registration limits (settings/web_registration.h): the address domains a
  // registered account may take (empty: any), and the POP3 hosts the registration page
  // may test a connection to before log-in (empty: no test before log-in).
  std::string WebRegDomains;
  std::string WebRegTestHosts;
  std::string SmtpServer;
  std::int32_t SmtpPort = 0;
  std::int32_t SmtpAuthType = 0;
  std::int32_t SmtpTls = 0;  // as PopTls
  std::string SmtpUserName;
  std::string SmtpPassword;  // in clear here; scrambled in the store
};

// The default SMTP host of a new installation: an obvious placeholder.
inline constexpr std::string_view kDefaultSmtpServer = "smtp.example.invalid";

enum class SettingKey { kRoot, kWebServer, kWebMail, kSmtpServer };

enum class SettingKind {
  kText,       // string value
  kDirectory,  // string value; default = program directory + subdirectory + "/"
  kInteger,    // 32-bit integer value
  kBoolean,    // integer value 0 or 1
  kScrambled,  // the SMTP password: enciphered bytes, stored as a binary value
};

using SettingField = std::variant<std::string TProgramConfig::*, std::int32_t TProgramConfig::*,
                                  bool TProgramConfig::*>;

struct SettingDefinition {
  std::string_view name;
  SettingKey key;
  SettingKind kind;
  SettingField field;
  std::int32_t default_number = 0;  // integers and Booleans
  std::string_view default_text;    // texts; the subdirectory name of directories
  // Range the settings dialog allows (integers); the command line checks it too.
  std::int32_t minimum = INT32_MIN;
  std::int32_t maximum = INT32_MAX;
};

// Every stored setting, key by key, in the order the loader reads them.
std::span<const SettingDefinition> SettingDefinitions();
// By value name, or "Key.Name" as the command line lists them ("WebServer.Port",
// "Root.LogDirectory"); ASCII case-insensitive. nullptr when unknown.
const SettingDefinition* FindSettingDefinition(std::string_view name);
// "Software/Kestrune" and its subkeys.
std::string_view SettingKeyPath(SettingKey key);
// "Root", "WebServer", "WebMail", "SmtpServer".
std::string_view SettingKeyLabel(SettingKey key);

// Whether text is "/" (in any spelling such as "//" or "/./") given to a directory setting
// that holds the program's files (every one but MRULogDirectory): refused by the loader,
// the writers and the command line.
bool IsRefusedRootDirectory(const SettingDefinition& definition, std::string_view text);

// The value of a setting as text: a Boolean as 0 or 1, an integer in decimal.
std::string SettingValueText(const TProgramConfig& config, const SettingDefinition& definition);

// A typed value for a writer. An integer setting may also be given the text typed into
// a dialog's edit: it is converted at the moment of its write, and a text that is not
// a number throws ConversionError there (so values before it are already written).
using SettingValue = std::variant<std::string, std::int32_t, bool>;

class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The decimal value of text (leading and trailing blanks allowed, optional sign);
// ConversionError ("'abc' is not a valid integer value") otherwise.
std::int32_t ToInteger(std::string_view text);

// Checks text as the settings dialog would accept it for definition (numbers within
// the dialog's range, Booleans 0/1/true/false, ports 1-65535, a dotted IPv4 address,
// absolute directories) and returns the value, with a trailing "/" added to a
// directory. An error gives the one-line reason.
struct CheckedSetting {
  std::optional<SettingValue> value;
  std::string error;
};
CheckedSetting CheckSettingText(const SettingDefinition& definition, std::string_view text);

// Where the process runs: the program directory (settings file, directory defaults)
// and the start-with-the-session entry. With autostart_entry empty (headless mode and
// the command line) StartWithWindows is stored but no entry is written.
struct SettingsHost {
  std::filesystem::path program_directory;
  std::filesystem::path program_file;
  // Passed to the autostarted program as --home when the program directory is not
  // the executable's directory.
  std::optional<std::filesystem::path> autostart_home;
  std::filesystem::path autostart_entry;
};

// The console window's state that the exit saver writes.
struct ExitWindowState {
  std::int32_t left = -1, top = -1, width = -1, height = -1;
  bool hidden = false;
};

// What the settings dialog hands over on OK. The typed number edits are texts and are
// converted during the save; the arrow-controlled counts and the combo boxes (as item
// indexes) are numbers.
struct SettingsDialogValues {
  // General
  std::string LogDirectory;
  bool LoginToQuit = false;
  bool AutoSaveDebugLog = false;
  std::int32_t AutoSaveInterval = 0;
  bool AutoCheckEmails = false;
  std::int32_t AutoCheckInterval = 0;
  bool ClearLogWhenAutoSaved = false;
  bool StartWithWindows = false;
  std::int32_t ServerTimeOut = 0;
  // WebServer
  std::string Port;
  std::int32_t LoginType = 0;
  std::int32_t SessionTimeout = 0;
  std::int32_t SessionTrackingMethod = 0;
  bool BindToIP = false;
  std::string BoundIP;
  bool LimitConnections = false;
  std::string MaxConnections;
  bool RestrictIPs = false;
  bool EnableSSL = false;
  std::string SSLPort;
  std::int32_t SSLRequest = 0;
  std::string SSLPassword;
  // WebMail
  bool AllowWebReg = false;
  bool ShowSuggestions = false;
  bool BanIP = false;
  std::int32_t LoginAttempts = 0;
  // SmtpServer
  std::string SmtpServer;
  std::string SmtpPort;
  std::int32_t SmtpAuthType = 0;
  std::string SmtpUserName;
  std::string SmtpPassword;  // in clear
};

// The SMTP page of the first-run wizard.
struct WizardSmtpValues {
  std::string SmtpServer;
  std::string SmtpPort;  // as typed
  std::int32_t SmtpAuthType = 0;
  std::string SmtpUserName;
  std::string SmtpPassword;  // in clear
};

// The settings record and every operation that reads or writes the store. The record
// is written by the console thread (loader, writers); other threads only read it.
class ProgramSettings {
 public:
  explicit ProgramSettings(SettingsHost host);

  TProgramConfig& Config() { return config_; }
  const TProgramConfig& Config() const { return config_; }
  const SettingsHost& Host() const { return host_; }
  std::filesystem::path SettingsFile() const;

  // The scrambling key of SmtpPassword: set as the loader's first step, cleared by
  // ClearPasswordKey at shutdown.
  const std::string& PasswordKey() const { return password_key_; }
  void ClearPasswordKey() { password_key_.clear(); }

  // Reads every setting in order, writing missing ones with their defaults.
  void LoadSettings();

  // Writes the autostart entry (enabled) or removes it (disabled). Codes 2200-2202.
  void ApplyStartWithWindows(bool enabled);
  // Window bounds, TrayHint, MinimizeOnStartup, AllowWebReg. Codes 200-204.
  void SaveOnExit(const ExitWindowState& window);
  // BindToIP = 0 in the store only (codes 600-602); EnableSSL = 0 likewise (1900-1902).
  void DisableBinding();
  void DisableSSL();

  // The settings dialog's OK (codes 500-505). Shows "Changes made to the web server
  // require Kestrune to be restarted." when a listener setting changed. True when
  // every value was written (the caller then sets the timers again).
  bool SaveSettingsDialog(const SettingsDialogValues& values);
  // Whether the dialog's listener settings differ from the record (the restart
  // message). Throws ConversionError for a port or count that is not a number.
  bool WebServerSettingsChanged(const SettingsDialogValues& values) const;

  // View menu check items (codes 104-106).
  void SaveViewDebugLog(bool visible);
  void SaveViewToolBar(bool visible);
  void SaveViewStatusBar(bool visible);
  // "Save Debug Log": the directory of the chosen file (codes 500-502).
  void SaveMRULogDirectory(std::string_view directory);
  // First-run wizard OK (code 1401). A port that is not a number throws
  // ConversionError to the caller after SmtpServer was written.
  void SaveWizardSmtpSettings(const WizardSmtpValues& values);
  // "Dont ask/tell me again" of the four information dialogs.
  void ClearExitWarning();            // codes 400-402
  void ClearMinimizeWarning();        // codes 2200-2202
  void ClearSendRecieveWarning();     // codes 1600-1601
  void ClearLoginCheckMailWarning();  // codes 1100-1101
  // User properties: auto-check turned on (800-802), another interval (1200-1202).
  void EnableAutoCheckEmails();
  void SaveAutoCheckInterval(std::int32_t minutes);
  // Socket-error dialog OK: ports as typed (codes 1800-1801).
  void SaveListenerPorts(std::string_view port, std::string_view ssl_port);
  // SSL-password dialog OK (codes 3100-3101).
  void SaveSslSettings(bool enable_ssl, std::string_view password);

  // One setting from the command line: written to the store and the record. Throws
  // SettingsError when the store cannot be written; no operator message.
  void StoreSetting(const SettingDefinition& definition, const SettingValue& value);

 private:
  class Writer;

  // Runs one writer operation: creates the store accessor (failure: accessor_message)
  // and calls body; an exception from body shows exception_message (or, when that is
  // empty, passes to the caller). True when body ran to its end.
  bool RunWriter(std::string_view accessor_message, std::string_view exception_message,
                 const std::function<void(Writer&)>& body);

  void LoadKey(SettingsStore& store, SettingKey key);
  std::string DefaultText(const SettingDefinition& definition) const;
  void WriteValue(SettingsStore& store, const SettingDefinition& definition,
                  const SettingValue& value, bool update_record);

  SettingsHost host_;
  TProgramConfig config_;
  std::string password_key_;
};

}  // namespace kestrune
