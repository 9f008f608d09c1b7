// The status line of a page: what the last action did ("2 messages moved to Deleted."),
// with an Undo button after a move. Actions leave their outcome in the session
// (TellUser, OfferUndo); the next page that carries the status line shows it once.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/app/mail_folders.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/controls_text.h"

namespace kestrune {

class TUserSession;
class TWebApp;

// A text of a section with "{name}" fields filled in.
std::string FilledText(const TWebApp& app, std::string_view section, std::string_view key,
                       std::initializer_list<std::pair<std::string_view, std::string>> fields);
// A text of the feedback section with "{name}" fields filled in.
std::string FeedbackText(const TWebApp& app, std::string_view key,
                         std::initializer_list<std::pair<std::string_view, std::string>> fields);
// The ".One" or ".Many" form of key for count messages, with {count} and {folder}.
std::string CountText(const TWebApp& app, std::string_view key, int count,
                      std::string_view folder = {});
// The caption of a folder's navigation entry ("Deleted").
std::string FolderCaption(const TWebApp& app, MailFolder folder);

// The message of the next page with a status line; replaces an earlier one and any Undo.
void TellUser(TUserSession& state, std::string text);
// After moving messages out of `from`: tells how many moved to `to` and offers an Undo
// that puts exactly those back, while they are still where the move put them.
void TellMoved(TUserSession& state, MailFolder from, MailFolder to,
               std::vector<MovedMessage> moved);

// After Send stored `queued` in the Outbox: with SendOnCompose the Outbox is sent now and
// the user told "Sent" or why not; otherwise told when the message will go.
void TellQueued(TIWApplication& session, TUserSession& state, const ShownMessage& queued);

// The status line's controls on one page. Owned by the page; used by the thread serving
// its session's request.
class ActionFeedback {
 public:
  // status is the page frame's live region, where the message goes.
  ActionFeedback(TIWAppForm& page, TIWLabel& status);

  TIWLabel& IWStatus;
  TIWButton& IWUndo;

  // Shows the session's message and Undo, and takes them: a later render shows neither.
  void Render(TUserSession& state);

 private:
  void UndoClick();
  TIWAppForm& page_;
  // The move this page's Undo button, as last shown, puts back.
  std::vector<MovedMessage> offered_;
  MailFolder offered_folder_ = MailFolder::kInbox;
};

}  // namespace kestrune
