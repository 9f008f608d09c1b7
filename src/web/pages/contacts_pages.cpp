// Placeholder until the contacts pages land.
#include "web/pages/contacts_pages.h"

namespace kestrune {

TIWPageClass EditContactsPageClass() { return {}; }
TIWPageClass SelContactsPageClass() { return {}; }
void ShowRecipientPicker(TIWAppForm&) {}

}  // namespace kestrune
