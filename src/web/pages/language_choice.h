// The login page's choice of language: every offered language as a link named in its own
// language, the one in use marked. A click posts the language's code, which the page
// checks against the offered languages before it switches.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "web/toolkit/control.h"

namespace kestrune {

class TIWLanguageChoice : public TIWControl {
 public:
  using TIWControl::TIWControl;

  struct Choice {
    std::string name;  // "Deutsch"
    std::string code;  // "Deu", posted as the action's parameter
    std::string tag;   // "de", or "" when unknown
  };
  std::string Caption;  // the visible label of the list
  std::vector<Choice> Choices;
  std::string CurrentCode;
  // Fired with the posted code (untrusted: any text a browser sends).
  std::function<void(std::string_view code)> OnChoose;

  bool AcceptsActions() const override { return true; }
  void Submit(std::string_view param) override;
  std::unique_ptr<TIWHTMLTag> RenderHTML(ControlWriter& writer) override;
  std::string_view KindName() const override { return "IWLanguageChoice"; }
};

}  // namespace kestrune
