// Settings loader and writers: defaults on first start, type errors, keys that cannot
// be opened, the scrambled SMTP password, the dialogs' writers with their codes.
#include "settings/program_config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/operator_messages.h"
#include "platform/settings_store.h"
#include "store/scramble.h"

namespace kestrune {
namespace {

class MessageCollector : public OperatorMessages {
 public:
  void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
  std::vector<std::string> messages;
};

using Messages = std::vector<std::string>;

class ProgramConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "config-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    SetOperatorMessages(&collector_);
  }
  void TearDown() override {
    SetOperatorMessages(nullptr);
    std::filesystem::remove_all(home_);
  }

  SettingsHost Host(bool with_autostart = true) const {
    SettingsHost host;
    host.program_directory = home_;
    host.program_file = "/opt/kestrune/bin/kestrune";
    if (with_autostart) host.autostart_entry = home_ / "config" / "autostart" / "kestrune.desktop";
    return host;
  }
  std::filesystem::path File() const { return home_ / "kestrune.toml"; }
  std::string FileText() const {
    std::ifstream in(File(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void WriteFileText(const std::string& text) const {
    std::ofstream(File(), std::ios::binary) << text;
  }
  // A store reader for checking what was written.
  static std::int32_t StoredInteger(const std::filesystem::path& file, std::string_view key,
                                    std::string_view name) {
    SettingsStore store(file);
    EXPECT_TRUE(store.OpenKey(key, false));
    return store.ReadInteger(name);
  }
  Messages TakeMessages() {
    Messages taken = std::move(collector_.messages);
    collector_.messages.clear();
    return taken;
  }
  SettingsDialogValues DialogFrom(const TProgramConfig& c) const {
    SettingsDialogValues v;
    v.LogDirectory = c.LogDirectory;
    v.LoginToQuit = c.LoginToQuit;
    v.AutoSaveDebugLog = c.AutoSaveDebugLog;
    v.AutoSaveInterval = c.AutoSaveInterval;
    v.AutoCheckEmails = c.AutoCheckEmails;
    v.AutoCheckInterval = c.AutoCheckInterval;
    v.ClearLogWhenAutoSaved = c.ClearLogWhenAutoSaved;
    v.StartWithWindows = c.StartWithWindows;
    v.ServerTimeOut = c.ServerTimeOut;
    v.Port = std::to_string(c.Port);
    v.LoginType = c.LoginType;
    v.SessionTimeout = c.SessionTimeout;
    v.SessionTrackingMethod = c.SessionTrackingMethod;
    v.BindToIP = c.BindToIP;
    v.BoundIP = c.BoundIP;
    v.LimitConnections = c.LimitConnections;
    v.MaxConnections = std::to_string(c.MaxConnections);
    v.RestrictIPs = c.RestrictIPs;
    v.EnableSSL = c.EnableSSL;
    v.SSLPort = std::to_string(c.SSLPort);
    v.SSLRequest = c.SSLRequest;
    v.SSLPassword = c.SSLPassword;
    v.AllowWebReg = c.AllowWebReg;
    v.ShowSuggestions = c.ShowSuggestions;
    v.BanIP = c.BanIP;
    v.LoginAttempts = c.LoginAttempts;
    v.SmtpServer = c.SmtpServer;
    v.SmtpPort = std::to_string(c.SmtpPort);
    v.SmtpAuthType = c.SmtpAuthType;
    v.SmtpUserName = c.SmtpUserName;
    v.SmtpPassword = c.SmtpPassword;
    return v;
  }

  std::filesystem::path home_;
  MessageCollector collector_;
};

TEST_F(ProgramConfigTest, FirstStartWritesEveryDefault) {
  ProgramSettings settings(Host());
  settings.LoadSettings();
  EXPECT_EQ(TakeMessages(), Messages{});
  EXPECT_EQ(settings.PasswordKey(), "qrmbtlwepdsvnfkcyu");
  const TProgramConfig& c = settings.Config();
  const std::string home = home_.string();
  EXPECT_FALSE(c.ServerReady);
  EXPECT_EQ(c.UserDirectories, home + "/Users/");
  EXPECT_EQ(c.LogDirectory, home + "/Logs/");
  EXPECT_EQ(c.MRULogDirectory, home + "/Logs/");
  EXPECT_EQ(c.TemplateDirectory, home + "/Templates/");
  EXPECT_EQ(c.LangDirectory, home + "/Lang/");
  EXPECT_EQ(c.StringsLanguage, "English");
  EXPECT_TRUE(c.TrayHint && c.LoginToQuit && c.AutoCheckEmails && c.StartWithWindows);
  EXPECT_FALSE(c.AutoSaveDebugLog || c.ClearLogWhenAutoSaved || c.ViewDebugLog);
  EXPECT_TRUE(c.ViewToolBar && c.ViewStatusBar && c.MinimizeWarning && c.ExitWarning);
  EXPECT_TRUE(c.LoginCheckMailWarning && c.SendRecieveWarning);
  EXPECT_EQ(c.AutoSaveInterval, 60);
  EXPECT_EQ(c.AutoCheckInterval, 30);
  EXPECT_EQ(c.ServerTimeOut, 5);
  EXPECT_EQ(c.MainWindowLeft, -1);
  EXPECT_EQ(c.MainWindowHeight, -1);
  EXPECT_EQ(c.PopTls, 1);
  EXPECT_EQ(c.Port, 80);
  EXPECT_EQ(c.LoginType, 0);
  EXPECT_EQ(c.SessionTimeout, 30);
  EXPECT_EQ(c.SessionTrackingMethod, 1);
  EXPECT_FALSE(c.BindToIP);
  EXPECT_EQ(c.BoundIP, "192.168.000.001");
  EXPECT_FALSE(c.LimitConnections);
  EXPECT_EQ(c.MaxConnections, 30);
  EXPECT_TRUE(c.RestrictIPs && c.EnableSSL);
  EXPECT_EQ(c.SSLPort, 443);
  EXPECT_EQ(c.SSLRequest, 2);
  EXPECT_EQ(c.SSLPassword, "vexo");
  EXPECT_FALSE(c.AllowWebReg);
  EXPECT_TRUE(c.ShowSuggestions && c.BanIP);
  EXPECT_EQ(c.LoginAttempts, 3);
  EXPECT_EQ(c.FolderPageSize, 100);
  EXPECT_FALSE(c.SendOnCompose);  // the compose page queues only, as it always did
  EXPECT_EQ(c.SmtpServer, "smtp.example.invalid");
  EXPECT_EQ(c.SmtpPort, 25);
  EXPECT_EQ(c.SmtpAuthType, 0);
  EXPECT_EQ(c.SmtpTls, 1);
  EXPECT_EQ(c.SmtpUserName, "");
  EXPECT_EQ(c.SmtpPassword, "");

  // Every value is in the file now, and a second start reads the same record.
  const std::string text = FileText();
  for (const SettingDefinition& definition : SettingDefinitions()) {
    EXPECT_NE(text.find(std::string(definition.name) + " = "), std::string::npos)
        << definition.name;
  }
  EXPECT_NE(text.find("SmtpPassword = []"), std::string::npos);
  ProgramSettings again(Host());
  again.LoadSettings();
  EXPECT_EQ(TakeMessages(), Messages{});
  for (const SettingDefinition& definition : SettingDefinitions()) {
    EXPECT_EQ(SettingValueText(again.Config(), definition), SettingValueText(c, definition));
  }
  EXPECT_EQ(FileText(), text);  // nothing rewritten when nothing was missing
}

TEST_F(ProgramConfigTest, StartWithWindowsFollowsItsSettingAtEveryStart) {
  const auto entry = Host().autostart_entry;
  ProgramSettings settings(Host());
  settings.LoadSettings();
  std::ifstream in(entry);
  std::stringstream contents;
  contents << in.rdbuf();
  EXPECT_EQ(contents.str(),
            "[Desktop Entry]\nType=Application\nName=Kestrune\n"
            "Comment=Kestrune web-mail gateway console\n"
            "Exec=\"/opt/kestrune/bin/kestrune\"\nTerminal=false\n"
            "X-GNOME-Autostart-enabled=true\n");

  WriteFileText("[Software.Kestrune]\nStartWithWindows = 0\n");
  ProgramSettings disabled(Host());
  disabled.LoadSettings();
  EXPECT_FALSE(std::filesystem::exists(entry));
  // Someone makes the entry again: the next start removes it again.
  std::ofstream(entry) << "[Desktop Entry]\n";
  ProgramSettings next(Host());
  next.LoadSettings();
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_EQ(TakeMessages(), Messages{});
}

TEST_F(ProgramConfigTest, HeadlessKeepsTheSettingWithoutAnEntry) {
  ProgramSettings settings(Host(/*with_autostart=*/false));
  settings.LoadSettings();
  EXPECT_TRUE(settings.Config().StartWithWindows);
  EXPECT_FALSE(std::filesystem::exists(home_ / "config"));
}

TEST_F(ProgramConfigTest, WrongTypeStopsTheLoaderWithCode104) {
  WriteFileText("[Software.Kestrune]\nLoginToQuit = 'yes'\n");
  ProgramSettings settings(Host());
  settings.LoadSettings();
  EXPECT_EQ(TakeMessages(), Messages{"Error reading from registry. Code:104"});
  const TProgramConfig& c = settings.Config();
  EXPECT_EQ(c.StringsLanguage, "English");  // read before the bad value
  EXPECT_TRUE(c.TrayHint);
  EXPECT_FALSE(c.AutoSaveDebugLog);  // after it: initial values
  EXPECT_EQ(c.AutoSaveInterval, 0);
  EXPECT_EQ(c.Port, 0);
  EXPECT_EQ(c.SmtpServer, "");
}

TEST_F(ProgramConfigTest, UnreadableStoreShowsCode99AndIsLeftAlone) {
  const std::string damaged = "[Software.Kestrune\n";
  WriteFileText(damaged);
  ProgramSettings settings(Host());
  settings.LoadSettings();
  EXPECT_EQ(TakeMessages(), Messages{"Error opening registry. Code:99"});
  EXPECT_EQ(settings.Config().Port, 0);
  EXPECT_EQ(FileText(), damaged);
  settings.SaveOnExit({});
  EXPECT_EQ(TakeMessages(), Messages{"Error opening registry. Code:200"});
}

TEST_F(ProgramConfigTest, FolderPageSizeIsAWebMailValueAddedToOlderFiles) {
  // A file written before the value existed gets it with its default, in its key.
  WriteFileText("[Software.Kestrune.WebMail]\nLoginAttempts = 4\n");
  ProgramSettings settings(Host());
  settings.LoadSettings();
  EXPECT_EQ(TakeMessages(), Messages{});
  EXPECT_EQ(settings.Config().LoginAttempts, 4);
  EXPECT_EQ(settings.Config().FolderPageSize, 100);
  EXPECT_EQ(StoredInteger(File(), "Software/Kestrune/WebMail", "FolderPageSize"), 100);

  // 0 (the whole folder on one page) is kept as stored; the command line's set writes it.
  settings.StoreSetting(*FindSettingDefinition("WebMail.FolderPageSize"), std::int32_t{0});
  EXPECT_EQ(settings.Config().FolderPageSize, 0);
  ProgramSettings next(Host());
  next.LoadSettings();
  EXPECT_EQ(next.Config().FolderPageSize, 0);
  EXPECT_EQ(StoredInteger(File(), "Software/Kestrune/WebMail", "FolderPageSize"), 0);
}

TEST_F(ProgramConfigTest, KeyThatCannotBeOpenedIsSkipped) {
  WriteFileText("[Software.Kestrune]\nWebServer = 1\nWebMail = 2\n");
  ProgramSettings settings(Host());
  settings.LoadSettings();
  EXPECT_EQ(TakeMessages(), (Messages{"Error reading from registry. Code:101",
                                      "Error reading from registry. Code:102"}));
  EXPECT_EQ(settings.Config().Port, 0);
  EXPECT_EQ(settings.Config().LoginAttempts, 0);
  EXPECT_EQ(settings.Config().SmtpPort, 25);

  settings.DisableBinding();
  settings.SaveOnExit({});
  EXPECT_EQ(TakeMessages(), (Messages{"Error writing to registry. Code:602",
                                      "Error reading from registry. Code:204"}));
}

// A password whose scrambled form holds a zero byte.
std::string PasswordScramblingToZeroByte() {
  for (int i = 0;; ++i) {
    std::string candidate = "pw" + std::to_string(i) + "xxxxxxxxxxxxxx";
    std::string scrambled = candidate;
    EncryptString(scrambled, kPasswordKey);
    if (scrambled.find('\0') != std::string::npos) return candidate;
  }
}

TEST_F(ProgramConfigTest, SmtpPasswordRoundTripsEveryByte) {
  ProgramSettings settings(Host());
  settings.LoadSettings();
  WizardSmtpValues wizard{"mail.example.org", "587", 1, "relay", PasswordScramblingToZeroByte()};
  settings.SaveWizardSmtpSettings(wizard);
  EXPECT_EQ(settings.Config().SmtpPassword, wizard.SmtpPassword);
  EXPECT_EQ(settings.Config().SmtpPort, 587);

  ProgramSettings next(Host());
  next.LoadSettings();
  EXPECT_EQ(TakeMessages(), Messages{});
  EXPECT_EQ(next.Config().SmtpServer, "mail.example.org");
  EXPECT_EQ(next.Config().SmtpAuthType, 1);
  EXPECT_EQ(next.Config().SmtpUserName, "relay");
  EXPECT_EQ(next.Config().SmtpPassword, wizard.SmtpPassword);
  // The plain password is nowhere in the file.
  EXPECT_EQ(FileText().find(wizard.SmtpPassword), std::string::npos);
}

TEST_F(ProgramConfigTest, SmtpPasswordStoredAsTextStillReads) {
  WriteFileText("[Software.Kestrune.SmtpServer]\nSmtpPassword = 'short'\n");
  ProgramSettings settings(Host());
  settings.LoadSettings();
  EXPECT_EQ(TakeMessages(), Messages{});
  EXPECT_EQ(settings.Config().SmtpPassword, "short");
}

TEST_F(ProgramConfigTest, WizardWithBadPortKeepsTheValuesBeforeIt) {
  ProgramSettings settings(Host());
  settings.LoadSettings();
  WizardSmtpValues wizard{"mail.example.org", "25x", 1, "relay", "secret"};
  EXPECT_THROW(settings.SaveWizardSmtpSettings(wizard), ConversionError);
  EXPECT_EQ(settings.Config().SmtpServer, "mail.example.org");
  EXPECT_EQ(settings.Config().SmtpPort, 25);
  EXPECT_EQ(settings.Config().SmtpAuthType, 0);
  EXPECT_EQ(StoredInteger(File(), "Software/Kestrune/SmtpServer", "SmtpAuthType"), 0);
}

TEST_F(ProgramConfigTest, SettingsDialogSavesEveryKey) {
  ProgramSettings settings(Host());
  settings.LoadSettings();
  SettingsDialogValues v = DialogFrom(settings.Config());
  v.LogDirectory = "/var/log/kestrune/";
  v.AutoCheckInterval = 45;
  v.StartWithWindows = false;
  v.Port = "8080";
  v.LoginAttempts = 5;
  v.SmtpPassword = "new secret";
  EXPECT_TRUE(settings.SaveSettingsDialog(v));
  EXPECT_EQ(TakeMessages(),
            Messages{"Changes made to the web server require Kestrune to be restarted."});
  EXPECT_FALSE(std::filesystem::exists(Host().autostart_entry));

  ProgramSettings next(Host());
  next.LoadSettings();
  EXPECT_EQ(next.Config().LogDirectory, "/var/log/kestrune/");
  EXPECT_EQ(next.Config().AutoCheckInterval, 45);
  EXPECT_FALSE(next.Config().StartWithWindows);
  EXPECT_EQ(next.Config().Port, 8080);
  EXPECT_EQ(next.Config().LoginAttempts, 5);
  EXPECT_EQ(next.Config().SmtpPassword, "new secret");
}

TEST_F(ProgramConfigTest, RestartMessageOnlyForListenerChanges) {
  ProgramSettings settings(Host());
  settings.LoadSettings();
  SettingsDialogValues v = DialogFrom(settings.Config());
  v.SSLPassword = "VEXO";  // letter case only
  v.AutoSaveInterval = 10;
  EXPECT_FALSE(settings.WebServerSettingsChanged(v));
  v.MaxConnections = "31";
  EXPECT_TRUE(settings.WebServerSettingsChanged(v));
  v = DialogFrom(settings.Config());
  v.LimitConnections = true;
  EXPECT_TRUE(settings.WebServerSettingsChanged(v));
}

TEST_F(ProgramConfigTest, LetterInPortSavesOnlyTheGeneralTab) {
  ProgramSettings settings(Host());
  settings.LoadSettings();
  SettingsDialogValues v = DialogFrom(settings.Config());
  v.AutoSaveInterval = 15;
  v.Port = "8o";
  v.SessionTimeout = 12;
  v.BanIP = false;
  v.SmtpServer = "other.example.org";
  EXPECT_FALSE(settings.SaveSettingsDialog(v));
  EXPECT_EQ(TakeMessages(), Messages{"Error reading from registry. Code:501"});
  EXPECT_EQ(settings.Config().AutoSaveInterval, 15);
  EXPECT_EQ(settings.Config().SessionTimeout, 30);
  EXPECT_TRUE(settings.Config().BanIP);
  EXPECT_EQ(settings.Config().SmtpServer, "smtp.example.invalid");
  EXPECT_EQ(StoredInteger(File(), "Software/Kestrune", "AutoSaveInterval"), 15);
  EXPECT_EQ(StoredInteger(File(), "Software/Kestrune/WebServer", "SessionTimeout"), 30);
}

TEST_F(ProgramConfigTest, ExitSaverWritesBoundsAndInMemoryChanges) {
  ProgramSettings settings(Host());
  settings.LoadSettings();
  settings.Config().TrayHint = false;    // a balloon click
  settings.Config().AllowWebReg = true;  // the administrator page
  settings.SaveOnExit({10, 20, 640, 480, true});
  EXPECT_EQ(TakeMessages(), Messages{});
  EXPECT_EQ(StoredInteger(File(), "Software/Kestrune", "MainWindowLeft"), 10);
  EXPECT_EQ(StoredInteger(File(), "Software/Kestrune", "MainWindowHeight"), 480);
  EXPECT_EQ(StoredInteger(File(), "Software/Kestrune", "TrayHint"), 0);
  EXPECT_EQ(StoredInteger(File(), "Software/Kestrune", "MinimizeOnStartup"), 1);
  EXPECT_EQ(StoredInteger(File(), "Software/Kestrune/WebMail", "AllowWebReg"), 1);
}

TEST_F(ProgramConfigTest, StartUpRepairWritersChangeOnlyTheStore) {
  ProgramSettings settings(Host());
  settings.LoadSettings();
  settings.Config().BindToIP = true;
  settings.DisableBinding();
  settings.DisableSSL();
  EXPECT_TRUE(settings.Config().BindToIP);
  EXPECT_TRUE(settings.Config().EnableSSL);
  EXPECT_EQ(StoredInteger(File(), "Software/Kestrune/WebServer", "BindToIP"), 0);
  EXPECT_EQ(StoredInteger(File(), "Software/Kestrune/WebServer", "EnableSSL"), 0);

  settings.SaveListenerPorts("8081", "44x");
  EXPECT_EQ(TakeMessages(), Messages{"Error opening registry. Code:1800"});
  EXPECT_EQ(settings.Config().Port, 8081);
  EXPECT_EQ(settings.Config().SSLPort, 443);
  settings.SaveSslSettings(false, "key pass");
  EXPECT_FALSE(settings.Config().EnableSSL);
  EXPECT_EQ(settings.Config().SSLPassword, "key pass");
}

TEST_F(ProgramConfigTest, SilencingWritersAndTheirTwoStepCodes) {
  ProgramSettings settings(Host());
  settings.LoadSettings();
  settings.ClearExitWarning();
  settings.ClearMinimizeWarning();
  settings.ClearSendRecieveWarning();
  settings.ClearLoginCheckMailWarning();
  settings.SaveViewDebugLog(true);
  settings.SaveMRULogDirectory("/home/admin/logs");
  settings.EnableAutoCheckEmails();
  settings.SaveAutoCheckInterval(0);
  EXPECT_EQ(TakeMessages(), Messages{});
  const TProgramConfig& c = settings.Config();
  EXPECT_FALSE(c.ExitWarning || c.MinimizeWarning || c.SendRecieveWarning ||
               c.LoginCheckMailWarning);
  EXPECT_TRUE(c.ViewDebugLog);
  EXPECT_EQ(c.MRULogDirectory, "/home/admin/logs/");
  EXPECT_EQ(c.AutoCheckInterval, 0);

  // Without a "Software" key the two-step writers stop at their first code.
  WriteFileText("Other = 1\n");
  settings.ClearExitWarning();
  settings.SaveViewToolBar(false);
  settings.ClearMinimizeWarning();
  settings.SaveMRULogDirectory("/tmp");
  EXPECT_EQ(TakeMessages(), (Messages{"Error reading from registry. Code:401",
                                      "Error reading from registry. Code:106",
                                      "Error reading from registry. Code:2201",
                                      "Error reading from registry. Code:501"}));
  EXPECT_TRUE(c.ViewToolBar);
}

TEST(SettingTextTest, ChecksAsTheDialogDoes) {
  auto check = [](std::string_view name, std::string_view text) {
    return CheckSettingText(*FindSettingDefinition(name), text);
  };
  EXPECT_EQ(std::get<std::int32_t>(*check("WebServer.Port", "8080").value), 8080);
  EXPECT_EQ(check("Port", "0").error, "Port must be between 1 and 65535");
  EXPECT_EQ(check("Port", "80a").error, "'80a' is not a valid integer value");
  EXPECT_EQ(check("SessionTimeout", "61").error, "SessionTimeout must be between 0 and 60");
  EXPECT_EQ(check("LoginAttempts", "15").error, "");
  EXPECT_EQ(std::get<std::int32_t>(*check("WebMail.FolderPageSize", "0").value), 0);
  EXPECT_EQ(check("FolderPageSize", "-1").error, "FolderPageSize must be between 0 and 10000");
  EXPECT_EQ(std::get<bool>(*check("enablessl", "false").value), false);
  EXPECT_EQ(check("EnableSSL", "2").error, "EnableSSL must be 0 or 1");
  EXPECT_EQ(std::get<std::string>(*check("Root.LogDirectory", "/var/log/k").value), "/var/log/k/");
  EXPECT_EQ(check("LogDirectory", "logs").error, "LogDirectory must be an absolute directory");
  EXPECT_EQ(check("BoundIP", "10.0.0.256").error,
            "BoundIP must be an IPv4 address such as 192.168.000.001");
  EXPECT_EQ(check("BoundIP", "010.000.000.001").error, "");
  EXPECT_EQ(check("StringsLanguage", "../../etc").error,
            "StringsLanguage must be a language name such as English");
  // Languages name themselves in the list; the byte that is not UTF-8 is refused.
  EXPECT_EQ(check("StringsLanguage", "Français").error, "");
  EXPECT_EQ(check("StringsLanguage",
                  "Fran\xE7"
                  "ais")
                .error,
            "StringsLanguage must be UTF-8 text");
  EXPECT_EQ(std::get<std::int32_t>(*check("Root.PopTls", "2").value), 2);
  EXPECT_EQ(std::get<std::int32_t>(*check("SmtpServer.SmtpTls", "0").value), 0);
  EXPECT_EQ(check("PopTls", "3").error, "PopTls must be between 0 and 2");
  EXPECT_EQ(check("SmtpTls", "-1").error, "SmtpTls must be between 0 and 2");
  EXPECT_EQ(FindSettingDefinition("WebServer.PopTls"), nullptr);
  EXPECT_EQ(FindSettingDefinition("WebMail.Port"), nullptr);
  EXPECT_EQ(FindSettingDefinition("ServerReady"), nullptr);
}

// "/" as the users or log directory: every mail store and log file would be made,
// listed and removed at the top of the file system.
TEST_F(ProgramConfigTest, TheRootDirectoryIsRefusedForTheProgramsDirectories) {
  for (const char* name : {"UserDirectories", "Root.LogDirectory"}) {
    for (const char* root : {"/", "//", "/./", "/tmp/.."}) {
      EXPECT_EQ(CheckSettingText(*FindSettingDefinition(name), root).error,
                std::string(FindSettingDefinition(name)->name) + " must not be the root directory")
          << name << " " << root;
    }
  }
  EXPECT_EQ(CheckSettingText(*FindSettingDefinition("MRULogDirectory"), "/").error, "");

  // Written by hand into the file: refused at load like a value of the wrong type.
  WriteFileText("[Software.Kestrune]\nUserDirectories = '/'\n");
  ProgramSettings settings(Host());
  settings.LoadSettings();
  EXPECT_EQ(TakeMessages(), Messages{"Error reading from registry. Code:104"});
  EXPECT_EQ(settings.Config().UserDirectories, "");
  // The settings dialog cannot store it either.
  ProgramSettings fresh(Host());
  WriteFileText("[Software.Kestrune]\nStringsLanguage = 'English'\n");
  fresh.LoadSettings();
  TakeMessages();
  SettingsDialogValues v = DialogFrom(fresh.Config());
  v.LogDirectory = "/";
  EXPECT_FALSE(fresh.SaveSettingsDialog(v));
  EXPECT_NE(fresh.Config().LogDirectory, "/");
  TakeMessages();
}

// The same damage seen through the loader: an empty file keeps every value unread and
// the file as it is (the SMTP server and password are not overwritten by defaults).
TEST_F(ProgramConfigTest, AnEmptySettingsFileIsNotAFirstStart) {
  WriteFileText("");
  ProgramSettings settings(Host());
  settings.LoadSettings();
  EXPECT_EQ(TakeMessages(), Messages{"Error opening registry. Code:99"});
  EXPECT_EQ(FileText(), "");
}

}  // namespace
}  // namespace kestrune
