// The toolkit's own message page: shown when a message is to reach the user while the
// session has no page on its stack. A label "textMessage" holds the (escaped) message;
// the button "butnOk" discards the page and, when the stack is then empty, shows the
// session's main page.
#pragma once

#include <memory>
#include <string_view>

#include "web/toolkit/app_form.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

class TIWLabel;

class TIWShowMessage : public TIWAppForm {
 public:
  explicit TIWShowMessage(TIWApplication& application);

  // "TIWShowMessage" / "IWShowMessage".
  static TIWPageClass PageClass();

  // Shows the text. An exception's message uses the template "IWException.html", any
  // other "IWShowMessage.html" (each only when the file exists).
  void SetMessage(std::string_view text, bool is_exception);

 private:
  void OkClick();

  TIWLabel& text_message_;
};

// The factory the server controller's MessagePage setting takes.
std::unique_ptr<TIWAppForm> MakeShowMessagePage(TIWApplication& application, std::string_view text,
                                                bool for_exception);

}  // namespace kestrune
