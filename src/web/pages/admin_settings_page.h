// The administrator's page TIWAdminSettings: the list of accounts (open one on the user
// settings page, start a new one, delete the checked ones) and two switches of the
// server, self-registration and the "Suggestions" link. Every action first reads the
// acting user's record again: a user demoted or deleted meanwhile can no longer act.
#pragma once

#include <string>
#include <vector>

#include "web/app/page_furniture.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/grid.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

class TUserSession;

TIWPageClass AdminSettingsPageClass();

class TIWAdminSettings : public TIWAppForm {
 public:
  TIWAdminSettings(TIWApplication& session, std::string name, std::string class_name);
  static TIWPageClass PageClass();

  TIWLabel& IWUserName;
  TIWImageFile& IWAddUser;
  TIWImageFile& IWDelUser;
  TIWGrid& IWUsers;
  TIWCheckBox& IWAllowWebReg;
  TIWCheckBox& IWShowSuggest;
  PageFurniture Furniture;

 private:
  // An account as a row showed it.
  struct ShownAccount {
    int index = 0;  // in Users.Dat when shown, 1-based
    std::string name;
    std::string user_dir;
  };

  void Render();
  void FillGrid(TUserSession& state);
  void CellClick(int row, int column);
  void AddUserClick();
  void DelUserClick();
  void SwitchClick(bool web_registration);
  // The session's state when its user may act as administrator now; else nullptr (and
  // the user is sent to the home page).
  TUserSession* Administrator();

  std::vector<ShownAccount> shown_;  // row r of the grid is shown_[r - 1]
};

}  // namespace kestrune
