// The find page. Every render searches again with the criteria in its edits, so the
// grid always shows the index as it is then; each row remembers the message (index
// number and file name) it showed, and a click opens only that message, without
// changing its read state.
#include "web/pages/find_page.h"

#include <memory>
#include <utility>

#include "log/debug_log.h"
#include "platform/ascii.h"
#include "platform/escape.h"
#include "store/email_db.h"
#include "web/app/message_find.h"
#include "web/app/user_session.h"
#include "web/pages/compose_page.h"
#include "web/pages/folder_pages.h"
#include "web/pages/page_texts.h"
#include "web/pages/view_page.h"
#include "web/toolkit/application.h"

namespace kestrune {
namespace {

constexpr const char* kObjectName = "IWFind";
constexpr const char* kEditStyle = "width:100%;height:21;z-index:100;font: 13px;text-align:left";
constexpr int kColumns = 6;
constexpr int kIconColumn = 0;
constexpr int kNumberColumn = 1;
constexpr int kSenderColumn = 2;
constexpr int kRecipientColumn = 3;
constexpr int kSubjectColumn = 4;
constexpr int kDateColumn = 5;
// How much of the full-text index's snippet a row shows.
constexpr std::size_t kSnippetBytes = 160;
// Shown in the sender cell when the record has none, so the message can still be opened.
constexpr const char* kNoAddress = "(unknown)";

}  // namespace

TIWFind::TIWFind(TIWApplication& session, std::string name, std::string class_name)
    : TIWAppForm(session, std::move(name), std::move(class_name)),
      IWUserName(AddControl<TIWLabel>("IWUserName")),
      IWFindTo(AddControl<TIWEdit>("IWFindTo")),
      IWFindFrom(AddControl<TIWEdit>("IWFindFrom")),
      IWFindSubject(AddControl<TIWEdit>("IWFindSubject")),
      IWFindText(AddControl<TIWEdit>("IWFindText")),
      IWSearch(AddControl<TIWButton>("IWSearch")),
      IWNewSearch(AddControl<TIWButton>("IWNewSearch")),
      IWSearchResults(AddControl<TIWGrid>("IWSearchResults")),
      IWNoMsgs(AddControl<TIWLabel>("IWNoMsgs")),
      IWTextNote(AddControl<TIWLabel>("IWTextNote")),
      Furniture(*this, "") {
  TemplateProcessor.Templates.Default = "find.htm";
  OnRender = [this](TIWAppForm&) { Render(); };
  for (TIWEdit* edit : {&IWFindTo, &IWFindFrom, &IWFindSubject, &IWFindText}) {
    edit->OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) {
      tag.SetAttribute("style", kEditStyle);
    };
    // Enter in a criterion searches; the render that follows lists the matches.
    edit->OnSubmit = [](TIWBaseControl&) {};
  }
  IWTextNote.Visible = false;

  IWSearchResults.SetColumnCount(kColumns);
  IWSearchResults.OnRenderCell = [this](TIWGridCell& cell, int row, int) { StyleCell(cell, row); };
  IWSearchResults.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) {
    tag.SetAttribute("width", "100%");
    tag.SetAttribute("style", "width:100%;z-index:100;font: 13px;");
  };
  IWSearchResults.OnCellClick = [this](TIWGrid&, int row, int) { OpenResult(row); };

  // Search only posts the criteria: every render searches with the edits' texts.
  IWSearch.OnClick = [](TIWBaseControl&) {};
  IWNewSearch.OnClick = [this](TIWBaseControl&) { NewSearchClick(); };
  BindComposeOpeners(Furniture, *this);
}

TIWPageClass TIWFind::PageClass() { return PageClassOf<TIWFind>("TIWFind", kObjectName); }

FindCriteria TIWFind::Criteria() const {
  return {IWFindTo.Text, IWFindFrom.Text, IWFindSubject.Text, IWFindText.Text};
}

