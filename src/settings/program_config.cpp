// The settings loader and the writers. Every operation creates its own store accessor,
// opens its keys with create, and writes value by value; a record field changes only
// after its value was written. Failures show the operation's numbered message.
#include "settings/program_config.h"

#include <memory>
#include <system_error>

#include "platform/autostart.h"
#include "platform/operator_messages.h"
#include "platform/settings_store.h"
#include "platform/text_encoding.h"
#include "store/scramble.h"
#include "store/text_utils.h"

namespace kestrune {
namespace {

constexpr std::string_view kLoaderNotOpened[] = {
    "Error reading from registry. Code:100", "Error reading from registry. Code:101",
    "Error reading from registry. Code:102", "Error reading from registry. Code:103"};

const SettingDefinition& Definition(std::string_view name) {
  const SettingDefinition* definition = FindSettingDefinition(name);
  if (definition == nullptr) throw std::logic_error("unknown setting " + std::string(name));
  return *definition;
}

// Session tracking and non-SSL request modes outside 0..2 are taken as 0; so is any
// non-zero login type as 1 ("HTTP").
std::int32_t ModeIndex(std::int32_t value) { return value >= 0 && value <= 2 ? value : 0; }
std::int32_t LoginTypeIndex(std::int32_t value) { return value != 0 ? 1 : 0; }

std::int32_t AsInteger(const SettingValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return ToInteger(*text);
  if (const auto* number = std::get_if<std::int32_t>(&value)) return *number;
  return std::get<bool>(value) ? 1 : 0;
}

bool AsBool(const SettingValue& value) {
  if (const auto* flag = std::get_if<bool>(&value)) return *flag;
  return AsInteger(value) != 0;
}

const std::string& AsText(const SettingValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  throw std::invalid_argument("a text setting was given a number");
}

}  // namespace

// One writer operation's view of the store: opens keys, reporting a key that cannot
// be opened with the operation's message, and writes values.
class ProgramSettings::Writer {
 public:
  Writer(ProgramSettings& settings, SettingsStore& store) : settings_(settings), store_(store) {}

  // Opens key with create; on failure shows not_opened and returns false.
  bool Open(SettingKey key, std::string_view not_opened) {
    store_.CloseKey();
    if (TryOpen(SettingKeyPath(key), true)) return true;
    ShowOperatorMessage(not_opened);
    return false;
  }

  // Opens "Software" without create and then "Kestrune" below it with create.
  bool OpenTwoStep(std::string_view software_not_opened, std::string_view kestrune_not_opened) {
    store_.CloseKey();
    if (!TryOpen("Software", false)) {
      ShowOperatorMessage(software_not_opened);
      return false;
    }
    if (!TryOpen("Kestrune", true)) {
      store_.CloseKey();
      ShowOperatorMessage(kestrune_not_opened);
      return false;
    }
    return true;
  }

  // A known setting: written, then the record field set (unless update_record is off).
  void Write(std::string_view name, const SettingValue& value, bool update_record = true) {
    settings_.WriteValue(store_, Definition(name), value, update_record);
  }

  // A value that is not part of the record (MinimizeOnStartup).
  void WriteUnrecordedBool(std::string_view name, bool value) { store_.WriteBool(name, value); }

 private:
  bool TryOpen(std::string_view key, bool create) {
    try {
      return store_.OpenKey(key, create);
    } catch (const SettingsError&) {
      return false;
    }
  }

