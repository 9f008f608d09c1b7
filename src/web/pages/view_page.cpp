// Placeholder until the view page lands.
#include "web/pages/view_page.h"

namespace kestrune {

TIWPageClass ViewMailPageClass() { return {}; }
void ShowMessageInViewPage(TIWAppForm&, const ShownMessage&) {}

}  // namespace kestrune
