// The console's dialogs as the window and the start-up path call them. Each function
// shows its dialog modally, centred, and returns when it closed; settings the dialog
// changes are written through ProgramSettings (store and record) before it returns.
#pragma once

#include <filesystem>
#include <functional>

class QWidget;

namespace kestrune {

class ProgramSettings;

struct ConsoleDialogContext {
  ProgramSettings& Settings;   // the running program's settings
  std::filesystem::path Home;  // the program directory (Users.Dat, mail stores, certificates)
  // Sets the mail timer again after a dialog changed AutoCheckEmails or AutoCheckInterval
  // (the user properties' auto-check question and interval); may be empty.
  std::function<void()> SetEmailTimer = {};
};

// Settings: true when the values were written (the window then sets its timers again).
bool ShowSettingsDialog(QWidget* parent, ConsoleDialogContext& context);
// Users, with user properties for Add and Modify; the caller reloaded the user database.
void ShowUsersDialog(QWidget* parent, ConsoleDialogContext& context);
// First-run wizard on an empty user database: true when the administrator account was
// created, false when cancelled (nothing written).
bool RunFirstRunWizard(QWidget* parent, ConsoleDialogContext& context);
// Confirm exit (while ExitWarning is set): true for Yes.
bool ConfirmExit(QWidget* parent, ConsoleDialogContext& context);
// The information dialogs shown while their warning setting is set.
void ShowMinimizeInformation(QWidget* parent, ConsoleDialogContext& context);
void ShowSendReceiveInformation(QWidget* parent, ConsoleDialogContext& context);
// Repairs after a failed start: true when the administrator changed the settings with
// OK (the caller then says "You need to restart Kestrune for the changes to take effect"
// and ends the run).
bool RepairPortsAfterBindFailure(QWidget* parent, ConsoleDialogContext& context);
bool RepairSslAfterKeyFailure(QWidget* parent, ConsoleDialogContext& context);
void ShowAboutBox(QWidget* parent, ConsoleDialogContext& context);

}  // namespace kestrune
