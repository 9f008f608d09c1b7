// The user-properties dialog's controls, the rules between its check boxes, and the
// checks of its OK.
#include "console/dialogs/user_properties_dialog.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "console/console_dialogs.h"
#include "console/dialogs/dialog_helpers.h"
#include "console/dialogs/message_boxes.h"
#include "console/dialogs/pop_connection_test.h"
#include "console/dialogs/small_dialogs.h"
#include "platform/ascii.h"
#include "settings/program_config.h"
#include "store/text_utils.h"
#include "store/user_names.h"

namespace kestrune {
namespace {

constexpr const char* kPlaceholderPopServer = "pop.example.invalid";
constexpr std::size_t kRecommendedPasswordLength = 8;

constexpr std::string_view kEnableAutoCheck =
    "Auto checking for Emails must be enabled before this user can take\radvantage of this "
    "feature, Changing the \"Minutes\" effects every user\rwho is set to Auto check for "
    "mail.\r\rWould you like to enabled Auto Checking for New Emails?";
constexpr std::string_view kLeaveAndAutoCheck =
    "You have selected to \"Leave Emails on Server\" and you have selected\r\"Auto Check for "
    "New Emails\", It is highly recommended that you only check\rfor new Emails at WebMail Login "
    "to prevent the same Email downloading multiple times.\r\rDo you wish to change to the "
    "recommended settings?";

}  // namespace

TfrmUserProp::TfrmUserProp(ConsoleDialogContext& context,
                           std::function<bool(std::string_view)> name_taken, QWidget* parent)
    : QDialog(parent), context_(context), name_taken_(std::move(name_taken)) {
  setWindowTitle("User Properties");
  auto* layout = new QVBoxLayout(this);
  Tabs = new QTabWidget;
  Tabs->addTab(BuildGeneralTab(), "General Settings");
  Tabs->addTab(BuildEmailTab(), "Email Settings");
  Tabs->addTab(BuildExportTab(), "Export Messages");
  layout->addWidget(Tabs);
  const DialogButtons buttons = AddOkCancelHelp(
      *this, *layout, [this] { return CheckFields(); }, [this] { ShowHelp(); });
  OkButton = buttons.ok;
  CancelButton = buttons.cancel;
  HelpButton = buttons.help;
  connect(TBUserName, &QLineEdit::editingFinished, this, &TfrmUserProp::UserNameLeft);
  connect(AutoCheckEmails, &QCheckBox::clicked, this, &TfrmUserProp::AutoCheckClicked);
  connect(EmailCheckOnLogin, &QCheckBox::clicked, this, &TfrmUserProp::CheckOnLoginClicked);
  connect(LeaveEmails, &QCheckBox::clicked, this, &TfrmUserProp::LeaveEmailsClicked);
  connect(CBSameUserPass, &QCheckBox::clicked, this, &TfrmUserProp::SameUserPassClicked);
  connect(ExportButton, &QPushButton::clicked, this,
          [this] { OpenDirectory(ToUtf8(TBUserDir->text())); });
  ConnectionTest = new PopConnectionTest(this, TestConnection,
                                         {TBPopServer, TBPopPort, TBPopUserName, TBPopPassword},
                                         &context_.Settings.Config().ServerTimeOut);
  connect(this, &QDialog::finished, ConnectionTest, &PopConnectionTest::Cancel);
}

QWidget* TfrmUserProp::BuildGeneralTab() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  auto* dir_form = new QFormLayout;
  TBUserDir = new QLineEdit;
  TBUserDir->setReadOnly(true);
  TBUserDir->setMinimumWidth(280);
  dir_form->addRow("User Directory:", TBUserDir);
  layout->addLayout(dir_form);

