// The silencing information dialogs, the socket-error and SSL-password repairs and the
// about box.
#include "console/dialogs/small_dialogs.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "console/dialogs/dialog_helpers.h"
#include "console/dialogs/message_boxes.h"
#include "settings/program_config.h"

namespace kestrune {
namespace {

constexpr const char* kPortRefused = "Please enter a port number from 1 to 65535.";

}  // namespace

TfrmInformation::TfrmInformation(Kind kind, ProgramSettings& settings, QWidget* parent)
    : QDialog(parent), NoButton(nullptr), kind_(kind), settings_(settings) {
  auto* layout = new QVBoxLayout(this);
  auto* body = new QHBoxLayout;
  auto* icon = new QLabel;
  const bool question = kind == Kind::kConfirmExit;
  icon->setPixmap(style()
                      ->standardIcon(question ? QStyle::SP_MessageBoxQuestion
                                              : QStyle::SP_MessageBoxInformation)
                      .pixmap(32, 32));
  icon->setAlignment(Qt::AlignTop);
  body->addWidget(icon);
  auto* texts = new QVBoxLayout;
  body->addLayout(texts, 1);
  layout->addLayout(body);

  switch (kind) {
    case Kind::kConfirmExit:
      setWindowTitle("Confirm Exit?");
      texts->addWidget(WrappedLabel("Exiting will shutdown the Kestrune Server,"));
      texts->addWidget(WrappedLabel("Do you wish to continue?"));
      break;
    case Kind::kMinimize:
      setWindowTitle("Information");
      texts->addWidget(WrappedLabel(
          "Kestrune is now minimizing to the system tray, if you wish to close this program you "
          "must click the \"File\" menu then click \"Exit\"."));
      break;
    case Kind::kSendReceive:
      setWindowTitle("Information");
      texts->addWidget(
          WrappedLabel("Receiving of emails will only be processed on users who are set to check "
                       "automatically, not when they login through WebMail"));
      break;
    case Kind::kCheckMailsLogin:
      setWindowTitle("Information");
      texts->addWidget(WrappedLabel(
          "Enabling \"Check for new Emails at WebMail Login\" can increase the time to login "
          "over the Internet considerably, depending on your Internet connection speed."));
      break;
  }
  DontAskAgain = new QCheckBox(question ? "Dont ask me again" : "Dont tell me again");
  layout->addWidget(DontAskAgain);

  auto* buttons = new QDialogButtonBox;
  if (question) {
    YesButton = buttons->addButton("Yes", QDialogButtonBox::YesRole);
    NoButton = buttons->addButton("No", QDialogButtonBox::NoRole);
    YesButton->setAutoDefault(false);
    connect(NoButton, &QPushButton::clicked, this, &QDialog::reject);
  } else {
    YesButton = buttons->addButton("Ok", QDialogButtonBox::AcceptRole);
    YesButton->setDefault(true);
  }
  layout->addWidget(buttons);
  if (NoButton != nullptr) {
    // "No" is the safe answer: Enter and Escape both give it.
    NoButton->setDefault(true);
    NoButton->setFocus();
  }
  // Only the named button silences: "No" (and closing the window) never does.
  connect(YesButton, &QPushButton::clicked, this, [this] {
    if (DontAskAgain->isChecked()) {
      switch (kind_) {
        case Kind::kConfirmExit:
          settings_.ClearExitWarning();
          break;
        case Kind::kMinimize:
          settings_.ClearMinimizeWarning();
          break;
        case Kind::kSendReceive:
          settings_.ClearSendRecieveWarning();
          break;
        case Kind::kCheckMailsLogin:
          settings_.ClearLoginCheckMailWarning();
          break;
      }
    }
    accept();
  });
  setMinimumWidth(380);
}

TfrmSocketError::TfrmSocketError(ProgramSettings& settings, QWidget* parent)
    : QDialog(parent), settings_(settings) {
  setWindowTitle("Error");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(WrappedLabel(
      "Kestrune encountered an Error while attempting to bind to the specified web server "
      "ports. The ports could be in use or unavailable. Please enter the port numbers you would "
      "like the web server to operate on in the box provided below."));
  auto* form = new QFormLayout;
  const TProgramConfig& c = settings_.Config();
  TBPort = PortEdit(QString::number(c.Port));
  form->addRow("HTTP Listening Port:", TBPort);
  SSLPortLabel = new QLabel("HTTPS Listening Port:");
  TBSSLPort = PortEdit(QString::number(c.SSLPort));
  form->addRow(SSLPortLabel, TBSSLPort);
  SSLPortLabel->setVisible(c.EnableSSL);
  TBSSLPort->setVisible(c.EnableSSL);
  layout->addLayout(form);
  auto* buttons = new QDialogButtonBox;
  OkButton = buttons->addButton("Ok", QDialogButtonBox::AcceptRole);
  OkButton->setDefault(true);
  layout->addWidget(buttons);
  connect(OkButton, &QPushButton::clicked, this, &TfrmSocketError::Ok);
  setMinimumWidth(420);
}

void TfrmSocketError::Ok() {
  // Both ports are checked before either is written.
  if (!IsPortText(TBPort->text())) {
    ShowError(this, kPortRefused);
    TBPort->setFocus();
    return;
  }
  // The hidden HTTPS port holds the stored number and is written unchanged.
  if (settings_.Config().EnableSSL && !IsPortText(TBSSLPort->text())) {
    ShowError(this, kPortRefused);
    TBSSLPort->setFocus();
    return;
  }
  settings_.SaveListenerPorts(ToUtf8(TBPort->text()), ToUtf8(TBSSLPort->text()));
  accept();
}

TfrmSSLPassword::TfrmSSLPassword(ProgramSettings& settings, QWidget* parent)
    : QDialog(parent), settings_(settings) {
  setWindowTitle("Error");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(WrappedLabel(
      "Kestrune encountered an Error while loading the SSL Certificate, the password supplied "
      "is either not set or incorrect."));
  // The certificate is made for each installation at its first start: there is no
  // shared default password to name here.
  layout->addWidget(WrappedLabel(
      "The SSL Certificate of this installation was created for it at its first start. If you "
      "replaced it with a certificate of your own, enter the password of its private key in the "
      "box provided below."));
  layout->addWidget(WrappedLabel("You can also disable SSL support if wish."));
  EnableSSL = new QCheckBox("Enable SSL (HTTPS)");
  layout->addWidget(EnableSSL);
  auto* form = new QFormLayout;
  PasswordLabel = new QLabel("SSL Certificate Password:");
  SSLCertPassword = new QLineEdit;
  SSLCertPassword->setEchoMode(QLineEdit::Password);
  form->addRow(PasswordLabel, SSLCertPassword);
  layout->addLayout(form);
  auto* buttons = new QDialogButtonBox;
  OkButton = buttons->addButton("Ok", QDialogButtonBox::AcceptRole);
  OkButton->setDefault(true);
  layout->addWidget(buttons);

  const TProgramConfig& c = settings_.Config();
  EnableSSL->setChecked(c.EnableSSL);
  SSLCertPassword->setText(ToQString(c.SSLPassword));
  auto show_password = [this](bool on) {
    PasswordLabel->setVisible(on);
    SSLCertPassword->setVisible(on);
  };
  show_password(c.EnableSSL);
  connect(EnableSSL, &QCheckBox::toggled, this, show_password);
  connect(OkButton, &QPushButton::clicked, this, &TfrmSSLPassword::Ok);
  setMinimumWidth(440);
}

void TfrmSSLPassword::Ok() {
  const CheckedSetting checked =
      CheckSettingText(*FindSettingDefinition("SSLPassword"), ToUtf8(SSLCertPassword->text()));
  if (!checked.value) {
    ShowError(this, "The SSL Certificate Password holds characters that cannot be stored.");
    SSLCertPassword->setFocus();
    return;
  }
  settings_.SaveSslSettings(EnableSSL->isChecked(), ToUtf8(SSLCertPassword->text()));
  accept();
}

}  // namespace kestrune
