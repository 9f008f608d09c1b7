// The first-run wizard: on a server without users it asks for the "Admin" password
// (twice), optionally Admin's mail account, and the SMTP server common to all users.
// Finishing hands the values to the first-start step that creates the account and
// writes the SMTP settings; Cancel writes nothing.
#pragma once

#include <QDialog>

#include "host/first_start.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QStackedWidget;

namespace kestrune {

class PopConnectionTest;
class ProgramSettings;

class TfrmFirstRun : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kLastStep = 5;

  explicit TfrmFirstRun(ProgramSettings& settings, QWidget* parent = nullptr);

  int Step() const { return step_; }
  void Next();
  void Previous();
  // What the wizard collected (the ports as typed).
  FirstStartValues Values() const;

  QStackedWidget* Panels;
  QLabel* ProceedText;
  QLineEdit* AdminPassword;
  QLineEdit* AdminConfirm;
  QRadioButton* RGYes;
  QRadioButton* RGNo;
  QLineEdit* DisplayName;
  QLineEdit* EmailAddress;
  QLineEdit* TBPopServer;
  QLineEdit* TBPopPort;
  QLineEdit* TBPopUserName;
  QLineEdit* TBPopPassword;
  QPushButton* TestConnection;
  PopConnectionTest* ConnectionTest;
  QLineEdit* SmtpServer;
  QLineEdit* SmtpPort;
  QComboBox* SmtpAuthType;
  QLabel* SmtpUserNameLabel;
  QLineEdit* SmtpUserName;
  QLabel* SmtpPasswordLabel;
  QLineEdit* SmtpPassword;

  QPushButton* CancelButton;
  QPushButton* PreviousButton;
  QPushButton* NextButton;
  QPushButton* HelpButton;

 private:
  void ShowStep(int step);
  bool Refuse(std::string_view message, QLineEdit* edit);
  void ShowHelp();

  ProgramSettings& settings_;
  int step_ = 0;
};

}  // namespace kestrune
