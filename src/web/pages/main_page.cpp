// The home page.
#include "web/pages/main_page.h"

#include "store/email_db.h"
#include "web/app/user_session.h"
#include "web/pages/compose_page.h"
#include "web/pages/page_texts.h"
#include "web/toolkit/application.h"

namespace kestrune {

TIWPageClass TIWMain::PageClass() { return PageClassOf<TIWMain>("TIWMain", "IWMain"); }

TIWMain::TIWMain(TIWApplication& session, std::string name, std::string class_name)
    : TIWAppForm(session, std::move(name), std::move(class_name)),
      IWUserName(AddControl<TIWLabel>("IWUserName")),
      IWInboxStats(AddControl<TIWLink>("IWInboxStats")),
      IWCreateEmailLink(AddControl<TIWLink>("IWCreateEmailLink")),
      IWReadMailLink(AddControl<TIWLink>("IWReadMailLink")),
      IWFindMsg(AddControl<TIWLink>("IWFindMsg")),
      Furniture(*this, "IWHomeLink"),
      Feedback(*this, Furniture.IWStatus) {
  TemplateProcessor.Templates.Default = "main.htm";
  OnRender = [this](TIWAppForm&) { Render(); };
  PageFurniture::OnClick(IWInboxStats, [this] { Furniture.Navigate("IWInbox"); });
  PageFurniture::OnClick(IWReadMailLink, [this] { Furniture.Navigate("IWInbox"); });
  PageFurniture::OnClick(IWFindMsg, [this] { Furniture.Navigate("IWFind"); });
  PageFurniture::OnClick(IWCreateEmailLink, [this] { StartNewMessage(*this); });
  BindComposeOpeners(Furniture, *this);
}

void TIWMain::Render() {
  TUserSession& state = *SessionOf(WebApplication());
  const TWebApp& app = state.App();
  for (TIWLink* link : {&IWFindMsg, &IWCreateEmailLink, &IWReadMailLink}) {
    SetTexts(app, kMainStrings, *link);
  }
  Furniture.Render(state);
  Feedback.Render(state);
  IWUserName.Caption = state.LoginName;
  const int unread = state.EmailDB ? state.EmailDB->CountUnread() : 0;
  const char* form = unread <= 0   ? "IWInboxStats.NoUnreadMail"
                     : unread == 1 ? "IWInboxStats.UnreadMessage"
                                   : "IWInboxStats.UnreadMessages";
  const std::string& caption = app.Text(kMainStrings, std::string(form) + ".Caption");
  IWInboxStats.Caption = unread <= 0 ? caption : std::to_string(unread) + " " + caption;
  IWInboxStats.Hint = app.Text(kMainStrings, std::string(form) + ".StatusText");
  IWInboxStats.StatusText = IWInboxStats.Hint;
  IWInboxStats.Font.Bold = unread > 0;
}

}  // namespace kestrune
