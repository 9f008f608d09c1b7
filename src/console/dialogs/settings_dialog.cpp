// The settings dialog's controls, their enable rules and the questions between the
// authentication type, web registration and IP banning, and its OK.
#include "console/dialogs/settings_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "console/dialogs/dialog_helpers.h"
#include "console/dialogs/message_boxes.h"
#include "platform/ascii.h"
#include "platform/program_dir.h"
#include "settings/program_config.h"
#include "store/text_utils.h"

namespace kestrune {
namespace {

constexpr std::string_view kBindWarning =
    "WARNING! PLEASE NOTE: Ensure that the IP Address you input is valid and,\rconnected, "
    "failure to do so may stop Kestrune from loading.\r\rIf in the case Kestrune does not load "
    "after Binding to an IP Address,\rplease consult the readme.txt file.";
constexpr std::string_view kWebRegNeedsHtml =
    "You can only enable web registering if the authentication type is set to HTML\r\rDo you "
    "wish to enable web registering?";
constexpr std::string_view kHttpWithWebReg =
    "You changed the authentication method and have web registering selected.\rIf you have web "
    "registering selected the authentication type must be set to HTML\r\rDo you wish to "
    "disable web registering and continue to change authentication type?";
constexpr std::string_view kBanNeedsHtml =
    "You can only ban IP addresses if Authentication type is set to HTML.\r\rDo you wish to "
    "enable IP address banning and change to HTML authentication type.";

constexpr int kHtml = 0;
constexpr int kHttp = 1;

QSpinBox* Counter(int minimum, int maximum) {
  auto* box = new QSpinBox;
  box->setRange(minimum, maximum);
  box->setAccelerated(true);
  return box;
}

QComboBox* Choices(std::initializer_list<const char*> items) {
  auto* box = new QComboBox;
  for (const char* item : items) box->addItem(item);
  return box;
}

// "Every [n] Minutes" on one row.
QHBoxLayout* EveryRow(QLabel*& every, QSpinBox* counter, QLabel*& minutes) {
  auto* row = new QHBoxLayout;
  every = new QLabel("Every");
  minutes = new QLabel("Minutes");
  row->addSpacing(24);
  row->addWidget(every);
  row->addWidget(counter);
  row->addWidget(minutes);
  row->addStretch();
  return row;
}

// A stored address as the dotted mask shows it: each group padded with blanks, which
// the edit leaves out of its text again, so "10.0.0.1" reads back unchanged.
QString MaskedAddress(const std::string& address) {
  const QStringList groups = ToQString(address).split('.');
  if (groups.size() != 4) return ToQString(address);
  QStringList padded;
  for (const QString& group : groups) {
    if (group.size() > 3) return ToQString(address);
    padded << group.leftJustified(3, ' ');
  }
  return padded.join('.');
}

}  // namespace

TfrmSettings::TfrmSettings(ProgramSettings& settings, QWidget* parent)
    : QDialog(parent), settings_(settings) {
  setWindowTitle("Settings");
  auto* layout = new QVBoxLayout(this);
  Tabs = new QTabWidget;
  Tabs->addTab(BuildGeneralTab(), "General");
  Tabs->addTab(BuildWebServerTab(), "WebServer");
  Tabs->addTab(BuildWebMailTab(), "WebMail");
  Tabs->addTab(BuildSmtpTab(), "Smtp Server");
  layout->addWidget(Tabs);

  const DialogButtons buttons = AddOkCancelHelp(
      *this, *layout, [this] { return Save(); }, [this] { ShowHelp(); });
  OkButton = buttons.ok;
  CancelButton = buttons.cancel;
  HelpButton = buttons.help;

  connect(AutoSaveLogs, &QCheckBox::toggled, this, &TfrmSettings::UpdateEnabled);
  connect(AutoCheckEmails, &QCheckBox::toggled, this, &TfrmSettings::UpdateEnabled);
  connect(BindToIP, &QCheckBox::toggled, this, &TfrmSettings::UpdateEnabled);
  connect(LimitConnections, &QCheckBox::toggled, this, &TfrmSettings::UpdateEnabled);
  connect(SSLEnabled, &QCheckBox::toggled, this, &TfrmSettings::UpdateEnabled);
  connect(cbBanIP, &QCheckBox::toggled, this, &TfrmSettings::UpdateEnabled);
  connect(SmtpAuthType, &QComboBox::currentIndexChanged, this, &TfrmSettings::UpdateEnabled);
  connect(BindToIP, &QCheckBox::clicked, this, &TfrmSettings::BindToIPClicked);
  connect(AllowWebReg, &QCheckBox::clicked, this, &TfrmSettings::AllowWebRegClicked);
  connect(AuthType, &QComboBox::activated, this, &TfrmSettings::AuthTypeActivated);
  connect(cbBanIP, &QCheckBox::clicked, this, &TfrmSettings::BanIPClicked);
  connect(BrowseLogs, &QPushButton::clicked, this, &TfrmSettings::BrowseForLogs);
  connect(TemplatesButton, &QPushButton::clicked, this, &TfrmSettings::OpenTemplates);
  Fill();
}

QWidget* TfrmSettings::BuildGeneralTab() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  LoginToQuit = new QCheckBox("Must be logged in to Exit.");
  layout->addWidget(LoginToQuit);

