// The dialogs as the console window and the start-up path call them.
#include "console/console_dialogs.h"

#include <QWidget>

#include "console/dialogs/about_box.h"
#include "console/dialogs/first_run_wizard.h"
#include "console/dialogs/message_boxes.h"
#include "console/dialogs/settings_dialog.h"
#include "console/dialogs/small_dialogs.h"
#include "console/dialogs/users_dialog.h"
#include "settings/program_config.h"
#include "store/user_list.h"

namespace kestrune {
namespace {

// Centred on the screen, as every console dialog is.
int ShowCentred(QDialog& dialog) {
  dialog.adjustSize();
  return RunModal(dialog);
}

bool ShowInformationDialog(TfrmInformation::Kind kind, QWidget* parent,
                           ConsoleDialogContext& context) {
  TfrmInformation dialog(kind, context.Settings, parent);
  return ShowCentred(dialog) == QDialog::Accepted;
}

}  // namespace

bool ShowSettingsDialog(QWidget* parent, ConsoleDialogContext& context) {
  TfrmSettings dialog(context.Settings, parent);
  ShowCentred(dialog);
  return dialog.Written();
}

void ShowUsersDialog(QWidget* parent, ConsoleDialogContext& context) {
  TfrmUsers dialog(context, parent);
  ShowCentred(dialog);
}

bool RunFirstRunWizard(QWidget* parent, ConsoleDialogContext& context) {
  TfrmFirstRun wizard(context.Settings, parent);
  if (ShowCentred(wizard) != QDialog::Accepted) return false;
  TUserList users;
  if (!users.Open(context.Settings.Config().UserDirectories)) {
    ShowError(parent,
              "The user database could not be opened; the \"Admin\" account was not created.");
    return false;
  }
  try {
    ApplyFirstStart(wizard.Values(), context.Settings, users);
  } catch (const std::exception& failure) {
    ShowError(parent, failure.what());
    return false;
  }
  return true;  // the caller then lets browsers in (ServerReady)
}

bool ConfirmExit(QWidget* parent, ConsoleDialogContext& context) {
  return ShowInformationDialog(TfrmInformation::Kind::kConfirmExit, parent, context);
}

void ShowMinimizeInformation(QWidget* parent, ConsoleDialogContext& context) {
  ShowInformationDialog(TfrmInformation::Kind::kMinimize, parent, context);
}

void ShowSendReceiveInformation(QWidget* parent, ConsoleDialogContext& context) {
  ShowInformationDialog(TfrmInformation::Kind::kSendReceive, parent, context);
}

bool RepairPortsAfterBindFailure(QWidget* parent, ConsoleDialogContext& context) {
  TfrmSocketError dialog(context.Settings, parent);
  return ShowCentred(dialog) == QDialog::Accepted;
}

bool RepairSslAfterKeyFailure(QWidget* parent, ConsoleDialogContext& context) {
  TfrmSSLPassword dialog(context.Settings, parent);
  return ShowCentred(dialog) == QDialog::Accepted;
}

void ShowAboutBox(QWidget* parent, ConsoleDialogContext& context) {
  TfrmAbout dialog(parent);
  ShowCentred(dialog);
}

}  // namespace kestrune
