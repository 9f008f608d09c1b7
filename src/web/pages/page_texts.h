// Captions and hints of controls from the language pack: key control name + ".Caption"
// and control name + ".StatusText" of a section.
#pragma once

#include <string_view>

#include "web/app/user_session.h"
#include "web/toolkit/controls_text.h"

namespace kestrune {

// Sets the control's hint (and, for kinds with a caption, the caption) from the section;
// a caption the section does not list is left as it is.
void SetTexts(const TWebApp& app, std::string_view section, TIWControl& control);

}  // namespace kestrune