  layout->addWidget(new QLabel("Log Files Directory"));
  auto* directory_row = new QHBoxLayout;
  LogFilesDir = new QLineEdit;
  LogFilesDir->setReadOnly(true);
  LogFilesDir->setMinimumWidth(260);
  BrowseLogs = new QPushButton("...");
  BrowseLogs->setMaximumWidth(40);
  directory_row->addWidget(LogFilesDir);
  directory_row->addWidget(BrowseLogs);
  layout->addLayout(directory_row);

  AutoSaveLogs = new QCheckBox("Auto Save Log Files");
  layout->addWidget(AutoSaveLogs);
  AutoSaveLogsEvery = Counter(0, 360);
  layout->addLayout(EveryRow(auto_save_labels_[0], AutoSaveLogsEvery, auto_save_labels_[1]));
  ClearDebug = new QCheckBox("Clear Debug Log when Saved");
  auto* clear_row = new QHBoxLayout;
  clear_row->addSpacing(24);
  clear_row->addWidget(ClearDebug);
  layout->addLayout(clear_row);

  AutoCheckEmails = new QCheckBox("Auto Check for New Emails");
  layout->addWidget(AutoCheckEmails);
  AutoCheckInterval = Counter(0, 360);
  layout->addLayout(EveryRow(auto_check_labels_[0], AutoCheckInterval, auto_check_labels_[1]));

  CBStartWithWindows = new QCheckBox("Start Kestrune with Windows");
  layout->addWidget(CBStartWithWindows);

  layout->addWidget(new QLabel("Servers connection timeout (POP3/SMTP)"));
  auto* timeout_row = new QHBoxLayout;
  ServerTimeOut = Counter(0, 360);
  timeout_row->addSpacing(24);
  timeout_row->addWidget(ServerTimeOut);
  timeout_row->addWidget(new QLabel("Seconds"));
  timeout_row->addStretch();
  layout->addLayout(timeout_row);
  layout->addStretch();
  return page;
}