  ProgramSettings& settings_;
  SettingsStore& store_;
};

ProgramSettings::ProgramSettings(SettingsHost host) : host_(std::move(host)) {}

std::filesystem::path ProgramSettings::SettingsFile() const {
  return host_.program_directory / SettingsStore::kFileName;
}

std::string ProgramSettings::DefaultText(const SettingDefinition& definition) const {
  if (definition.kind == SettingKind::kDirectory) {
    return AddTrailingBackslash((host_.program_directory / definition.default_text).string());
  }
  return std::string(definition.default_text);
}

void ProgramSettings::WriteValue(SettingsStore& store, const SettingDefinition& definition,
                                 const SettingValue& value, bool update_record) {
  const std::string name(definition.name);
  switch (definition.kind) {
    case SettingKind::kText:
    case SettingKind::kDirectory: {
      const std::string& text = AsText(value);
      if (IsRefusedRootDirectory(definition, text)) {
        throw SettingsError(name + " must not be the root directory");
      }
      store.WriteString(name, text);
      if (update_record) config_.*std::get<std::string TProgramConfig::*>(definition.field) = text;
      break;
    }
    case SettingKind::kScrambled: {
      const std::string& plain = AsText(value);
      std::string scrambled = plain;
      EncryptString(scrambled, password_key_);
      // Enciphered bytes may hold zero bytes and need not be text: a binary value
      // keeps every byte.
      store.WriteBinary(name, std::vector<std::uint8_t>(scrambled.begin(), scrambled.end()));
      if (update_record) config_.*std::get<std::string TProgramConfig::*>(definition.field) = plain;
      break;
    }
    case SettingKind::kInteger: {
      std::int32_t number = AsInteger(value);
      store.WriteInteger(name, number);
      if (update_record)
        config_.*std::get<std::int32_t TProgramConfig::*>(definition.field) = number;
      break;
    }
    case SettingKind::kBoolean: {
      bool flag = AsBool(value);
      store.WriteBool(name, flag);
      if (update_record) config_.*std::get<bool TProgramConfig::*>(definition.field) = flag;
      break;
    }
  }
}

void ProgramSettings::LoadSettings() {
  password_key_ = std::string(kPasswordKey);
  std::unique_ptr<SettingsStore> store;
  try {
    store = std::make_unique<SettingsStore>(SettingsFile());
  } catch (const SettingsError&) {
    ShowOperatorMessage("Error opening registry. Code:99");
    return;
  }
  try {
    for (SettingKey key : {SettingKey::kRoot, SettingKey::kWebServer, SettingKey::kWebMail,
                           SettingKey::kSmtpServer}) {
      LoadKey(*store, key);
    }
  } catch (const std::exception&) {
    ShowOperatorMessage("Error reading from registry. Code:104");
  }
}

void ProgramSettings::LoadKey(SettingsStore& store, SettingKey key) {
  store.CloseKey();
  bool opened = false;
  try {
    opened = store.OpenKey(SettingKeyPath(key), true);
  } catch (const SettingsError&) {
  }
  if (!opened) {
    ShowOperatorMessage(kLoaderNotOpened[static_cast<int>(key)]);
    return;
  }
  for (const SettingDefinition& definition : SettingDefinitions()) {
    if (definition.key != key) continue;
    const std::string name(definition.name);
    if (!store.ValueExists(name)) {
      SettingValue default_value = definition.default_number;
      if (definition.kind == SettingKind::kBoolean) {
        default_value = definition.default_number != 0;
      } else if (definition.kind != SettingKind::kInteger) {
        default_value = DefaultText(definition);
      }
      WriteValue(store, definition, default_value, true);
    } else {
      switch (definition.kind) {
        case SettingKind::kText:
        case SettingKind::kDirectory: {
          std::string text = store.ReadString(name);
          if (IsRefusedRootDirectory(definition, text)) {
            throw SettingsError(name + " names the root directory");
          }
          config_.*std::get<std::string TProgramConfig::*>(definition.field) = std::move(text);
          break;
        }
        case SettingKind::kScrambled: {
          // Written as a binary value; a string value without zero bytes (as an older
          // installation kept it) reads the same way.
          std::string scrambled;
          if (store.GetDataType(name) == SettingsValueKind::kBinary) {
            std::vector<std::uint8_t> bytes = store.ReadBinary(name);
            scrambled.assign(bytes.begin(), bytes.end());
          } else {
            scrambled = store.ReadString(name);
          }
          DecryptString(scrambled, password_key_);
          config_.*std::get<std::string TProgramConfig::*>(definition.field) = scrambled;
          break;
        }
        case SettingKind::kInteger:
          config_.*std::get<std::int32_t TProgramConfig::*>(definition.field) =
              store.ReadInteger(name);
          break;
        case SettingKind::kBoolean:
          config_.*std::get<bool TProgramConfig::*>(definition.field) = store.ReadBool(name);
          break;
      }
    }
    if (definition.name == "StartWithWindows") ApplyStartWithWindows(config_.StartWithWindows);
  }
  store.CloseKey();
}

bool ProgramSettings::RunWriter(std::string_view accessor_message,
                                std::string_view exception_message,
                                const std::function<void(Writer&)>& body) {
  std::unique_ptr<SettingsStore> store;
  try {
    store = std::make_unique<SettingsStore>(SettingsFile());
  } catch (const SettingsError&) {
    if (accessor_message.empty()) throw;
    ShowOperatorMessage(accessor_message);
    return false;
  }
  Writer writer(*this, *store);
  try {
    body(writer);
    return true;
  } catch (const std::exception&) {
    if (exception_message.empty()) throw;
    ShowOperatorMessage(exception_message);
    return false;
  }
}

void ProgramSettings::ApplyStartWithWindows(bool enabled) {
  // Headless runs and the command line keep the setting without an entry.
  if (host_.autostart_entry.empty()) return;
  AutostartEntry entry(host_.autostart_entry);
  std::error_code error;
  std::filesystem::create_directories(entry.Path().parent_path(), error);
  if (!std::filesystem::is_directory(entry.Path().parent_path(), error)) {
    ShowOperatorMessage("Error writing to registry. Code:2202");
    return;
  }
  try {
    if (enabled) {
      entry.Write(host_.program_file, host_.autostart_home);
    } else if (entry.Exists()) {
      entry.Remove();
    }
  } catch (const std::exception&) {
    ShowOperatorMessage("Error writing to registry. Code:2201");
  }
}

void ProgramSettings::SaveOnExit(const ExitWindowState& window) {
  RunWriter("Error opening registry. Code:200", "Error writing to registry. Code:201",
            [&](Writer& w) {
              if (w.Open(SettingKey::kRoot, "Error writing to registry. Code:202")) {
                w.Write("MainWindowLeft", window.left);
                w.Write("MainWindowTop", window.top);
                w.Write("MainWindowWidth", window.width);
                w.Write("MainWindowHeight", window.height);
                w.Write("TrayHint", config_.TrayHint);
                w.WriteUnrecordedBool("MinimizeOnStartup", window.hidden);
              }
              if (w.Open(SettingKey::kWebMail, "Error reading from registry. Code:204")) {
                w.Write("AllowWebReg", config_.AllowWebReg);
              }
            });
}

void ProgramSettings::DisableBinding() {
  RunWriter("Error opening registry. Code:600", "Error writing to registry. Code:601",
            [&](Writer& w) {
              if (w.Open(SettingKey::kWebServer, "Error writing to registry. Code:602")) {
                w.Write("BindToIP", false, /*update_record=*/false);
              }
            });
}

void ProgramSettings::DisableSSL() {
  RunWriter("Error opening registry. Code:1900", "Error writing to registry. Code:1901",
            [&](Writer& w) {
              if (w.Open(SettingKey::kWebServer, "Error writing to registry. Code:1902")) {
                w.Write("EnableSSL", false, /*update_record=*/false);
              }
            });
}

bool ProgramSettings::WebServerSettingsChanged(const SettingsDialogValues& v) const {
  const TProgramConfig& c = config_;
  return ToInteger(v.Port) != c.Port || v.LoginType != LoginTypeIndex(c.LoginType) ||
         v.SessionTimeout != c.SessionTimeout || v.BindToIP != c.BindToIP ||
         v.SessionTrackingMethod != ModeIndex(c.SessionTrackingMethod) ||
         !EqualsIgnoringAsciiCase(v.BoundIP, c.BoundIP) ||
         v.LimitConnections != c.LimitConnections ||
         ToInteger(v.MaxConnections) != c.MaxConnections || v.RestrictIPs != c.RestrictIPs ||
         v.EnableSSL != c.EnableSSL || ToInteger(v.SSLPort) != c.SSLPort ||
         v.SSLRequest != ModeIndex(c.SSLRequest) ||
         !EqualsIgnoringAsciiCase(v.SSLPassword, c.SSLPassword);
}

bool ProgramSettings::SaveSettingsDialog(const SettingsDialogValues& v) {
  return RunWriter(
      "Error opening registry. Code:500", "Error reading from registry. Code:501", [&](Writer& w) {
        if (w.Open(SettingKey::kRoot, "Error reading from registry. Code:505")) {
          w.Write("LogDirectory", v.LogDirectory);
          w.Write("LoginToQuit", v.LoginToQuit);
          w.Write("AutoSaveDebugLog", v.AutoSaveDebugLog);
          w.Write("AutoSaveInterval", v.AutoSaveInterval);
          w.Write("AutoCheckEmails", v.AutoCheckEmails);
          w.Write("AutoCheckInterval", v.AutoCheckInterval);
          w.Write("ClearLogWhenAutoSaved", v.ClearLogWhenAutoSaved);
          w.Write("StartWithWindows", v.StartWithWindows);
          ApplyStartWithWindows(config_.StartWithWindows);
          w.Write("ServerTimeOut", v.ServerTimeOut);
        }
        if (w.Open(SettingKey::kWebServer, "Error reading from registry. Code:504")) {
          if (WebServerSettingsChanged(v)) {
            ShowOperatorMessage("Changes made to the web server require Kestrune to be restarted.");
          }
          w.Write("Port", v.Port);
          w.Write("LoginType", v.LoginType);
          w.Write("SessionTrackingMethod", v.SessionTrackingMethod);
          w.Write("SessionTimeout", v.SessionTimeout);
          w.Write("BindToIP", v.BindToIP);
          w.Write("BoundIP", v.BoundIP);
          w.Write("LimitConnections", v.LimitConnections);
          w.Write("MaxConnections", v.MaxConnections);
          w.Write("RestrictIPs", v.RestrictIPs);
          w.Write("EnableSSL", v.EnableSSL);
          w.Write("SSLPort", v.SSLPort);
          w.Write("SSLRequest", v.SSLRequest);
          w.Write("SSLPassword", v.SSLPassword);
        }
        if (w.Open(SettingKey::kWebMail, "Error reading from registry. Code:503")) {
          w.Write("AllowWebReg", v.AllowWebReg);
          w.Write("ShowSuggestions", v.ShowSuggestions);
          w.Write("BanIP", v.BanIP);
          w.Write("LoginAttempts", v.LoginAttempts);
        }
        if (w.Open(SettingKey::kSmtpServer, "Error reading from registry. Code:502")) {
          w.Write("SmtpServer", v.SmtpServer);
          w.Write("SmtpPort", v.SmtpPort);
          w.Write("SmtpAuthType", v.SmtpAuthType);
          w.Write("SmtpUserName", v.SmtpUserName);
          w.Write("SmtpPassword", v.SmtpPassword);
        }
      });
}

namespace {
// The three View menu writers differ only in the value they write.
constexpr std::string_view kViewAccessor = "Error opening registry. Code:104";
}  // namespace

void ProgramSettings::SaveViewDebugLog(bool visible) {
  RunWriter(kViewAccessor, kViewAccessor, [&](Writer& w) {
    if (w.OpenTwoStep("Error reading from registry. Code:106",
                      "Error reading from registry. Code:105")) {
      w.Write("ViewDebugLog", visible);
    }
  });
}

void ProgramSettings::SaveViewToolBar(bool visible) {
  RunWriter(kViewAccessor, kViewAccessor, [&](Writer& w) {
    if (w.OpenTwoStep("Error reading from registry. Code:106",
                      "Error reading from registry. Code:105")) {
      w.Write("ViewToolBar", visible);
    }
  });
}

void ProgramSettings::SaveViewStatusBar(bool visible) {
  RunWriter(kViewAccessor, kViewAccessor, [&](Writer& w) {
    if (w.OpenTwoStep("Error reading from registry. Code:106",
                      "Error reading from registry. Code:105")) {
      w.Write("ViewStatusBar", visible);
    }
  });
}

void ProgramSettings::SaveMRULogDirectory(std::string_view directory) {
  RunWriter("Error opening registry. Code:500", "Error opening registry. Code:500", [&](Writer& w) {
    if (w.OpenTwoStep("Error reading from registry. Code:501",
                      "Error reading from registry. Code:502")) {
      w.Write("MRULogDirectory", AddTrailingBackslash(directory));
    }
  });
}

void ProgramSettings::SaveWizardSmtpSettings(const WizardSmtpValues& v) {
  // Every store failure shows 1401 and is otherwise ignored; a port that is not a
  // number reaches the caller's error report, with the values before it written.
  constexpr std::string_view kFailed = "Error reading from registry. Code:1401";
  RunWriter(kFailed, "", [&](Writer& w) {
    try {
      if (w.Open(SettingKey::kSmtpServer, kFailed)) {
        w.Write("SmtpServer", v.SmtpServer);
        w.Write("SmtpPort", v.SmtpPort);
        w.Write("SmtpAuthType", v.SmtpAuthType);
        w.Write("SmtpUserName", v.SmtpUserName);
        w.Write("SmtpPassword", v.SmtpPassword);
      }
    } catch (const SettingsError&) {
      ShowOperatorMessage(kFailed);
    }
  });
}

void ProgramSettings::ClearExitWarning() {
  RunWriter("Error opening registry. Code:400", "Error opening registry. Code:400", [&](Writer& w) {
    if (w.OpenTwoStep("Error reading from registry. Code:401",
                      "Error reading from registry. Code:402")) {
      w.Write("ExitWarning", false);
    }
  });
}

void ProgramSettings::ClearMinimizeWarning() {
  RunWriter("Error opening registry. Code:2200", "Error opening registry. Code:2200",
            [&](Writer& w) {
              if (w.OpenTwoStep("Error reading from registry. Code:2201",
                                "Error reading from registry. Code:2202")) {
                w.Write("MinimizeWarning", false);
              }
            });
}

void ProgramSettings::ClearSendRecieveWarning() {
  RunWriter("Error opening registry. Code:1600", "Error opening registry. Code:1600",
            [&](Writer& w) {
              if (w.Open(SettingKey::kRoot, "Error reading from registry. Code:1601")) {
                w.Write("SendRecieveWarning", false);
              }
            });
}

void ProgramSettings::ClearLoginCheckMailWarning() {
  RunWriter("Error opening registry. Code:1100", "Error opening registry. Code:1100",
            [&](Writer& w) {
              if (w.Open(SettingKey::kRoot, "Error reading from registry. Code:1101")) {
                w.Write("LoginCheckMailWarning", false);
              }
            });
}

void ProgramSettings::EnableAutoCheckEmails() {
  RunWriter("Error opening registry. Code:800", "Error writing to registry. Code:801",
            [&](Writer& w) {
              if (w.Open(SettingKey::kRoot, "Error writing to registry. Code:802")) {
                w.Write("AutoCheckEmails", true);
              }
            });
}

void ProgramSettings::SaveAutoCheckInterval(std::int32_t minutes) {
  RunWriter("Error opening registry. Code:1200", "Error writing to registry. Code:1201",
            [&](Writer& w) {
              if (w.Open(SettingKey::kRoot, "Error writing to registry. Code:1202")) {
                w.Write("AutoCheckInterval", minutes);
              }
            });
}

void ProgramSettings::SaveListenerPorts(std::string_view port, std::string_view ssl_port) {
  RunWriter("Error opening registry. Code:1800", "Error opening registry. Code:1800",
            [&](Writer& w) {
              if (w.Open(SettingKey::kWebServer, "Error reading from registry. Code:1801")) {
                w.Write("Port", std::string(port));
                w.Write("SSLPort", std::string(ssl_port));
              }
            });
}

void ProgramSettings::SaveSslSettings(bool enable_ssl, std::string_view password) {
  RunWriter("Error opening registry. Code:3100", "Error opening registry. Code:3100",
            [&](Writer& w) {
              if (w.Open(SettingKey::kWebServer, "Error reading from registry. Code:3101")) {
                w.Write("EnableSSL", enable_ssl);
                w.Write("SSLPassword", std::string(password));
              }
            });
}

void ProgramSettings::StoreSetting(const SettingDefinition& definition, const SettingValue& value) {
  SettingsStore store(SettingsFile());
  if (!store.OpenKey(SettingKeyPath(definition.key), true)) {
    throw SettingsError("cannot open the settings key " +
                        std::string(SettingKeyPath(definition.key)));
  }
  if (password_key_.empty()) password_key_ = std::string(kPasswordKey);
  WriteValue(store, definition, value, true);
}

}  // namespace kestrune
