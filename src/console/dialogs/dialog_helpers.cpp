// The online help pages and the file manager, through the desktop's URL handlers.
#include "console/dialogs/dialog_helpers.h"

#include <QBoxLayout>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QUrl>

#include "store/user_list.h"

namespace kestrune {

namespace {
constexpr std::string_view kHelpBase = "https://kestrune.org/help/";
}  // namespace

QLabel* WrappedLabel(const QString& text) {
  auto* label = new QLabel(text);
  label->setWordWrap(true);
  return label;
}

QLineEdit* TextEdit(bool masked) {
  auto* edit = new QLineEdit;
  edit->setMaxLength(static_cast<int>(TUserRecord::kNameCapacity));
  if (masked) edit->setEchoMode(QLineEdit::Password);
  return edit;
}

QLineEdit* PortEdit(const QString& text) {
  auto* edit = new QLineEdit(text);
  edit->setMaxLength(5);
  return edit;
}

bool IsPortText(const QString& text) {
  bool numeric = false;
  const int port = text.trimmed().toInt(&numeric);
  return numeric && port >= 1 && port <= 65535;
}

DialogButtons AddOkCancelHelp(QDialog& dialog, QBoxLayout& layout, std::function<bool()> ok,
                              std::function<void()> help) {
  auto* box = new QDialogButtonBox;
  DialogButtons buttons{box->addButton("Ok", QDialogButtonBox::AcceptRole),
                        box->addButton("Cancel", QDialogButtonBox::RejectRole),
                        box->addButton("Help", QDialogButtonBox::HelpRole)};
  layout.addWidget(box);
  buttons.ok->setDefault(true);
  QObject::connect(buttons.ok, &QPushButton::clicked, &dialog, [&dialog, ok = std::move(ok)] {
    if (ok()) dialog.accept();
  });
  QObject::connect(buttons.cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
  QObject::connect(buttons.help, &QPushButton::clicked, &dialog, help);
  auto* f1 = new QShortcut(QKeySequence::HelpContents, &dialog);
  QObject::connect(f1, &QShortcut::activated, &dialog, help);
  return buttons;
}

void OpenHelpPage(std::string_view topic) {
  QDesktopServices::openUrl(QUrl(ToQString(std::string(kHelpBase) + std::string(topic) + ".html")));
}

void OpenDirectory(const std::filesystem::path& directory) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(ToQString(directory.string())));
}

}  // namespace kestrune
