// Placeholder until the compose page lands.
#include "web/pages/compose_page.h"

namespace kestrune {

TIWPageClass NewEmailPageClass() { return {}; }
void StartNewMessage(TIWAppForm&, std::string_view) {}
void ShowComposePage(TIWAppForm&) {}

}  // namespace kestrune
