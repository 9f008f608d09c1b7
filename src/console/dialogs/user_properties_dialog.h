// The user-properties dialog: one account's log-in, permission, POP3 account and
// checking options on three tabs, for adding a new account or modifying one. OK checks
// the fields; the users dialog then writes the account.
#pragma once

#include <QDialog>
#include <functional>
#include <string_view>

#include "store/user_list.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;

namespace kestrune {

struct ConsoleDialogContext;
class PopConnectionTest;

class TfrmUserProp : public QDialog {
  Q_OBJECT

 public:
  // name_taken: whether a new account may not take this name (an existing name or one
  // that counts as the same account).
  TfrmUserProp(ConsoleDialogContext& context, std::function<bool(std::string_view)> name_taken,
               QWidget* parent = nullptr);

  void PrepareAdd();
  void PrepareModify(const TUserRecord& user);
  bool Adding() const { return adding_; }
  // The OK button's checks; true accepts the dialog.
  bool CheckFields();
  // The dialog's fields written over user (the record's other fields stay as they are).
  void ApplyTo(TUserRecord& user) const;

  QTabWidget* Tabs;
  // General Settings
  QLineEdit* TBUserDir;
  QGroupBox* PermissionLevel;
  QRadioButton* PermissionButtons[3];
  QCheckBox* EmailCheckOnLogin;
  QCheckBox* AutoCheckEmails;
  QSpinBox* TBAutoCheckInterval;
  QLineEdit* TBUserName;
  QLineEdit* TBPassword;
  QLineEdit* TBConfirm;
  QCheckBox* CBSameUserPass;
  QCheckBox* AutoAddContacts;
  // Email Settings
  QLineEdit* TBPopServer;
  QLineEdit* TBPopPort;
  QLineEdit* TBPopUserName;
  QLineEdit* TBPopPassword;
  QLineEdit* TBEmailAddress;
  QLineEdit* TBEmailDisplayName;
  QCheckBox* LeaveEmails;
  QPushButton* TestConnection;
  PopConnectionTest* ConnectionTest;
  // Export Messages
  QPushButton* ExportButton;

  QPushButton* OkButton;
  QPushButton* CancelButton;
  QPushButton* HelpButton;

 private:
  QWidget* BuildGeneralTab();
  QWidget* BuildEmailTab();
  QWidget* BuildExportTab();
  void SetIntervalEnabled(bool enabled);
  void UserNameLeft();
  void AutoCheckClicked(bool checked);
  void CheckOnLoginClicked(bool checked);
  void LeaveEmailsClicked(bool checked);
  void SameUserPassClicked(bool checked);
  void ShowHelp();
  // Refuses with message, focusing (and for the user name, clearing) edit.
  bool Refuse(std::string_view message, QLineEdit* edit, bool clear = false);

  ConsoleDialogContext& context_;
  std::function<bool(std::string_view)> name_taken_;
  bool adding_ = true;
  QLabel* interval_labels_[2];
};

}  // namespace kestrune
