// Control texts from the language pack.
#include "web/pages/page_texts.h"

#include <string>

namespace kestrune {
namespace {

std::string* CaptionOf(TIWControl& control) {
  if (auto* label = dynamic_cast<TIWLabel*>(&control)) return &label->Caption;
  if (auto* link = dynamic_cast<TIWLink*>(&control)) return &link->Caption;
  if (auto* button = dynamic_cast<TIWButton*>(&control)) return &button->Caption;
  if (auto* box = dynamic_cast<TIWCheckBox*>(&control)) return &box->Caption;
  return nullptr;
}

}  // namespace

void SetTexts(const TWebApp& app, std::string_view section, TIWControl& control) {
  const std::string caption_key = control.Name() + ".Caption";
  if (std::string* caption = CaptionOf(control);
      caption != nullptr && LanguagePack::IsKnown(section, caption_key)) {
    *caption = app.Text(section, caption_key);
  }
  const std::string hint_key = control.Name() + ".StatusText";
  if (LanguagePack::IsKnown(section, hint_key)) {
    control.Hint = app.Text(section, hint_key);
    control.StatusText = control.Hint;
  }
}

}  // namespace kestrune
