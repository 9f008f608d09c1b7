// Modal message boxes for the dialogs, replaceable by the tests' scripted answers.
#include "console/dialogs/message_boxes.h"

#include <QDialog>
#include <QMessageBox>

namespace kestrune {
namespace {

constexpr const char* kTitle = "Kestrune";

class MessageBoxPrompts : public DialogPrompts {
 public:
  void Show(QWidget* parent, BoxKind kind, const QString& text) override {
    switch (kind) {
      case BoxKind::kInformation:
        QMessageBox::information(parent, kTitle, text);
        return;
      case BoxKind::kWarning:
        QMessageBox::warning(parent, kTitle, text);
        return;
      case BoxKind::kError:
        QMessageBox::critical(parent, kTitle, text);
        return;
    }
  }
  bool AskYesNo(QWidget* parent, const QString& text) override {
    return QMessageBox::question(parent, kTitle, text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  }
};

MessageBoxPrompts message_boxes;
DialogPrompts* installed = nullptr;
std::function<int(QDialog&)> modal_runner;

}  // namespace

DialogPrompts& Prompts() { return installed != nullptr ? *installed : message_boxes; }

void SetDialogPrompts(DialogPrompts* prompts) { installed = prompts; }

int RunModal(QDialog& dialog) { return modal_runner ? modal_runner(dialog) : dialog.exec(); }

void SetModalRunner(std::function<int(QDialog&)> runner) { modal_runner = std::move(runner); }

QString DialogText(std::string_view text) {
  QString out = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return out;
}

}  // namespace kestrune
