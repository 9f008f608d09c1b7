// The first-run wizard's panels, its Next and Previous, and the checks of each step.
#include "console/dialogs/first_run_wizard.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "console/dialogs/dialog_helpers.h"
#include "console/dialogs/message_boxes.h"
#include "console/dialogs/pop_connection_test.h"
#include "platform/ascii.h"
#include "settings/program_config.h"
#include "store/user_list.h"

namespace kestrune {
namespace {

constexpr std::size_t kRecommendedPasswordLength = 8;
constexpr const char* kNumericPort = "Please enter a numeric value for the server port.";

// A host name or address as a mail server's: letters, digits, ".", "-", "_", and ":"
// or brackets of an IPv6 address; empty passes (the caller decides whether it may be).
bool IsHostName(const QString& text) {
  for (const QChar c : text) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || QStringLiteral(".-_:[]").contains(c);
    if (!allowed) return false;
  }
  return true;
}

// Empty, or something@domain without blanks.
bool IsPlausibleAddress(const QString& text) {
  if (text.isEmpty()) return true;
  const qsizetype at = text.lastIndexOf('@');
  return at > 0 && at < text.size() - 1 && !text.contains(' ');
}

QWidget* Panel(std::initializer_list<QWidget*> widgets, QLayout* form = nullptr) {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  for (QWidget* widget : widgets) layout->addWidget(widget);
  if (form != nullptr) layout->addLayout(form);
  layout->addStretch();
  return page;
}

}  // namespace

