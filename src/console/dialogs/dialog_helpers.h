// Small pieces every console dialog uses: UTF-8 conversions, the online help pages and
// opening a directory in the desktop's file manager.
#pragma once

#include <QString>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

class QBoxLayout;
class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kestrune {

inline QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
inline std::string ToUtf8(const QString& text) { return text.toUtf8().toStdString(); }

// A label whose text wraps.
QLabel* WrappedLabel(const QString& text);
// A text edit holding what a record's counted string can (255 characters); masked for
// passwords.
QLineEdit* TextEdit(bool masked = false);
// An edit for a port number, with its text.
QLineEdit* PortEdit(const QString& text = {});
// Whether text is a port number, 1 to 65535 (blanks around it allowed).
bool IsPortText(const QString& text);

// The "Ok", "Cancel" and "Help" row under a dialog: Ok accepts when ok() returns true,
// Cancel rejects, Help and F1 call help.
struct DialogButtons {
  QPushButton* ok;
  QPushButton* cancel;
  QPushButton* help;
};
DialogButtons AddOkCancelHelp(QDialog& dialog, QBoxLayout& layout, std::function<bool()> ok,
                              std::function<void()> help);

// Opens the online help page topic ("settings/general", "users", "wizard"...).
void OpenHelpPage(std::string_view topic);
// Opens directory in the desktop's file manager.
void OpenDirectory(const std::filesystem::path& directory);

}  // namespace kestrune
