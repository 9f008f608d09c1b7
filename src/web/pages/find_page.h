// The find page TIWFind: the signed-in user's messages of every folder found by the
// recipient, sender and subject typed (a substring of the index record's field, letter
// case ignored) and by the words of the whole message ("Text", through the full-text
// index), listed in a grid whose sender cell opens the message in the view page.
#pragma once

#include <string>
#include <vector>

#include "web/app/mail_folders.h"
#include "web/app/page_furniture.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/grid.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

class TUserSession;
struct FindCriteria;
struct FoundMessage;

// The find page's class, registered with the session's pages.
TIWPageClass FindPageClass();

// Owned by its session and used by the thread serving that session's request.
class TIWFind : public TIWAppForm {
 public:
  TIWFind(TIWApplication& session, std::string name, std::string class_name);
  static TIWPageClass PageClass();

  TIWLabel& IWUserName;
  TIWEdit& IWFindTo;
  TIWEdit& IWFindFrom;
  TIWEdit& IWFindSubject;
  TIWEdit& IWFindText;
  TIWButton& IWSearch;
  TIWButton& IWNewSearch;
  TIWGrid& IWSearchResults;
  TIWLabel& IWNoMsgs;
  TIWLabel& IWTextNote;  // the full-text index could not be searched
  PageFurniture Furniture;

 private:
  void Render();
  FindCriteria Criteria() const;
  // Rebuilds the grid for the criteria: the header row, then one row per match.
  void RefreshData(TUserSession& state, const FindCriteria& criteria);
  void FillRow(int row, const FoundMessage& found);
  void StyleCell(TIWGridCell& cell, int row) const;
  void NewSearchClick();
  void OpenResult(int row);

  std::vector<ShownMessage> shown_;  // row r of the grid showed shown_[r - 1]
};

}  // namespace kestrune