  auto* middle = new QHBoxLayout;
  PermissionLevel = new QGroupBox("Permission Level");
  auto* levels = new QVBoxLayout(PermissionLevel);
  const char* names[] = {"Administrator", "Power User", "User"};
  for (int i = 0; i < 3; ++i) {
    PermissionButtons[i] = new QRadioButton(names[i]);
    levels->addWidget(PermissionButtons[i]);
  }
  middle->addWidget(PermissionLevel);
  auto* checks = new QVBoxLayout;
  EmailCheckOnLogin = new QCheckBox("Check for new Emails at WebMail Login");
  checks->addWidget(EmailCheckOnLogin);
  AutoCheckEmails = new QCheckBox("Auto Check for New Emails");
  checks->addWidget(AutoCheckEmails);
  auto* every = new QHBoxLayout;
  interval_labels_[0] = new QLabel("Every");
  TBAutoCheckInterval = new QSpinBox;
  TBAutoCheckInterval->setRange(0, 360);
  interval_labels_[1] = new QLabel("Minutes");
  every->addSpacing(24);
  every->addWidget(interval_labels_[0]);
  every->addWidget(TBAutoCheckInterval);
  every->addWidget(interval_labels_[1]);
  every->addStretch();
  checks->addLayout(every);
  checks->addStretch();
  middle->addLayout(checks, 1);
  layout->addLayout(middle);

  auto* credentials = new QGroupBox("WebMail Login Credentials");
  auto* form = new QFormLayout(credentials);
  TBUserName = TextEdit();
  form->addRow("User Name:", TBUserName);
  TBPassword = TextEdit(true);
  form->addRow("Password:", TBPassword);
  TBConfirm = TextEdit(true);
  form->addRow("Confirm:", TBConfirm);
  CBSameUserPass = new QCheckBox("Use same user name and password for Pop3");
  form->addRow(CBSameUserPass);
  layout->addWidget(credentials);
  AutoAddContacts = new QCheckBox("Automatically add unknown email addresses to the contact list.");
  layout->addWidget(AutoAddContacts);
  layout->addStretch();
  return page;
}

QWidget* TfrmUserProp::BuildEmailTab() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  auto* form = new QFormLayout;
  TBPopServer = TextEdit();
  form->addRow("Pop3 Server:", TBPopServer);
  TBPopPort = PortEdit();
  form->addRow("Pop3 Server Port:", TBPopPort);
  TBPopUserName = TextEdit();
  form->addRow("Pop3 User Name:", TBPopUserName);
  TBPopPassword = TextEdit(true);
  form->addRow("Pop3 Password:", TBPopPassword);
  TBEmailAddress = TextEdit();
  form->addRow("Email Address:", TBEmailAddress);
  TBEmailDisplayName = TextEdit();
  form->addRow("Display Name:", TBEmailDisplayName);
  layout->addLayout(form);
  LeaveEmails = new QCheckBox("Leave Emails on Server ");
  layout->addWidget(LeaveEmails);
  TestConnection = new QPushButton("Test Connection");
  TestConnection->setAutoDefault(false);
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(TestConnection);
  layout->addLayout(row);
  layout->addStretch();
  return page;
}

QWidget* TfrmUserProp::BuildExportTab() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(
      WrappedLabel("Every message of this user is kept as a file with the .eml "
                   "extension in the user's directory."));
  layout->addWidget(
      WrappedLabel("Press \"Export\" to open that directory, then drag the .eml files "
                   "onto a folder of a mail client that reads such files."));
  layout->addWidget(WrappedLabel("The messages stay in Kestrune: exporting only copies them."));
  ExportButton = new QPushButton("Export");
  ExportButton->setAutoDefault(false);
  auto* row = new QHBoxLayout;
  row->addWidget(ExportButton);
  row->addStretch();
  layout->addLayout(row);
  layout->addStretch();
  return page;
}

void TfrmUserProp::SetIntervalEnabled(bool enabled) {
  TBAutoCheckInterval->setEnabled(enabled);
  interval_labels_[0]->setEnabled(enabled);
  interval_labels_[1]->setEnabled(enabled);
}

void TfrmUserProp::PrepareAdd() {
  const TProgramConfig& c = context_.Settings.Config();
  adding_ = true;
  Tabs->setCurrentIndex(0);
  TBUserName->clear();
  TBUserName->setReadOnly(false);
  TBPassword->clear();
  TBConfirm->clear();
  CBSameUserPass->setChecked(false);
  PermissionLevel->setEnabled(true);
  PermissionButtons[1]->setChecked(true);
  TBUserDir->setText(ToQString(c.UserDirectories));
  AutoAddContacts->setChecked(false);
  LeaveEmails->setChecked(false);
  EmailCheckOnLogin->setChecked(false);
  AutoCheckEmails->setChecked(c.AutoCheckEmails);
  SetIntervalEnabled(c.AutoCheckEmails);
  TBAutoCheckInterval->setValue(c.AutoCheckInterval);
  TBEmailDisplayName->clear();
  TBEmailAddress->clear();
  TBPopUserName->clear();
  TBPopPassword->clear();
  TBPopServer->setText(kPlaceholderPopServer);
  TBPopPort->setText("110");
  TBUserName->setFocus();
}

