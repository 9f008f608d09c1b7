// The settings dialog: every server setting on four tabs, filled from the record each
// time it is shown. OK checks every field first and writes nothing while one is wrong;
// then all values go to the settings store and the record in one writer operation.
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;

namespace kestrune {

class ProgramSettings;
struct SettingsDialogValues;

class TfrmSettings : public QDialog {
  Q_OBJECT

 public:
  TfrmSettings(ProgramSettings& settings, QWidget* parent = nullptr);

  // Fills every control from the record and selects the first tab.
  void Fill();
  // The OK button: checks, then writes. True when everything was written (the dialog is
  // then accepted); false leaves it open after a refusal, or closes it after a store
  // failure whose message was shown.
  bool Save();
  // Whether Save wrote the values.
  bool Written() const { return written_; }

  // The controls, by the names the administrator's documentation uses.
  QTabWidget* Tabs;
  // General
  QCheckBox* LoginToQuit;
  QLineEdit* LogFilesDir;
  QPushButton* BrowseLogs;
  QCheckBox* AutoSaveLogs;
  QSpinBox* AutoSaveLogsEvery;
  QCheckBox* ClearDebug;
  QCheckBox* AutoCheckEmails;
  QSpinBox* AutoCheckInterval;
  QCheckBox* CBStartWithWindows;
  QSpinBox* ServerTimeOut;
  // WebServer
  QLineEdit* WebServerPort;
  QComboBox* AuthType;
  QSpinBox* SessionTimeOut;
  QComboBox* TrackMethod;
  QCheckBox* BindToIP;
  QLabel* BoundIPLabel;
  QLineEdit* BoundIP;
  QCheckBox* LimitConnections;
  QLabel* MaxConnectionsLabel;
  QSpinBox* MaxConnections;
  QCheckBox* RestrictIPs;
  QCheckBox* SSLEnabled;
  QLabel* SSLPortLabel;
  QLineEdit* SSLPort;
  QLabel* SSLRequestsLabel;
  QComboBox* SSLRequests;
  QLabel* SSLCertPasswordLabel;
  QLineEdit* SSLCertPassword;
  // WebMail
  QCheckBox* AllowWebReg;
  QCheckBox* CBShowSuggestions;
  QCheckBox* cbBanIP;
  QSpinBox* LoginAttempts;
  QLabel* LoginAttemptsLabel;
  QPushButton* TemplatesButton;
  // Smtp Server
  QLineEdit* SmtpServerAddress;
  QLineEdit* SmtpPort;
  QComboBox* SmtpAuthType;
  QLabel* SmtpUserNameLabel;
  QLineEdit* SmtpUserName;
  QLabel* SmtpPasswordLabel;
  QLineEdit* SmtpPassword;

  QPushButton* OkButton;
  QPushButton* CancelButton;
  QPushButton* HelpButton;

 private:
  QWidget* BuildGeneralTab();
  QWidget* BuildWebServerTab();
  QWidget* BuildWebMailTab();
  QWidget* BuildSmtpTab();
  void UpdateEnabled();
  void BindToIPClicked(bool checked);
  void AllowWebRegClicked(bool checked);
  void AuthTypeActivated(int index);
  void BanIPClicked(bool checked);
  void BrowseForLogs();
  void OpenTemplates();
  void ShowHelp();
  // The first field that cannot be written, with its message; true when all are good.
  bool CheckFields();
  SettingsDialogValues Values() const;

  ProgramSettings& settings_;
  bool written_ = false;
  QLabel* auto_save_labels_[2];
  QLabel* auto_check_labels_[2];
  QLabel* login_attempts_after_;
};

}  // namespace kestrune
