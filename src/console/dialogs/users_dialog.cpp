// The users dialog's list and its Add, Modify and Delete.
#include "console/dialogs/users_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <filesystem>

#include "console/console_dialogs.h"
#include "console/dialogs/dialog_helpers.h"
#include "console/dialogs/message_boxes.h"
#include "console/dialogs/user_properties_dialog.h"
#include "platform/ascii.h"
#include "settings/program_config.h"
#include "store/mail_store_paths.h"
#include "store/user_list.h"
#include "store/user_names.h"

namespace kestrune {

TfrmUsers::TfrmUsers(ConsoleDialogContext& context, QWidget* parent)
    : QDialog(parent), context_(context) {
  setWindowTitle("Users");
  setMinimumSize(476, 250);
  auto* layout = new QVBoxLayout(this);
  Label1 = new QLabel;
  layout->addWidget(Label1);
  auto* middle = new QHBoxLayout;
  UserList = new QTreeWidget;
  UserList->setColumnCount(3);
  UserList->setHeaderLabels({"User Name", "Email Address", "Permission Level"});
  UserList->setRootIsDecorated(false);
  UserList->setSelectionBehavior(QAbstractItemView::SelectRows);
  UserList->setSelectionMode(QAbstractItemView::SingleSelection);
  UserList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  UserList->setAllColumnsShowFocus(true);
  for (int column = 0; column < 3; ++column) UserList->setColumnWidth(column, 120);
  middle->addWidget(UserList, 1);
  auto* side = new QVBoxLayout;
  AddButton = new QPushButton("Add User");
  DeleteButton = new QPushButton("Delete User");
  ModifyButton = new QPushButton("Modify User");
  for (QPushButton* button : {AddButton, DeleteButton, ModifyButton}) {
    button->setAutoDefault(false);
    side->addWidget(button);
  }
  side->addStretch();
  middle->addLayout(side);
  layout->addLayout(middle);
  auto* buttons = new QDialogButtonBox;
  OkButton = buttons->addButton("Ok", QDialogButtonBox::AcceptRole);
  HelpButton = buttons->addButton("Help", QDialogButtonBox::HelpRole);
  OkButton->setDefault(true);
  layout->addWidget(buttons);
  resize(560, 320);

  connect(AddButton, &QPushButton::clicked, this, &TfrmUsers::AddUser);
  connect(ModifyButton, &QPushButton::clicked, this, &TfrmUsers::ModifyUser);
  connect(DeleteButton, &QPushButton::clicked, this, &TfrmUsers::DeleteUser);
  connect(UserList, &QTreeWidget::itemDoubleClicked, this, [this] { ModifyUser(); });
  connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(HelpButton, &QPushButton::clicked, this, [] { OpenHelpPage("users/index"); });
  auto* help = new QShortcut(QKeySequence::HelpContents, this);
  connect(help, &QShortcut::activated, this, [] { OpenHelpPage("users/index"); });

  users_.Open(context_.Settings.Config().UserDirectories);
  Rebuild();
}

bool TfrmUsers::Reload() {
  // A list that could not be read before is opened again: the file may be back.
  if (users_.IsOpen()) return users_.Reload();
  return users_.Open(context_.Settings.Config().UserDirectories);
}

void TfrmUsers::Rebuild() {
  const QString selected = ToQString(SelectedName());
  UserList->clear();
  const int count = users_.IsOpen() ? users_.GetCount() : 0;
  for (int index = 1; index <= count; ++index) {
    TUserRecord user;
    if (!users_.GetUser(index, user)) continue;
    auto* row = new QTreeWidgetItem(UserList);
    row->setText(0, ToQString(user.UserName));
    row->setText(1, ToQString(user.EmailAddress));
    row->setText(2, user.PermissionLevel == 0 ? "Administrator" : "User");
    if (!selected.isEmpty() && row->text(0) == selected) UserList->setCurrentItem(row);
  }
  Label1->setText(QString("Users: %1").arg(count < 0 ? 0 : count));
}

std::string TfrmUsers::SelectedName() const {
  const QList<QTreeWidgetItem*> selected = UserList->selectedItems();
  return selected.isEmpty() ? std::string() : ToUtf8(selected.front()->text(0));
}

void TfrmUsers::AddUser() {
  TfrmUserProp properties(
      context_, [this](std::string_view name) { return users_.UserExists(name); }, this);
  properties.PrepareAdd();
  if (RunModal(properties) != QDialog::Accepted) return;
  Reload();
  TUserRecord user;
  properties.ApplyTo(user);
  try {
    // The store is made for the account under the file's lock: a name taken meanwhile
    // is refused, and a new account never gets the store of an old one.
    switch (users_.AddUserWithNewStore(user)) {
      case NewAccountResult::kAdded:
        break;
      case NewAccountResult::kNameTaken:
        ShowError(this, "Error: This username already exists, please select a different username.");
        break;
      case NewAccountResult::kNoStore:
        ShowError(this, "Error adding new user information.");
        break;
    }
  } catch (const std::exception&) {
    ShowError(this, "Error adding new user information.");
  }
  Reload();
  Rebuild();
}

void TfrmUsers::ModifyUser() {
  const std::string name = SelectedName();
  if (name.empty()) {
    ShowInformation(this, "Please select a user to modify.");
    return;
  }
  // The account read again from the file; false (said, list rebuilt) when it is gone.
  auto find_again = [this, &name](TUserRecord& user) {
    Reload();
    if (users_.FindUser(name, user)) return true;
    ShowError(this, "Unable to locate selected user.");
    Rebuild();
    return false;
  };
  TUserRecord shown;
  if (!find_again(shown)) return;
  TfrmUserProp properties(
      context_, [](std::string_view) { return false; }, this);
  properties.PrepareModify(shown);
  if (RunModal(properties) != QDialog::Accepted) return;

  // The record as it is now, found again by its name: fields the dialog does not show
  // (and any the web changed while it was open) are kept.
  TUserRecord current;
  if (!find_again(current)) return;
  properties.ApplyTo(current);
  try {
    if (!users_.UpdateUser(name, current)) throw std::runtime_error("not updated");
    users_.Save();
  } catch (const std::exception&) {
    ShowError(this, "Error updating user information.");
  }
  Reload();
  Rebuild();
}

void TfrmUsers::DeleteUser() {
  const std::string name = SelectedName();
  if (name.empty()) {
    ShowInformation(this, "Please select a user to delete.");
    return;
  }
  if (EqualsIgnoringAsciiCase(name, "Admin")) {
    ShowError(this, "You cannont Delete the admin account.");
    return;
  }
  if (!AskYesNo(this,
                "Do you wish to delete this user?\r\rThe users store directories WILL NOT be "
                "deleted.")) {
    return;
  }
  Reload();
  TUserRecord user;
  const bool found = users_.FindUser(name, user);
  bool deleted = false;
  try {
    deleted = found && users_.DeleteUser(name);
    if (deleted) users_.Save();
  } catch (const std::exception&) {
    deleted = false;
  }
  if (!deleted) {
    ShowError(this, "Error deleting user.");
  } else {
    // The store stays on disk, moved aside so that a new account of this name does
    // not inherit the old mail.
    const std::string& users_directory = context_.Settings.Config().UserDirectories;
    if (!MoveMailStoreAside(user.UserDir, users_directory) &&
        IsUserDirInside(user.UserDir, users_directory) &&
        std::filesystem::exists(std::filesystem::path(user.UserDir))) {
      ShowError(this, "The user was deleted; the mail store could not be moved aside.");
    }
  }
  Reload();
  Rebuild();
}

}  // namespace kestrune
