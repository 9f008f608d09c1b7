// The console's small dialogs: four information or confirmation boxes that the
// administrator can silence with a check box (each a setting), and the two repairs of
// the web server settings after a failed start. Pressing a button does the dialog's
// writing and closes it, so the tests press the buttons of a dialog that is not shown.
#pragma once

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kestrune {

class ProgramSettings;

// One of the four silencing dialogs.
class TfrmInformation : public QDialog {
  Q_OBJECT

 public:
  enum class Kind { kConfirmExit, kMinimize, kSendReceive, kCheckMailsLogin };
  TfrmInformation(Kind kind, ProgramSettings& settings, QWidget* parent = nullptr);

  QCheckBox* DontAskAgain;
  QPushButton* YesButton;  // "Yes" of the confirm-exit dialog, "Ok" of the others
  QPushButton* NoButton;   // confirm-exit only, else nullptr

 private:
  Kind kind_;
  ProgramSettings& settings_;
};

// The web listener could not bind its ports: new port numbers.
class TfrmSocketError : public QDialog {
  Q_OBJECT

 public:
  TfrmSocketError(ProgramSettings& settings, QWidget* parent = nullptr);

  QLineEdit* TBPort;
  QLabel* SSLPortLabel;
  QLineEdit* TBSSLPort;
  QPushButton* OkButton;

 private:
  void Ok();
  ProgramSettings& settings_;
};

// The HTTPS private key could not be loaded: its password, or HTTPS off.
class TfrmSSLPassword : public QDialog {
  Q_OBJECT

 public:
  TfrmSSLPassword(ProgramSettings& settings, QWidget* parent = nullptr);

  QCheckBox* EnableSSL;
  QLabel* PasswordLabel;
  QLineEdit* SSLCertPassword;
  QPushButton* OkButton;

 private:
  void Ok();
  ProgramSettings& settings_;
};

}  // namespace kestrune
