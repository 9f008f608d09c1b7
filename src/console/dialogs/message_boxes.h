// The message boxes and Yes/No questions the dialogs show, behind one small interface so
// that the dialogs' tests can answer them. Texts use "\r" for a line break, as the
// operator messages do.
#pragma once

#include <QString>
#include <functional>
#include <string_view>

class QDialog;
class QWidget;

namespace kestrune {

enum class BoxKind { kInformation, kWarning, kError };

class DialogPrompts {
 public:
  virtual ~DialogPrompts() = default;
  virtual void Show(QWidget* parent, BoxKind kind, const QString& text) = 0;
  // True for Yes.
  virtual bool AskYesNo(QWidget* parent, const QString& text) = 0;
};

// The prompts in use: modal QMessageBox-es unless SetDialogPrompts installed others.
DialogPrompts& Prompts();
// nullptr restores the message boxes. The caller keeps prompts alive while installed.
void SetDialogPrompts(DialogPrompts* prompts);

// Shows a dialog modally (exec) and returns its result. The tests install a runner that
// fills and closes the dialog instead; an empty function restores exec.
int RunModal(QDialog& dialog);
void SetModalRunner(std::function<int(QDialog&)> runner);

// text with every "\r" as a line break, from UTF-8.
QString DialogText(std::string_view text);

// Shorthands.
inline void ShowInformation(QWidget* parent, std::string_view text) {
  Prompts().Show(parent, BoxKind::kInformation, DialogText(text));
}
inline void ShowWarning(QWidget* parent, std::string_view text) {
  Prompts().Show(parent, BoxKind::kWarning, DialogText(text));
}
inline void ShowError(QWidget* parent, std::string_view text) {
  Prompts().Show(parent, BoxKind::kError, DialogText(text));
}
inline bool AskYesNo(QWidget* parent, std::string_view text) {
  return Prompts().AskYesNo(parent, DialogText(text));
}

}  // namespace kestrune
