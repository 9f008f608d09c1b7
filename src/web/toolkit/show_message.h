// The toolkit's own message page: shown when a message is to reach the user while the
// session has no page on its stack. Its "Ok" button discards it and, when the stack is
// then empty, shows the session's main page.
#pragma once

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

  // Shows the text (escaped). An exception's message uses the template
  // "IWException.html", any other "IWShowMessage.html" (when the file exists).
  void SetMessage(std::string_view text, bool is_exception);

 private:
  TIWLabel& text_message_;
};

}  // namespace kestrune