QWidget* TfrmSettings::BuildWebServerTab() {
  auto* page = new QWidget;
  auto* form = new QFormLayout(page);
  WebServerPort = PortEdit();
  form->addRow("HTTP Listening Port:", WebServerPort);
  AuthType = Choices({"HTML", "HTTP"});
  form->addRow("Authentication Type:", AuthType);
  auto* timeout_row = new QHBoxLayout;
  SessionTimeOut = Counter(0, 60);
  timeout_row->addWidget(SessionTimeOut);
  timeout_row->addWidget(new QLabel("Minutes"));
  timeout_row->addStretch();
  form->addRow("Session Timeout:", timeout_row);
  TrackMethod = Choices({"URL", "Cookies", "Hidden"});
  form->addRow("Session Tracking Method:", TrackMethod);

  BindToIP = new QCheckBox("Bind to specific IP Address");
  form->addRow(BindToIP);
  BoundIPLabel = new QLabel("Bound IP Address");
  BoundIP = new QLineEdit;
  BoundIP->setInputMask("000.000.000.000; ");
  form->addRow(BoundIPLabel, BoundIP);

  LimitConnections = new QCheckBox("Limit Number of Connections");
  form->addRow(LimitConnections);
  MaxConnectionsLabel = new QLabel("To");
  MaxConnections = Counter(0, 999);
  form->addRow(MaxConnectionsLabel, MaxConnections);
  RestrictIPs = new QCheckBox("Restrict IP Addresses");
  form->addRow(RestrictIPs);

  SSLEnabled = new QCheckBox("Enable SSL (HTTPS)");
  form->addRow(SSLEnabled);
  SSLPortLabel = new QLabel("HTTPS Listening Port:");
  SSLPort = PortEdit();
  form->addRow(SSLPortLabel, SSLPort);
  SSLRequestsLabel = new QLabel("Non SSL Requests:");
  SSLRequests = Choices({"Allow", "Block", "Redirect"});
  form->addRow(SSLRequestsLabel, SSLRequests);
  SSLCertPasswordLabel = new QLabel("SSL Certificate Password:");
  SSLCertPassword = TextEdit(true);
  form->addRow(SSLCertPasswordLabel, SSLCertPassword);
  return page;
}

QWidget* TfrmSettings::BuildWebMailTab() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  AllowWebReg = new QCheckBox("Allow Web Registering");
  layout->addWidget(AllowWebReg);
  CBShowSuggestions = new QCheckBox("Show \"Suggestions?\" in WebMail");
  layout->addWidget(CBShowSuggestions);
  auto* ban_row = new QHBoxLayout;
  cbBanIP = new QCheckBox("Ban IP Address after");
  LoginAttempts = Counter(0, 15);
  login_attempts_after_ = new QLabel("Bad login Attempts");
  LoginAttemptsLabel = login_attempts_after_;
  ban_row->addWidget(cbBanIP);
  ban_row->addWidget(LoginAttempts);
  ban_row->addWidget(login_attempts_after_);
  ban_row->addStretch();
  layout->addLayout(ban_row);
  layout->addSpacing(12);
  auto* explanation = new QLabel(
      "The pages that WebMail users see are made from the page templates in the "
      "\"Templates\" directory.");
  explanation->setWordWrap(true);
  layout->addWidget(explanation);
  auto* editor = new QLabel(
      "You can change their look with any HTML editor; keep the tags in curly brackets, which "
      "Kestrune fills in.");
  editor->setWordWrap(true);
  layout->addWidget(editor);
  TemplatesButton = new QPushButton("Templates...");
  auto* templates_row = new QHBoxLayout;
  templates_row->addWidget(TemplatesButton);
  templates_row->addStretch();
  layout->addLayout(templates_row);
  layout->addStretch();
  return page;
}

QWidget* TfrmSettings::BuildSmtpTab() {
  auto* page = new QWidget;
  auto* form = new QFormLayout(page);
  SmtpServerAddress = new QLineEdit;
  SmtpServerAddress->setMinimumWidth(220);
  form->addRow("SMTP Server Address:", SmtpServerAddress);
  SmtpPort = PortEdit();
  form->addRow("SMTP Server Port:", SmtpPort);
  SmtpAuthType = Choices({"None", "Simple Login"});
  form->addRow("SMTP Authentication Type:", SmtpAuthType);
  SmtpUserNameLabel = new QLabel("SMTP User Name:");
  SmtpUserName = new QLineEdit;
  form->addRow(SmtpUserNameLabel, SmtpUserName);
  SmtpPasswordLabel = new QLabel("SMTP Password:");
  SmtpPassword = TextEdit(true);
  form->addRow(SmtpPasswordLabel, SmtpPassword);
  return page;
}