void TIWFind::Render() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  const TWebApp& app = state->App();
  Furniture.Render(*state);  // also reloads the index when another holder saved it
  IWUserName.Caption = state->LoginName;
  for (TIWControl* control : std::initializer_list<TIWControl*>{
           &IWFindTo, &IWFindFrom, &IWFindSubject, &IWFindText, &IWSearch, &IWNewSearch}) {
    SetTexts(app, kFindStrings, *control);
  }
  IWNoMsgs.Caption = app.Text(kGlobalStrings, "IWNoMsgs.Caption");
  IWTextNote.Caption = app.Text(kHtmlDialogStrings, "TextSearchError");
  RefreshData(*state, Criteria());
}

void TIWFind::RefreshData(TUserSession& state, const FindCriteria& criteria) {
  const TWebApp& app = state.App();
  IWSearchResults.SetRowCount(0);  // the labels of the last render go with their cells
  shown_.clear();
  IWSearchResults.SetRowCount(1);
  const std::pair<int, const char*> headings[] = {{kSenderColumn, "FromEmailHeading"},
                                                  {kRecipientColumn, "ToEmailHeading"},
                                                  {kSubjectColumn, "SubjectEmailHeading"},
                                                  {kDateColumn, "SentRecEmailHeading"}};
  IWSearchResults.Cell(0, kIconColumn).Width = "45";
  IWSearchResults.Cell(0, kNumberColumn).Width = "50";
  for (const auto& [column, key] : headings) {
    IWSearchResults.Cell(0, column).Text = app.Text(kGlobalStrings, key);
  }

  IWTextNote.Visible = false;
  FindResult result;
  if (!criteria.Empty() && state.OpenEmailDB()) {
    result = FindMessages(*state.EmailDB, state.User.UserDir, criteria);
  }
  if (result.TextFailed) {
    IWTextNote.Visible = true;
    AddDebugLine("Find: User " + state.LoginName + " text search failed: " + result.TextError);
  }
  IWNoMsgs.Visible = result.Messages.empty();
  IWSearchResults.SetRowCount(static_cast<int>(result.Messages.size()) + 1);
  int row = 1;
  for (const FoundMessage& found : result.Messages) FillRow(row++, found);
}

void TIWFind::FillRow(int row, const FoundMessage& found) {
  const TEmailRecord& record = found.Record;
  shown_.push_back({found.Index, record.FileName});
  TIWGridCell& icon = IWSearchResults.Cell(row, kIconColumn);
  icon.Text = StatusIconHtml(SessionOf(WebApplication())->App(), record);
  icon.RawText = true;
  auto& number =
      IWSearchResults.Cell(row, kNumberColumn).SetControl(std::make_unique<TIWLabel>(""));
  number.Tag = found.Index;
  // Everything else comes from the message and is written as data.
  TIWGridCell& sender = IWSearchResults.Cell(row, kSenderColumn);
  sender.Text = TrimBlanks(record.Sender).empty() ? kNoAddress : record.Sender;
  sender.Clickable = true;
  IWSearchResults.Cell(row, kRecipientColumn).Text = record.Recipient;
  TIWGridCell& subject = IWSearchResults.Cell(row, kSubjectColumn);
  subject.Wrap = true;
  if (found.Snippet.empty()) {
    subject.Text = record.Subject;
  } else {
    subject.Text = HtmlEscape(record.Subject) + "<br><span class=\"kst-snippet\">" +
                   HtmlEscape(ShortSnippet(found.Snippet, kSnippetBytes)) + "</span>";
    subject.RawText = true;
  }
  IWSearchResults.Cell(row, kDateColumn).Text = record.DateText;
}

void TIWFind::StyleCell(TIWGridCell& cell, int row) const {
  cell.Alignment = TIWGridAlignment::taCenter;
  cell.BGColor = row == 0 ? TIWColor::FromRGB(0xEC, 0xE9, 0xD8) : TIWColor::None();
  cell.Font.Bold = row == 0;
}

void TIWFind::NewSearchClick() {
  for (TIWEdit* edit : {&IWFindTo, &IWFindFrom, &IWFindSubject, &IWFindText}) edit->Text.clear();
}

void TIWFind::OpenResult(int row) {
  if (WebApplication().SessionEnding()) return;
  if (row < 1 || row > static_cast<int>(shown_.size())) return;
  ShowMessageInViewPage(*this, shown_[static_cast<std::size_t>(row - 1)], false);
}

TIWPageClass FindPageClass() { return TIWFind::PageClass(); }

}  // namespace kestrune