TfrmFirstRun::TfrmFirstRun(ProgramSettings& settings, QWidget* parent)
    : QDialog(parent), settings_(settings) {
  setWindowTitle("Welcome");
  auto* layout = new QVBoxLayout(this);
  auto* heading = new QLabel("Welcome to Kestrune.");
  QFont big = heading->font();
  big.setPointSizeF(big.pointSizeF() * 1.5);
  big.setBold(true);
  heading->setFont(big);
  layout->addWidget(heading);
  layout->addSpacing(6);

  Panels = new QStackedWidget;
  // 0: welcome
  Panels->addWidget(Panel(
      {WrappedLabel("This is the first time you have run Kestrune,"),
       WrappedLabel(
           "this wizard creates the administrator account and sets up the SMTP server "
           "through which every user's mail is sent. WebMail users are asked to wait until "
           "it is finished."),
       WrappedLabel("Help is available at every step through the \"Help\" button; it opens the "
                    "online help and needs an Internet connection.")}));
  // 1: the Admin password
  auto* password_form = new QFormLayout;
  AdminPassword = TextEdit(true);
  AdminConfirm = TextEdit(true);
  password_form->addRow("Password:", AdminPassword);
  password_form->addRow("Confirm:", AdminConfirm);
  Panels->addWidget(Panel(
      {WrappedLabel("A user named \"Admin\" is created now: the administrator of this server, who "
                    "logs in to this console and to WebMail."),
       WrappedLabel(
           "Choose its password and enter it twice. Do not forget it: without it nobody can "
           "manage this server.")},
      password_form));
  // 2: the account question
  RGYes = new QRadioButton("Yes");
  RGNo = new QRadioButton("No");
  RGYes->setChecked(true);
  Panels->addWidget(
      Panel({WrappedLabel("Would you like to setup a Email Account for the \"Admin\" user now?"),
             RGYes, RGNo}));
  // 3: e-mail identity
  auto* identity_form = new QFormLayout;
  DisplayName = TextEdit();
  EmailAddress = TextEdit();
  identity_form->addRow(WrappedLabel("The name shown as the sender of your messages."));
  identity_form->addRow("Display Name:", DisplayName);
  identity_form->addRow(
      WrappedLabel("The address your messages are sent from and replies come back to."));
  identity_form->addRow("Email Address:", EmailAddress);
  Panels->addWidget(Panel({}, identity_form));
  // 4: POP3 account
  auto* pop_form = new QFormLayout;
  TBPopServer = TextEdit();
  TBPopPort = PortEdit("110");
  TBPopUserName = TextEdit();
  TBPopPassword = TextEdit(true);
  pop_form->addRow("Pop3 Server:", TBPopServer);
  pop_form->addRow("Server Port:", TBPopPort);
  pop_form->addRow("Pop3 User Name:", TBPopUserName);
  pop_form->addRow("Pop3 Password:", TBPopPassword);
  TestConnection = new QPushButton("Test Connection");
  TestConnection->setAutoDefault(false);
  auto* test_row = new QHBoxLayout;
  test_row->addWidget(TestConnection);
  test_row->addStretch();
  pop_form->addRow("", test_row);
  Panels->addWidget(
      Panel({WrappedLabel("Please enter your Email Accounts Pop3 Server information in "
                          "the boxes provided below.")},
            pop_form));
  // 5: SMTP server
  auto* smtp_form = new QFormLayout;
  SmtpServer = TextEdit();
  SmtpPort = PortEdit("25");
  SmtpAuthType = new QComboBox;
  SmtpAuthType->addItems({"None", "Simple Login"});
  SmtpUserNameLabel = new QLabel("SMTP User Name:");
  SmtpUserName = TextEdit();
  SmtpPasswordLabel = new QLabel("SMTP Password:");
  SmtpPassword = TextEdit(true);
  smtp_form->addRow("Smtp Server:", SmtpServer);
  smtp_form->addRow("Server Port:", SmtpPort);
  smtp_form->addRow("Authentication Type:", SmtpAuthType);
  smtp_form->addRow(SmtpUserNameLabel, SmtpUserName);
  smtp_form->addRow(SmtpPasswordLabel, SmtpPassword);
  Panels->addWidget(
      Panel({WrappedLabel("Please enter your SMTP Server details below, the SMTP Server "
                          "entered here is common to all users.")},
            smtp_form));
  layout->addWidget(Panels, 1);

  ProceedText = new QLabel("Click the \"Next\" button to proceed.");
  layout->addWidget(ProceedText);
  auto* buttons = new QHBoxLayout;
  CancelButton = new QPushButton("Cancel");
  PreviousButton = new QPushButton("Previous");
  NextButton = new QPushButton("Next");
  HelpButton = new QPushButton("Help");
  for (QPushButton* button : {CancelButton, PreviousButton, HelpButton}) {
    button->setAutoDefault(false);
  }
  NextButton->setDefault(true);
  buttons->addWidget(HelpButton);
  buttons->addStretch();
  buttons->addWidget(CancelButton);
  buttons->addWidget(PreviousButton);
  buttons->addWidget(NextButton);
  layout->addLayout(buttons);

  auto show_login = [this] {
    const bool login = SmtpAuthType->currentIndex() == 1;
    for (QWidget* w :
         {static_cast<QWidget*>(SmtpUserNameLabel), static_cast<QWidget*>(SmtpUserName),
          static_cast<QWidget*>(SmtpPasswordLabel), static_cast<QWidget*>(SmtpPassword)}) {
      w->setVisible(login);
    }
  };
  show_login();
  connect(SmtpAuthType, &QComboBox::currentIndexChanged, this, show_login);
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
  connect(PreviousButton, &QPushButton::clicked, this, &TfrmFirstRun::Previous);
  connect(NextButton, &QPushButton::clicked, this, &TfrmFirstRun::Next);
  connect(HelpButton, &QPushButton::clicked, this, &TfrmFirstRun::ShowHelp);
  auto* help = new QShortcut(QKeySequence::HelpContents, this);
  connect(help, &QShortcut::activated, this, &TfrmFirstRun::ShowHelp);
  ConnectionTest = new PopConnectionTest(this, TestConnection,
                                         {TBPopServer, TBPopPort, TBPopUserName, TBPopPassword},
                                         &settings_.Config().ServerTimeOut);
  connect(this, &QDialog::finished, ConnectionTest, &PopConnectionTest::Cancel);
  setMinimumSize(480, 360);
  ShowStep(0);
}

void TfrmFirstRun::ShowStep(int step) {
  step_ = step;
  Panels->setCurrentIndex(step);
  PreviousButton->setEnabled(step > 0);
  NextButton->setText(step == kLastStep ? "Finish" : "Next");
  ProceedText->setVisible(step != kLastStep);
  QWidget* first[] = {NextButton, AdminPassword, RGYes, DisplayName, TBPopServer, SmtpServer};
  first[step]->setFocus();
}

