// The contacts page TIWEditContacts and the recipient picker TIWSelContacts. Both list
// the active contacts afresh at every render and remember which contact each row showed
// (its position, name and address); every action finds that contact again by name and
// address under the file's lock, because each save compacts and sorts Contacts.Dat and a
// position may name another contact by then.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "web/app/page_furniture.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/grid.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

class TContactsDB;
class TUserSession;

TIWPageClass EditContactsPageClass();
TIWPageClass SelContactsPageClass();

// Shows the recipient picker for the session's composition; `from` is the compose page,
// which stays in the session and is shown again when the picker closes.
void ShowRecipientPicker(TIWAppForm& from);

// A contact as a page showed it.
struct ShownContact {
  int position = 0;  // in Contacts.Dat when shown, 1-based
  std::string name;
  std::string address;
};

// The position of the active contact with exactly that name and address: the shown
// position when it still holds it, else the first such contact; -1 when none is left.
int LocateContact(const TContactsDB& contacts, const ShownContact& shown);

// Whether a name or address may be stored: no line break, control character, "," or ";"
// (they would split or break a recipient list and a header) and at most 255 bytes.
bool IsStorableContactText(std::string_view text);

class TIWEditContacts : public TIWAppForm {
 public:
  TIWEditContacts(TIWApplication& session, std::string name, std::string class_name);
  static TIWPageClass PageClass();

  TIWLabel& IWUserName;
  TIWGrid& IWContactsList;
  TIWLabel& IWNoContactsList;
  TIWEdit& IWContactName;
  TIWEdit& IWContactAddress;
  TIWButton& IWContactMeth;
  TIWButton& IWEdit;
  TIWButton& IWDelete;
  TIWButton& IWSendEmail;
  TIWImageFile& IWAddContact;
  TIWImageFile& IWDelContact;
  TIWButton& IWCancel;
  PageFurniture Furniture;

  bool UpdateMode() const { return update_mode_; }

 private:
  void Render();
  void FillList(TUserSession& state);
  void EditContact(const ShownContact& shown);
  void CellClick(int row);
  void EditClick();
  void AddContactClick();
  void ContactMethClick();
  void DeleteClick();
  void SendEmailClick();
  // The contacts of the rows whose box is checked, in row order.
  std::vector<ShownContact> Checked() const;

  std::vector<ShownContact> shown_;  // row r of the list is shown_[r - 1]
  bool update_mode_ = false;
  ShownContact edited_;  // the contact the boxes hold in Update mode
};

class TIWSelContacts : public TIWAppForm {
 public:
  TIWSelContacts(TIWApplication& session, std::string name, std::string class_name);
  static TIWPageClass PageClass();

  TIWLabel& IWUserName;
  TIWGrid& IWRepList;
  TIWLabel& IWNoReps;
  // A search box (shown by the page's script) that narrows the rows to matching contacts.
  TIWLabel& IWContactSearch;
  TIWButton& IWOkay;
  TIWButton& IWCancel;
  PageFurniture Furniture;

 private:
  void Render();
  void OkayClick();
  void CancelClick();

  std::vector<ShownContact> shown_;
};

}  // namespace kestrune