void TfrmUserProp::PrepareModify(const TUserRecord& user) {
  const TProgramConfig& c = context_.Settings.Config();
  adding_ = false;
  Tabs->setCurrentIndex(0);
  TBUserName->setText(ToQString(user.UserName));
  TBUserName->setReadOnly(true);
  TBPassword->setText(ToQString(user.Password));
  TBConfirm->setText(ToQString(user.Password));
  CBSameUserPass->setChecked(false);
  TBUserDir->setText(ToQString(user.UserDir));
  const int level =
      user.PermissionLevel >= 0 && user.PermissionLevel <= 2 ? user.PermissionLevel : 2;
  PermissionButtons[level]->setChecked(true);
  PermissionLevel->setEnabled(!EqualsIgnoringAsciiCase(user.UserName, "Admin"));
  EmailCheckOnLogin->setChecked(user.EmailCheckOnLogin);
  AutoCheckEmails->setChecked(user.AutoCheckEmails);
  SetIntervalEnabled(user.AutoCheckEmails);
  TBAutoCheckInterval->setValue(c.AutoCheckInterval);
  AutoAddContacts->setChecked(user.AutoAddContacts);
  LeaveEmails->setChecked(user.LeaveEmails);
  TBEmailDisplayName->setText(ToQString(user.EmailDisplayName));
  TBEmailAddress->setText(ToQString(user.EmailAddress));
  TBPopServer->setText(ToQString(user.PopServer));
  TBPopPort->setText(QString::number(user.PopPort));
  TBPopUserName->setText(ToQString(user.PopUserName));
  TBPopPassword->setText(ToQString(user.PopPassword));
  TBPassword->setFocus();
}

void TfrmUserProp::UserNameLeft() {
  // A modified account keeps the mail store it has.
  if (!adding_) return;
  TBUserDir->setText(ToQString(AddTrailingBackslash(context_.Settings.Config().UserDirectories +
                                                    ToUtf8(TBUserName->text()))));
}

void TfrmUserProp::AutoCheckClicked(bool checked) {
  ProgramSettings& settings = context_.Settings;
  if (settings.Config().AutoCheckEmails) {
    SetIntervalEnabled(checked);
    TBAutoCheckInterval->setValue(settings.Config().AutoCheckInterval);
    return;
  }
  if (!checked) return;
  if (AskYesNo(this, kEnableAutoCheck)) {
    settings.EnableAutoCheckEmails();
    if (context_.SetEmailTimer) context_.SetEmailTimer();
    SetIntervalEnabled(true);
  }
}

void TfrmUserProp::CheckOnLoginClicked(bool checked) {
  if (!checked || !adding_ || !context_.Settings.Config().LoginCheckMailWarning) return;
  TfrmInformation information(TfrmInformation::Kind::kCheckMailsLogin, context_.Settings, this);
  RunModal(information);
}

void TfrmUserProp::LeaveEmailsClicked(bool checked) {
  if (!checked || !AutoCheckEmails->isChecked()) return;
  if (AskYesNo(this, kLeaveAndAutoCheck)) {
    AutoCheckEmails->setChecked(false);
    SetIntervalEnabled(false);
    EmailCheckOnLogin->setChecked(true);
  }
}

void TfrmUserProp::SameUserPassClicked(bool checked) {
  if (!checked) {
    if (EqualsIgnoringAsciiCase(ToUtf8(TBPopUserName->text()), ToUtf8(TBUserName->text()))) {
      TBPopUserName->clear();
    }
    if (EqualsIgnoringAsciiCase(ToUtf8(TBPopPassword->text()), ToUtf8(TBPassword->text()))) {
      TBPopPassword->clear();
    }
    return;
  }
  auto refuse = [this](std::string_view message, QLineEdit* edit) {
    ShowError(this, message);
    edit->setFocus();
    CBSameUserPass->setChecked(false);
  };
  if (TBUserName->text().isEmpty()) return refuse("Please enter a user name.", TBUserName);
  if (TBPassword->text().isEmpty()) return refuse("Please enter a password.", TBPassword);
  if (TBConfirm->text().isEmpty()) return refuse("Please confirm your password.", TBConfirm);
  if (TBPassword->text() != TBConfirm->text()) {
    return refuse("The passwords you have entered do not match.", TBPassword);
  }
  TBPopUserName->setText(TBUserName->text());
  TBPopPassword->setText(TBPassword->text());
}

