// The five mail folder pages: TIWInbox, TIWOutbox, TIWSent, TIWSaved and TIWDeleted. One
// page class, TIWFolderPage, driven by a description of each folder (its Status values,
// columns, toolbar actions and template), lists one folder a page of rows at a time and
// applies the toolbar's actions to the checked rows it showed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "web/app/action_feedback.h"
#include "web/app/mail_folders.h"
#include "web/app/page_furniture.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/controls_list.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/grid.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

class TUserSession;
struct FolderPageKind;

// The classes of the five folder pages, registered with the session's pages.
std::vector<TIWPageClass> FolderPageClasses();

// The status icon cell of a message row: the attachment image when the record has one,
// then the image of its state (the one cell of a message grid written as markup, built
// only from the program's own image names and texts).
std::string StatusIconHtml(const TWebApp& app, const TEmailRecord& record);

// The text of an address cell: the display names of the addresses in `text` (the address
// itself for one without a name), joined by ", "; the full text is the cell's tooltip.
std::string AddressNames(std::string_view text);

// One folder page. Owned by its session and used by the thread serving that session's
// request.
class TIWFolderPage : public TIWAppForm {
 public:
  TIWFolderPage(TIWApplication& session, std::string name, std::string class_name,
                const FolderPageKind& kind);

  MailFolder Folder() const;

  PageFurniture Furniture;
  TIWLabel& IWUserName;
  TIWGrid& Grid;  // named after the page ("IWInbox" ...)
  TIWLabel& IWNoMsgs;
  TIWImageFile& IWDelete;
  TIWImageFile* IWSave = nullptr;      // Inbox and Deleted only
  TIWImageFile* IWUnDelete = nullptr;  // Deleted only
  // Paging: the folder is shown FolderPageSize rows at a time, newest page first.
  TIWLink& IWOlder;
  TIWLink& IWNewer;
  TIWLabel& IWPageInfo;  // "101-200 of 2345"
  TIWLink& IWSortOrder;  // newest first / oldest first, the user's preference
  TIWLabel& IWPageSizeLabel;
  TIWComboBox& IWPageSize;  // rows per page, the user's preference
  ActionFeedback Feedback;
  // Deleted only: the question asked before the ticked messages are deleted for good.
  TIWLabel* IWPurgeQuestion = nullptr;
  TIWButton* IWConfirmPurge = nullptr;
  TIWButton* IWCancelPurge = nullptr;

 private:
  // A grid row as the last render wrote it: the message and the Status it had then.
  struct ShownRow {
    ShownMessage message;
    std::int32_t status = 0;
  };

  void Render();
  void RefreshGrid(TUserSession& state);
  void FillHeader(const TUserSession& state);
  void FillRow(int row, int index_number, const TEmailRecord& record);
  void StyleCell(TIWGridCell& cell, int row, int column) const;
  void ShowPageInfo(int total, int first, int last);
  // Older (+1) or newer (-1) page.
  void TurnPage(int direction);
  void OpenMessage(int row);
  void SelectAllClick();
  // The messages of the checked rows of the last render.
  std::vector<ShownMessage> CheckedMessages();
  // Reports every skipped message with the action's error text and the index number,
  // then turns the select-all flag off.
  void FinishAction(const std::vector<int>& skipped, const char* error_key);
  void MoveCheckedTo(std::int32_t (*new_status)(std::int32_t), MailFolder to,
                     const char* error_key);
  void DeleteClick();
  void ConfirmPurgeClick();
  void ShowPurgeQuestion(const TWebApp& app);
  void SortOrderClick();
  void FillPageSizes(TUserSession& state);
  void PageSizeChange();
  // Rows per page: the user's preference, else the server's FolderPageSize.
  int PageSize(TUserSession& state) const;
  bool& SelectAll() const;

  const FolderPageKind& kind_;
  std::vector<ShownRow> shown_;  // row r of the grid is shown_[r - 1]
  // How many of the folder's newest messages the page skips: 0 is the newest page.
  int newer_skipped_ = 0;
  // Deleted only: the messages the purge question asks about, and whether the coming render
  // asks it (any other render forgets them, so a purge is always confirmed on the spot).
  std::vector<ShownMessage> purge_asked_;
  bool ask_purge_ = false;
};

}  // namespace kestrune
