// Stand-ins for the console's dialogs until they are built: each says so in a plain
// message box and changes nothing.
#include <QMessageBox>

#include "console/console_dialogs.h"
#include "host/command_line.h"

namespace kestrune {
namespace {

void NotBuilt(QWidget* parent, const QString& what, const QString& instead = {}) {
  QString text = what + " is not built yet.";
  if (!instead.isEmpty()) text += "\n\n" + instead;
  QMessageBox::information(parent, "Kestrune", text);
}

}  // namespace

bool ShowSettingsDialog(QWidget* parent, ConsoleDialogContext&) {
  NotBuilt(parent, "The settings dialog", "Use: kestrune settings list | get | set");
  return false;
}

void ShowUsersDialog(QWidget* parent, ConsoleDialogContext&) {
  NotBuilt(parent, "The users dialog", "Use: kestrune users list | add | delete | passwd");
}

bool RunFirstRunWizard(QWidget* parent, ConsoleDialogContext&) {
  NotBuilt(parent, "The first-run wizard",
           "The user database holds no user. Create the administrator with\n"
           "kestrune setup (or kestrune --headless on a terminal), then start the console "
           "again.");
  return false;
}

bool ConfirmExit(QWidget* parent, ConsoleDialogContext&) {
  return QMessageBox::question(parent, "Kestrune", "Exit Kestrune?",
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void ShowMinimizeInformation(QWidget* parent, ConsoleDialogContext&) {
  NotBuilt(parent, "The minimize information dialog");
}

void ShowSendReceiveInformation(QWidget* parent, ConsoleDialogContext&) {
  NotBuilt(parent, "The send and receive information dialog");
}

bool RepairPortsAfterBindFailure(QWidget* parent, ConsoleDialogContext&) {
  NotBuilt(parent, "The ports dialog");
  return false;
}

bool RepairSslAfterKeyFailure(QWidget* parent, ConsoleDialogContext&) {
  NotBuilt(parent, "The SSL password dialog");
  return false;
}

void ShowAboutBox(QWidget* parent, ConsoleDialogContext&) {
  QMessageBox::about(parent, "About Kestrune",
                     QString("Kestrune ") + QString::fromUtf8(kVersion.data(), kVersion.size()) +
                         "\nWeb-mail gateway server.");
}

}  // namespace kestrune