void TfrmUserProp::ShowHelp() {
  static constexpr const char* kTopics[] = {"users/general", "users/email"};
  const int tab = Tabs->currentIndex();
  OpenHelpPage(tab >= 0 && tab < 2 ? kTopics[tab] : "users/index");
}

bool TfrmUserProp::Refuse(std::string_view message, QLineEdit* edit, bool clear) {
  ShowError(this, message);
  if (clear) edit->clear();
  Tabs->setCurrentIndex(edit == TBPopPort ? 1 : 0);
  edit->setFocus();
  return false;
}

bool TfrmUserProp::CheckFields() {
  const bool accepted = [this] {
    const std::string name = ToUtf8(TBUserName->text());
    if (name.empty())
      return Refuse("Error: You must enter a username to continue.", TBUserName, true);
    if (adding_) {
      const NewUserNameProblem problem = CheckNewUserName(name);
      if (problem == NewUserNameProblem::kReserved || name_taken_(name)) {
        return Refuse("Error: This username already exists, please select a different username.",
                      TBUserName, true);
      }
      if (problem != NewUserNameProblem::kNone || name.size() > TUserRecord::kNameCapacity) {
        return Refuse(
            "Error: A username cannot begin or end with a blank or hold \"/\", \"\\\", \":\" or "
            "invisible characters, please select a different username.",
            TBUserName, true);
      }
    }
    const std::string password = ToUtf8(TBPassword->text());
    const std::string confirm = ToUtf8(TBConfirm->text());
    if (password.empty())
      return Refuse("You must enter a password before you can continue.", TBPassword);
    if (confirm.empty())
      return Refuse("Please confirm your password before continuing.", TBConfirm);
    if (!EqualsIgnoringAsciiCase(password, confirm)) {
      return Refuse(
          "The passwords you have entered do not match, please enter and confirm your password.",
          TBPassword);
    }
    // The POP3 port is a number the record can hold: checked before anything is written.
    if (!IsPortText(TBPopPort->text())) {
      return Refuse("Please enter a numeric value for the server port.", TBPopPort);
    }
    if (adding_ && password.size() < kRecommendedPasswordLength &&
        AskYesNo(this,
                 "For password security, it is recommended that the minimum password length be "
                 "8 characters.\r\rWould you like to change your password?")) {
      TBPassword->setFocus();
      return false;
    }
    return true;
  }();
  // The interval is the installation's, written whatever the checks said.
  ProgramSettings& settings = context_.Settings;
  if (AutoCheckEmails->isChecked() &&
      TBAutoCheckInterval->value() != settings.Config().AutoCheckInterval) {
    settings.SaveAutoCheckInterval(TBAutoCheckInterval->value());
    if (context_.SetEmailTimer) context_.SetEmailTimer();
  }
  return accepted;
}

void TfrmUserProp::ApplyTo(TUserRecord& user) const {
  if (adding_) {
    user.UserName = ToUtf8(TBUserName->text());
    user.UserDir = ToUtf8(TBUserDir->text()).substr(0, TUserRecord::kUserDirCapacity);
  }
  user.Password = ToUtf8(TBPassword->text());
  for (int level = 0; level < 3; ++level) {
    if (PermissionButtons[level]->isChecked()) user.PermissionLevel = level;
  }
  user.AutoCheckEmails = AutoCheckEmails->isChecked();
  user.EmailCheckOnLogin = EmailCheckOnLogin->isChecked();
  user.AutoAddContacts = AutoAddContacts->isChecked();
  user.LeaveEmails = LeaveEmails->isChecked();
  user.EmailDisplayName = ToUtf8(TBEmailDisplayName->text());
  user.EmailAddress = ToUtf8(TBEmailAddress->text());
  user.PopServer = ToUtf8(TBPopServer->text());
  user.PopUserName = ToUtf8(TBPopUserName->text());
  user.PopPassword = ToUtf8(TBPopPassword->text());
  user.PopPort = TBPopPort->text().trimmed().toInt();
}

}  // namespace kestrune