bool TfrmFirstRun::Refuse(std::string_view message, QLineEdit* edit) {
  ShowError(this, message);
  edit->setFocus();
  return false;
}

void TfrmFirstRun::Next() {
  switch (step_) {
    case 0:
      return ShowStep(1);
    case 1: {
      const std::string password = ToUtf8(AdminPassword->text());
      const std::string confirm = ToUtf8(AdminConfirm->text());
      if (password.empty()) {
        Refuse("You must enter a password before you can continue.", AdminPassword);
        return;
      }
      if (confirm.empty()) {
        Refuse("Please confirm your password before continuing.", AdminConfirm);
        return;
      }
      if (password.size() < kRecommendedPasswordLength &&
          AskYesNo(this,
                   "For password security, it is recommended that the minimum password length "
                   "be 8 characters.\r\rWould you like to change your password?")) {
        AdminPassword->setFocus();
        return;
      }
      if (!EqualsIgnoringAsciiCase(password, confirm)) {
        Refuse(
            "The passwords you have entered do not match, please enter and confirm your "
            "password.",
            AdminPassword);
        return;
      }
      return ShowStep(2);
    }
    case 2:
      return ShowStep(RGYes->isChecked() ? 3 : 5);
    case 3:
      if (!IsPlausibleAddress(EmailAddress->text().trimmed())) {
        Refuse("Please enter an email address such as name@example.com, or leave it empty.",
               EmailAddress);
        return;
      }
      return ShowStep(4);
    case 4:
      if (!IsHostName(TBPopServer->text().trimmed())) {
        Refuse("Please check the spelling of your pop server address.", TBPopServer);
        return;
      }
      if (!IsPortText(TBPopPort->text())) {
        Refuse(kNumericPort, TBPopPort);
        return;
      }
      return ShowStep(5);
    case kLastStep:
      if (SmtpServer->text().trimmed().isEmpty()) {
        Refuse("You must enter a SMTP Server address before you can continue.", SmtpServer);
        return;
      }
      if (!IsHostName(SmtpServer->text().trimmed())) {
        Refuse("Please check the spelling of your SMTP server address.", SmtpServer);
        return;
      }
      if (!IsPortText(SmtpPort->text())) {
        Refuse(kNumericPort, SmtpPort);
        return;
      }
      accept();
      return;
  }
}

void TfrmFirstRun::Previous() {
  if (step_ == 0) return;
  ShowStep(step_ == kLastStep && RGNo->isChecked() ? 2 : step_ - 1);
}

void TfrmFirstRun::ShowHelp() {
  static constexpr const char* kTopics[] = {"wizard/index",    "wizard/index", "wizard/account",
                                            "wizard/identity", "wizard/pop3",  "wizard/smtp"};
  OpenHelpPage(kTopics[step_]);
}

FirstStartValues TfrmFirstRun::Values() const {
  FirstStartValues values;
  values.admin_password = ToUtf8(AdminPassword->text());
  values.display_name = ToUtf8(DisplayName->text());
  values.email_address = ToUtf8(EmailAddress->text().trimmed());
  values.pop_server = ToUtf8(TBPopServer->text().trimmed());
  values.pop_port = ToUtf8(TBPopPort->text().trimmed());
  values.pop_user = ToUtf8(TBPopUserName->text());
  values.pop_password = ToUtf8(TBPopPassword->text());
  values.smtp.SmtpServer = ToUtf8(SmtpServer->text().trimmed());
  values.smtp.SmtpPort = ToUtf8(SmtpPort->text().trimmed());
  values.smtp.SmtpAuthType = SmtpAuthType->currentIndex();
  if (values.smtp.SmtpAuthType == 1) {
    values.smtp.SmtpUserName = ToUtf8(SmtpUserName->text());
    values.smtp.SmtpPassword = ToUtf8(SmtpPassword->text());
  }
  return values;
}

}  // namespace kestrune
