// Status line texts and the one-shot Undo of a move.
#include "web/app/action_feedback.h"

#include "platform/escape.h"
#include "settings/program_config.h"
#include "store/email_db.h"
#include "web/app/language_pack.h"
#include "web/app/session_mail.h"
#include "web/app/user_session.h"
#include "web/toolkit/application.h"

namespace kestrune {

std::string FilledText(const TWebApp& app, std::string_view section, std::string_view key,
                       std::initializer_list<std::pair<std::string_view, std::string>> fields) {
  std::string text = app.Text(section, key);
  for (const auto& [name, value] : fields) {
    const std::string field = "{" + std::string(name) + "}";
    // Each field once, left to right: a value containing a field name is not filled again.
    if (const auto at = text.find(field); at != std::string::npos) {
      text.replace(at, field.size(), value);
    }
  }
  return text;
}

std::string FeedbackText(const TWebApp& app, std::string_view key,
                         std::initializer_list<std::pair<std::string_view, std::string>> fields) {
  return FilledText(app, kFeedbackStrings, key, fields);
}

std::string CountText(const TWebApp& app, std::string_view key, int count,
                      std::string_view folder) {
  const std::string form = std::string(key) + (count == 1 ? ".One" : ".Many");
  return FeedbackText(app, form,
                      {{"count", std::to_string(count)}, {"folder", std::string(folder)}});
}

std::string FolderCaption(const TWebApp& app, MailFolder folder) {
  switch (folder) {
    case MailFolder::kInbox:
      return app.Text(kGlobalStrings, "IWInboxLink.Caption");
    case MailFolder::kOutbox:
      return app.Text(kGlobalStrings, "IWOutboxLink.Caption");
    case MailFolder::kSent:
      return app.Text(kGlobalStrings, "IWSentLink.Caption");
    case MailFolder::kSaved:
      return app.Text(kGlobalStrings, "IWSavedLink.Caption");
    case MailFolder::kDeleted:
      return app.Text(kGlobalStrings, "IWDelLink.Caption");
  }
  return {};
}

void TellUser(TUserSession& state, std::string text) {
  state.StatusMessage = std::move(text);
  state.UndoMove.clear();
}

void TellMoved(TUserSession& state, MailFolder from, MailFolder to,
               std::vector<MovedMessage> moved) {
  TellUser(state, CountText(state.App(), "Moved", static_cast<int>(moved.size()),
                            FolderCaption(state.App(), to)));
  state.UndoMove = std::move(moved);
  state.UndoFolder = from;
}

void TellQueued(TIWApplication& session, TUserSession& state, const ShownMessage& queued) {
  const TWebApp& app = state.App();
  const TProgramConfig& config = app.Config();
  std::string failure;
  if (config.SendOnCompose) {
    SessionSend(session, state, &failure);
    const std::optional<TEmailRecord> now = ShownRecord(state, queued);
    if (now && now->Status == email_status::kSent) {
      TellUser(state, FeedbackText(app, "Sent", {}));
      return;
    }
    if (now && now->Status == email_status::kOutbox && !failure.empty()) {
      TellUser(state, FeedbackText(app, "SendFailed", {{"error", failure}}));
      return;
    }
  }
  if (config.AutoCheckEmails && config.AutoCheckInterval > 0) {
    TellUser(state, FeedbackText(app, "Queued.Timer",
                                 {{"count", std::to_string(config.AutoCheckInterval)}}));
  } else {
    TellUser(state, FeedbackText(app, "Queued.Manual", {}));
  }
}

ActionFeedback::ActionFeedback(TIWAppForm& page, TIWLabel& status)
    : IWStatus(status), IWUndo(page.AddControl<TIWButton>("IWUndo")), page_(page) {
  IWUndo.OnClick = [this](TIWBaseControl&) { UndoClick(); };
}

void ActionFeedback::Render(TUserSession& state) {
  const TWebApp& app = state.App();
  // Escaped here rather than as a label's caption, whose spaces would not wrap.
  IWStatus.RawText = true;
  IWStatus.Caption = HtmlEscape(state.StatusMessage);
  state.StatusMessage.clear();
  offered_ = std::move(state.UndoMove);
  state.UndoMove.clear();
  offered_folder_ = state.UndoFolder;
  IWUndo.Visible = !offered_.empty();
  IWUndo.Caption = app.Text(kFeedbackStrings, "IWUndo.Caption");
  IWUndo.Hint = app.Text(kFeedbackStrings, "IWUndo.StatusText");
}

void ActionFeedback::UndoClick() {
  TIWApplication& session = page_.WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  // One shot: the offer is gone whatever the outcome.
  const std::vector<MovedMessage> moved = std::move(offered_);
  offered_.clear();
  if (moved.empty()) return;
  const int restored = RestoreMessages(*state, moved);
  TellUser(*state, restored == 0 ? FeedbackText(state->App(), "MovedBack.None", {})
                                 : CountText(state->App(), "MovedBack", restored,
                                             FolderCaption(state->App(), offered_folder_)));
}

}  // namespace kestrune
