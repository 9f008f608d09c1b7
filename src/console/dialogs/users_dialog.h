// The users dialog: the accounts of the user database with Add, Modify and Delete. It
// works on its own copy of Users.Dat, read when the dialog opens and again before each
// change, and every change is saved at once under the file's lock (merged with changes
// the web pages or the command line made meanwhile).
#pragma once

#include <QDialog>
#include <string>

#include "store/user_list.h"

class QLabel;
class QPushButton;
class QTreeWidget;

namespace kestrune {

struct ConsoleDialogContext;
class TfrmUserProp;

class TfrmUsers : public QDialog {
  Q_OBJECT

 public:
  TfrmUsers(ConsoleDialogContext& context, QWidget* parent = nullptr);

  // Rebuilds the list from the user database.
  void Rebuild();
  void AddUser();
  void ModifyUser();
  void DeleteUser();

  QLabel* Label1;
  QTreeWidget* UserList;
  QPushButton* AddButton;
  QPushButton* DeleteButton;
  QPushButton* ModifyButton;
  QPushButton* OkButton;
  QPushButton* HelpButton;

 private:
  // The user name of the selected row; empty when none is selected.
  std::string SelectedName() const;
  bool Reload();

  ConsoleDialogContext& context_;
  TUserList users_;
};

}  // namespace kestrune