void TfrmSettings::Fill() {
  const TProgramConfig& c = settings_.Config();
  written_ = false;
  Tabs->setCurrentIndex(0);
  LoginToQuit->setChecked(c.LoginToQuit);
  LogFilesDir->setText(ToQString(c.LogDirectory));
  AutoSaveLogs->setChecked(c.AutoSaveDebugLog);
  AutoSaveLogsEvery->setValue(c.AutoSaveInterval);
  ClearDebug->setChecked(c.ClearLogWhenAutoSaved);
  AutoCheckEmails->setChecked(c.AutoCheckEmails);
  AutoCheckInterval->setValue(c.AutoCheckInterval);
  CBStartWithWindows->setChecked(c.StartWithWindows);
  ServerTimeOut->setValue(c.ServerTimeOut);

  WebServerPort->setText(QString::number(c.Port));
  AuthType->setCurrentIndex(c.LoginType != 0 ? kHttp : kHtml);
  SessionTimeOut->setValue(c.SessionTimeout);
  const int tracking = c.SessionTrackingMethod;
  TrackMethod->setCurrentIndex(tracking >= 0 && tracking <= 2 ? tracking : 0);
  BindToIP->setChecked(c.BindToIP);
  BoundIP->setText(MaskedAddress(c.BoundIP));
  LimitConnections->setChecked(c.LimitConnections);
  MaxConnections->setValue(c.MaxConnections);
  RestrictIPs->setChecked(c.RestrictIPs);
  SSLEnabled->setChecked(c.EnableSSL);
  SSLPort->setText(QString::number(c.SSLPort));
  SSLRequests->setCurrentIndex(c.SSLRequest >= 0 && c.SSLRequest <= 2 ? c.SSLRequest : 0);
  SSLCertPassword->setText(ToQString(c.SSLPassword));

  AllowWebReg->setChecked(c.AllowWebReg);
  CBShowSuggestions->setChecked(c.ShowSuggestions);
  cbBanIP->setChecked(c.BanIP);
  LoginAttempts->setValue(c.LoginAttempts);

  SmtpServerAddress->setText(ToQString(c.SmtpServer));
  SmtpPort->setText(QString::number(c.SmtpPort));
  SmtpAuthType->setCurrentIndex(c.SmtpAuthType != 0 ? 1 : 0);
  SmtpUserName->setText(ToQString(c.SmtpUserName));
  SmtpPassword->setText(ToQString(c.SmtpPassword));
  UpdateEnabled();
}

