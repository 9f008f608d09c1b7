// The table of stored settings (names, keys, types, defaults, dialog ranges) and the
// conversions and checks of setting values given as text.
#include <arpa/inet.h>

#include <array>
#include <charconv>
#include <climits>
#include <filesystem>

#include "platform/text_encoding.h"
#include "settings/program_config.h"

namespace kestrune {
namespace {

using C = TProgramConfig;
using K = SettingKind;

constexpr std::int32_t kNoMinimum = INT32_MIN;
constexpr std::int32_t kNoMaximum = INT32_MAX;

constexpr SettingDefinition Text(std::string_view name, SettingKey key, std::string C::*field,
                                 std::string_view default_text) {
  return {name, key, K::kText, field, 0, default_text};
}
constexpr SettingDefinition Directory(std::string_view name, std::string C::*field,
                                      std::string_view subdirectory) {
  return {name, SettingKey::kRoot, K::kDirectory, field, 0, subdirectory};
}
constexpr SettingDefinition Integer(std::string_view name, SettingKey key, std::int32_t C::*field,
                                    std::int32_t default_number, std::int32_t minimum = kNoMinimum,
                                    std::int32_t maximum = kNoMaximum) {
  return {name, key, K::kInteger, field, default_number, {}, minimum, maximum};
}
constexpr SettingDefinition Boolean(std::string_view name, SettingKey key, bool C::*field,
                                    bool default_value) {
  return {name, key, K::kBoolean, field, default_value ? 1 : 0, {}, 0, 1};
}

constexpr SettingKey kRoot = SettingKey::kRoot;
constexpr SettingKey kWeb = SettingKey::kWebServer;
constexpr SettingKey kMail = SettingKey::kWebMail;
constexpr SettingKey kSmtp = SettingKey::kSmtpServer;

// Key by key, in the order the loader reads them.
const std::array kDefinitions = {
    Directory("UserDirectories", &C::UserDirectories, "Users"),
    Directory("MRULogDirectory", &C::MRULogDirectory, "Logs"),
    Directory("LogDirectory", &C::LogDirectory, "Logs"),
    Directory("LangDirectory", &C::LangDirectory, "Lang"),
    Directory("TemplateDirectory", &C::TemplateDirectory, "Templates"),
    Text("StringsLanguage", kRoot, &C::StringsLanguage, "English"),
    Boolean("TrayHint", kRoot, &C::TrayHint, true),
    Boolean("LoginToQuit", kRoot, &C::LoginToQuit, true),
    Boolean("AutoSaveDebugLog", kRoot, &C::AutoSaveDebugLog, false),
    Integer("AutoSaveInterval", kRoot, &C::AutoSaveInterval, 60, 0, 360),
    Boolean("AutoCheckEmails", kRoot, &C::AutoCheckEmails, true),
    Integer("AutoCheckInterval", kRoot, &C::AutoCheckInterval, 30, 0, 360),
    Integer("ServerTimeOut", kRoot, &C::ServerTimeOut, 5, 0, 360),
    Boolean("ClearLogWhenAutoSaved", kRoot, &C::ClearLogWhenAutoSaved, false),
    Integer("LogRetentionDays", kRoot, &C::LogRetentionDays, 30, 0, 36500),
    Boolean("StartWithWindows", kRoot, &C::StartWithWindows, true),
    Boolean("ViewDebugLog", kRoot, &C::ViewDebugLog, false),
    Boolean("ViewToolBar", kRoot, &C::ViewToolBar, true),
    Boolean("ViewStatusBar", kRoot, &C::ViewStatusBar, true),
    Boolean("MinimizeWarning", kRoot, &C::MinimizeWarning, true),
    Boolean("ExitWarning", kRoot, &C::ExitWarning, true),
    Boolean("LoginCheckMailWarning", kRoot, &C::LoginCheckMailWarning, true),
    Boolean("SendRecieveWarning", kRoot, &C::SendRecieveWarning, true),
    Integer("MainWindowLeft", kRoot, &C::MainWindowLeft, -1),
    Integer("MainWindowTop", kRoot, &C::MainWindowTop, -1),
    Integer("MainWindowWidth", kRoot, &C::MainWindowWidth, -1),
    Integer("MainWindowHeight", kRoot, &C::MainWindowHeight, -1),
    // TLS towards the POP3 and SMTP servers: 0 plain only, 1 when offered, 2 required.
    Integer("PopTls", kRoot, &C::PopTls, 1, 0, 2),

    Integer("Port", kWeb, &C::Port, 80, 1, 65535),
    Integer("LoginType", kWeb, &C::LoginType, 0, 0, 1),
    Integer("SessionTimeout", kWeb, &C::SessionTimeout, 30, 0, 60),
    Integer("SessionTrackingMethod", kWeb, &C::SessionTrackingMethod, 1, 0, 2),
    Boolean("BindToIP", kWeb, &C::BindToIP, false),
    Text("BoundIP", kWeb, &C::BoundIP, "192.168.000.001"),
    Boolean("LimitConnections", kWeb, &C::LimitConnections, false),
    Integer("MaxConnections", kWeb, &C::MaxConnections, 30, 0, 999),
    Boolean("RestrictIPs", kWeb, &C::RestrictIPs, true),
    Boolean("EnableSSL", kWeb, &C::EnableSSL, true),
    Integer("SSLPort", kWeb, &C::SSLPort, 443, 1, 65535),
    Integer("SSLRequest", kWeb, &C::SSLRequest, 2, 0, 2),
    Text("SSLPassword", kWeb, &C::SSLPassword, "vexo"),
    Integer("StrictTransportSecurity", kWeb, &C::StrictTransportSecurity, 2, 0, 2),

    Boolean("AllowWebReg", kMail, &C::AllowWebReg, false),
    Boolean("ShowSuggestions", kMail, &C::ShowSuggestions, true),
    Boolean("BanIP", kMail, &C::BanIP, true),
    Integer("LoginAttempts", kMail, &C::LoginAttempts, 3, 0, 15),
    Integer("FolderPageSize", kMail, &C::FolderPageSize, 100, 0, 10000),
    Boolean("SendOnCompose", kMail, &C::SendOnCompose, false),
    Text("WebRegDomains", kMail, &C::WebRegDomains, ""),
    Text("WebRegTestHosts", kMail, &C::WebRegTestHosts, ""),

    Text("SmtpServer", kSmtp, &C::SmtpServer, kDefaultSmtpServer),
    Integer("SmtpPort", kSmtp, &C::SmtpPort, 25, 1, 65535),
    Integer("SmtpAuthType", kSmtp, &C::SmtpAuthType, 0, 0, 1),
    Integer("SmtpTls", kSmtp, &C::SmtpTls, 1, 0, 2),
    Text("SmtpUserName", kSmtp, &C::SmtpUserName, ""),
    SettingDefinition{"SmtpPassword", kSmtp, K::kScrambled, &C::SmtpPassword, 0, "", kNoMinimum,
                      kNoMaximum},
};

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool HasControlCharacter(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

// Four groups of one to three digits, each at most 255 (leading zeros as typed).
bool IsDottedAddress(std::string_view text) {
  int groups = 0;
  while (true) {
    std::size_t digits = 0;
    int value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
      value = value * 10 + (text[digits] - '0');
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    ++groups;
    text.remove_prefix(digits);
    if (text.empty()) return groups == 4;
    if (text.front() != '.' || groups == 4) return false;
    text.remove_prefix(1);
  }
}

// A language name as "Langs.txt" lists it; languages name themselves ("Français"), so
// letters beyond ASCII count when the text is valid UTF-8.
bool IsLanguageName(std::string_view text) {
  if (text.empty() || !IsValidUtf8(text)) return false;
  for (char c : text) {
    bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '_' || c == ' ' || static_cast<unsigned char>(c) >= 0x80;
    if (!allowed) return false;
  }
  return true;
}

// Host or domain names (letters, digits, ".", "-", "_", ":" and "[]" of IPv6 literals)
// separated by commas or blanks; empty is allowed.
bool IsHostNameList(std::string_view text) {
  for (char c : text) {
    const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                         (c >= '0' && c <= '9') ||
                         std::string_view(".-_:[], ").find(c) != std::string_view::npos;
    if (!allowed) return false;
  }
  return true;
}

CheckedSetting Refused(std::string error) { return {std::nullopt, std::move(error)}; }

}  // namespace

std::span<const SettingDefinition> SettingDefinitions() { return kDefinitions; }

bool IsRefusedRootDirectory(const SettingDefinition& definition, std::string_view text) {
  // The last directory a log was saved to only remembers a choice; the others hold files
  // the program creates, lists and removes.
  return definition.kind == SettingKind::kDirectory && definition.name != "MRULogDirectory" &&
         !text.empty() && std::filesystem::path(text).lexically_normal() == "/";
}

std::string_view SettingKeyPath(SettingKey key) {
  switch (key) {
    case SettingKey::kRoot:
      return "Software/Kestrune";
    case SettingKey::kWebServer:
      return "Software/Kestrune/WebServer";
    case SettingKey::kWebMail:
      return "Software/Kestrune/WebMail";
    case SettingKey::kSmtpServer:
      return "Software/Kestrune/SmtpServer";
  }
  return {};
}

std::string_view SettingKeyLabel(SettingKey key) {
  switch (key) {
    case SettingKey::kRoot:
      return "Root";
    case SettingKey::kWebServer:
      return "WebServer";
    case SettingKey::kWebMail:
      return "WebMail";
    case SettingKey::kSmtpServer:
      return "SmtpServer";
  }
  return {};
}

const SettingDefinition* FindSettingDefinition(std::string_view name) {
  for (const SettingDefinition& definition : kDefinitions) {
    std::string qualified =
        std::string(SettingKeyLabel(definition.key)) + "." + std::string(definition.name);
    if (EqualsIgnoringAsciiCase(name, definition.name) ||
        EqualsIgnoringAsciiCase(name, qualified)) {
      return &definition;
    }
  }
  return nullptr;
}

std::string SettingValueText(const TProgramConfig& config, const SettingDefinition& definition) {
  return std::visit(
      [&](auto member) -> std::string {
        const auto& value = config.*member;
        using Value = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<Value, std::string>) {
          return value;
        } else if constexpr (std::is_same_v<Value, bool>) {
          return value ? "1" : "0";
        } else {
          return std::to_string(value);
        }
      },
      definition.field);
}

std::int32_t ToInteger(std::string_view text) {
  std::string_view digits = Trimmed(text);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  std::int32_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    throw ConversionError("'" + std::string(text) + "' is not a valid integer value");
  }
  return value;
}

