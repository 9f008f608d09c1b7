// The toolkit's message page.
#include "web/toolkit/show_message.h"

#include "web/toolkit/application.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/server_controller.h"

namespace kestrune {

TIWShowMessage::TIWShowMessage(TIWApplication& application)
    : TIWAppForm(application, "IWShowMessage", "TIWShowMessage"),
      text_message_(AddControl<TIWLabel>("textMessage")) {
  Title = "Message";
  text_message_.Left = 20;
  text_message_.Top = 20;
  text_message_.Width = 600;
  text_message_.Height = 120;
  auto& ok = AddControl<TIWButton>("butnOk");
  ok.Caption = "Ok";
  ok.Left = 20;
  ok.Top = 160;
  ok.Width = 75;
  ok.Height = 25;
  ok.OnClick = [this](TIWBaseControl&) { OkClick(); };
  SetActiveControl(ok);
}

TIWPageClass TIWShowMessage::PageClass() {
  return {"TIWShowMessage", "IWShowMessage", [](TIWApplication& application) {
            return std::unique_ptr<TIWAppForm>(new TIWShowMessage(application));
          }};
}

void TIWShowMessage::SetMessage(std::string_view text, bool is_exception) {
  text_message_.Caption = std::string(text);
  TemplateProcessor.Templates.Default = is_exception ? "IWException.html" : "IWShowMessage.html";
}

void TIWShowMessage::OkClick() {
  TIWApplication& session = WebApplication();
  session.DiscardPage(this);
  if (session.ActivePage() == nullptr && session.Controller().MainFormClass.Factory) {
    session.ShowPage(&session.CreatePage(session.Controller().MainFormClass));
  }
}

std::unique_ptr<TIWAppForm> MakeShowMessagePage(TIWApplication& application, std::string_view text,
                                                bool for_exception) {
  auto page = std::make_unique<TIWShowMessage>(application);
  page->SetMessage(text, for_exception);
  return page;
}

}  // namespace kestrune