void TfrmSettings::UpdateEnabled() {
  const bool auto_save = AutoSaveLogs->isChecked();
  for (QWidget* w :
       {static_cast<QWidget*>(AutoSaveLogsEvery), static_cast<QWidget*>(ClearDebug),
        static_cast<QWidget*>(auto_save_labels_[0]), static_cast<QWidget*>(auto_save_labels_[1])}) {
    w->setEnabled(auto_save);
  }
  const bool auto_check = AutoCheckEmails->isChecked();
  for (QWidget* w :
       {static_cast<QWidget*>(AutoCheckInterval), static_cast<QWidget*>(auto_check_labels_[0]),
        static_cast<QWidget*>(auto_check_labels_[1])}) {
    w->setEnabled(auto_check);
  }
  BoundIP->setEnabled(BindToIP->isChecked());
  BoundIPLabel->setEnabled(BindToIP->isChecked());
  MaxConnections->setEnabled(LimitConnections->isChecked());
  MaxConnectionsLabel->setEnabled(LimitConnections->isChecked());
  const bool ssl = SSLEnabled->isChecked();
  for (QWidget* w :
       {static_cast<QWidget*>(SSLPort), static_cast<QWidget*>(SSLPortLabel),
        static_cast<QWidget*>(SSLRequests), static_cast<QWidget*>(SSLRequestsLabel),
        static_cast<QWidget*>(SSLCertPassword), static_cast<QWidget*>(SSLCertPasswordLabel)}) {
    w->setEnabled(ssl);
  }
  const bool smtp_login = SmtpAuthType->currentIndex() == 1;
  for (QWidget* w :
       {static_cast<QWidget*>(SmtpUserName), static_cast<QWidget*>(SmtpUserNameLabel),
        static_cast<QWidget*>(SmtpPassword), static_cast<QWidget*>(SmtpPasswordLabel)}) {
    w->setEnabled(smtp_login);
  }
  LoginAttempts->setEnabled(cbBanIP->isChecked());
  LoginAttemptsLabel->setEnabled(cbBanIP->isChecked());
}

void TfrmSettings::BindToIPClicked(bool checked) {
  if (checked && !settings_.Config().BindToIP) ShowWarning(this, kBindWarning);
}

void TfrmSettings::AllowWebRegClicked(bool checked) {
  if (!checked || AuthType->currentIndex() != kHttp) return;
  if (AskYesNo(this, kWebRegNeedsHtml)) {
    AuthType->setCurrentIndex(kHtml);
  } else {
    AllowWebReg->setChecked(false);
  }
}

void TfrmSettings::AuthTypeActivated(int index) {
  if (index != kHttp || !AllowWebReg->isChecked()) return;
  if (AskYesNo(this, kHttpWithWebReg)) {
    AllowWebReg->setChecked(false);
  } else {
    AuthType->setCurrentIndex(kHtml);
  }
}

void TfrmSettings::BanIPClicked(bool checked) {
  if (!checked || AuthType->currentIndex() != kHttp) return;
  if (AskYesNo(this, kBanNeedsHtml)) {
    AuthType->setCurrentIndex(kHtml);
  } else {
    cbBanIP->setChecked(false);
  }
}

void TfrmSettings::BrowseForLogs() {
  const QString chosen =
      QFileDialog::getExistingDirectory(this, "Browse for Logs Directory", LogFilesDir->text());
  if (!chosen.isEmpty()) LogFilesDir->setText(ToQString(AddTrailingBackslash(ToUtf8(chosen))));
}

void TfrmSettings::OpenTemplates() {
  // The program directory's own templates, else the installed ones that it uses.
  const std::filesystem::path& home = settings_.Host().program_directory;
  OpenDirectory(FindInstallationFile(home, "Templates").value_or(home / "Templates"));
}

void TfrmSettings::ShowHelp() {
  static constexpr const char* kTopics[] = {"settings/general", "settings/webserver",
                                            "settings/webmail", "settings/smtpserver"};
  const int tab = Tabs->currentIndex();
  OpenHelpPage(tab >= 0 && tab < 4 ? kTopics[tab] : "settings/index");
}