CheckedSetting CheckSettingText(const SettingDefinition& definition, std::string_view text) {
  const std::string name(definition.name);
  if (!IsValidUtf8(text)) return Refused(name + " must be UTF-8 text");
  switch (definition.kind) {
    case SettingKind::kScrambled:
      if (text.find('\0') != std::string_view::npos) return Refused(name + " holds a zero byte");
      return {std::string(text), {}};
    case SettingKind::kText:
      if (HasControlCharacter(text)) return Refused(name + " must not hold control characters");
      if (definition.name == "BoundIP" && !IsDottedAddress(text)) {
        return Refused("BoundIP must be an IPv4 address such as 192.168.000.001");
      }
      if (definition.name == "StringsLanguage" && !IsLanguageName(text)) {
        return Refused("StringsLanguage must be a language name such as English");
      }
      if ((definition.name == "WebRegDomains" || definition.name == "WebRegTestHosts") &&
          !IsHostNameList(text)) {
        return Refused(name + " must be host or domain names separated by commas or blanks");
      }
      return {std::string(text), {}};
    case SettingKind::kDirectory: {
      if (HasControlCharacter(text) || text.empty() || text.front() != '/') {
        return Refused(name + " must be an absolute directory");
      }
      if (IsRefusedRootDirectory(definition, text))
        return Refused(name + " must not be the root directory");
      std::string directory(text);
      if (directory.back() != '/') directory += '/';
      return {directory, {}};
    }
    case SettingKind::kBoolean: {
      std::string_view value = Trimmed(text);
      if (value == "1" || EqualsIgnoringAsciiCase(value, "true")) return {true, {}};
      if (value == "0" || EqualsIgnoringAsciiCase(value, "false")) return {false, {}};
      return Refused(name + " must be 0 or 1");
    }
    case SettingKind::kInteger: {
      std::int32_t value = 0;
      try {
        value = ToInteger(text);
      } catch (const ConversionError& e) {
        return Refused(e.what());
      }
      if (value < definition.minimum || value > definition.maximum) {
        return Refused(name + " must be between " + std::to_string(definition.minimum) + " and " +
                       std::to_string(definition.maximum));
      }
      return {value, {}};
    }
  }
  return Refused(name + " cannot be set");
}

}  // namespace kestrune
