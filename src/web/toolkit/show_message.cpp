// The toolkit's message page.
#include "web/toolkit/show_message.h"

#include "web/toolkit/controls_text.h"

namespace kestrune {

TIWShowMessage::TIWShowMessage(TIWApplication& application)
    : TIWAppForm(application, "IWShowMessage", "TIWShowMessage"),
      text_message_(AddControl<TIWLabel>("textMessage")) {}

TIWPageClass TIWShowMessage::PageClass() {
  return {"TIWShowMessage", "IWShowMessage", [](TIWApplication& application) {
            return std::unique_ptr<TIWAppForm>(new TIWShowMessage(application));
          }};
}

void TIWShowMessage::SetMessage(std::string_view text, bool is_exception) {}

}  // namespace kestrune