bool TfrmSettings::CheckFields() {
  struct Field {
    const char* label;
    const char* setting;
    QLineEdit* edit;
    int tab;
  };
  const Field fields[] = {
      {"Log Files Directory", "LogDirectory", LogFilesDir, 0},
      {"HTTP Listening Port", "Port", WebServerPort, 1},
      {"Bound IP Address", "BoundIP", BindToIP->isChecked() ? BoundIP : nullptr, 1},
      {"HTTPS Listening Port", "SSLPort", SSLPort, 1},
      {"SSL Certificate Password", "SSLPassword", SSLCertPassword, 1},
      {"SMTP Server Address", "SmtpServer", SmtpServerAddress, 3},
      {"SMTP Server Port", "SmtpPort", SmtpPort, 3},
      {"SMTP User Name", "SmtpUserName", SmtpUserName, 3},
      {"SMTP Password", "SmtpPassword", SmtpPassword, 3},
  };
  for (const Field& field : fields) {
    if (field.edit == nullptr) continue;
    const SettingDefinition& definition = *FindSettingDefinition(field.setting);
    const CheckedSetting checked = CheckSettingText(definition, ToUtf8(field.edit->text()));
    if (checked.value) continue;
    std::string message;
    if (definition.kind == SettingKind::kInteger) {
      message = std::string(field.label) + " must be a number from " +
                std::to_string(definition.minimum) + " to " + std::to_string(definition.maximum) +
                ".";
    } else if (definition.name == "BoundIP") {
      message = std::string(field.label) +
                " must be four numbers from 0 to 255 separated by dots, such as 192.168.000.001.";
    } else if (definition.kind == SettingKind::kDirectory) {
      message = std::string(field.label) + " must be an absolute directory.";
    } else {
      message = std::string(field.label) + " holds characters that cannot be stored.";
    }
    Tabs->setCurrentIndex(field.tab);
    ShowError(this, message);
    field.edit->setFocus();
    return false;
  }
  return true;
}

SettingsDialogValues TfrmSettings::Values() const {
  SettingsDialogValues v;
  v.LogDirectory = ToUtf8(LogFilesDir->text());
  v.LoginToQuit = LoginToQuit->isChecked();
  v.AutoSaveDebugLog = AutoSaveLogs->isChecked();
  v.AutoSaveInterval = AutoSaveLogsEvery->value();
  v.AutoCheckEmails = AutoCheckEmails->isChecked();
  v.AutoCheckInterval = AutoCheckInterval->value();
  v.ClearLogWhenAutoSaved = ClearDebug->isChecked();
  v.StartWithWindows = CBStartWithWindows->isChecked();
  v.ServerTimeOut = ServerTimeOut->value();
  v.Port = ToUtf8(WebServerPort->text());
  v.LoginType = AuthType->currentIndex();
  v.SessionTimeout = SessionTimeOut->value();
  v.SessionTrackingMethod = TrackMethod->currentIndex();
  v.BindToIP = BindToIP->isChecked();
  // An address the unticked box leaves unused is kept as stored when it is not one.
  const std::string bound = ToUtf8(BoundIP->text());
  v.BoundIP =
      BindToIP->isChecked() || CheckSettingText(*FindSettingDefinition("BoundIP"), bound).value
          ? bound
          : settings_.Config().BoundIP;
  v.LimitConnections = LimitConnections->isChecked();
  v.MaxConnections = std::to_string(MaxConnections->value());
  v.RestrictIPs = RestrictIPs->isChecked();
  v.EnableSSL = SSLEnabled->isChecked();
  v.SSLPort = ToUtf8(SSLPort->text());
  v.SSLRequest = SSLRequests->currentIndex();
  v.SSLPassword = ToUtf8(SSLCertPassword->text());
  v.AllowWebReg = AllowWebReg->isChecked();
  v.ShowSuggestions = CBShowSuggestions->isChecked();
  v.BanIP = cbBanIP->isChecked();
  v.LoginAttempts = LoginAttempts->value();
  v.SmtpServer = ToUtf8(SmtpServerAddress->text());
  v.SmtpPort = ToUtf8(SmtpPort->text());
  v.SmtpAuthType = SmtpAuthType->currentIndex();
  v.SmtpUserName = ToUtf8(SmtpUserName->text());
  v.SmtpPassword = ToUtf8(SmtpPassword->text());
  return v;
}

bool TfrmSettings::Save() {
  if (!CheckFields()) return false;
  written_ = settings_.SaveSettingsDialog(Values());
  if (!written_) reject();  // the store's message was shown; nothing more to do here
  return written_;
}

}  // namespace kestrune
