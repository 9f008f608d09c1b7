// The login page's language links.
#include "web/pages/language_choice.h"

namespace kestrune {

void TIWLanguageChoice::Submit(std::string_view param) {
  if (OnChoose) OnChoose(param);
}

std::unique_ptr<TIWHTMLTag> TIWLanguageChoice::RenderHTML(ControlWriter& writer) {
  auto nav = std::make_unique<TIWHTMLTag>("nav");
  const std::string label_id = HTMLName() + "_LABEL";
  nav->SetAttribute("aria-labelledby", label_id);
  TIWHTMLTag& label = nav->AddTag("span");
  label.SetAttribute("id", label_id);
  label.SetAttribute("class", "kst-languages-label");
  label.AddText(Caption);
  TIWHTMLTag& list = nav->AddTag("ul");
  for (const Choice& choice : Choices) {
    TIWHTMLTag& item = list.AddTag("li");
    const bool current = choice.code == CurrentCode;
    TIWHTMLTag& entry = item.AddTag(current ? "span" : "a");
    if (current) {
      entry.SetAttribute("aria-current", "true");
    } else {
      entry.SetAttribute("href", "javascript:void(0)");
      entry.SetAttribute("OnClick", SubmitScript(choice.code));
      if (!choice.tag.empty()) entry.SetAttribute("hreflang", choice.tag);
    }
    if (!choice.tag.empty()) entry.SetAttribute("lang", choice.tag);
    entry.AddText(choice.name);
  }
  return nav;
}

}  // namespace kestrune
