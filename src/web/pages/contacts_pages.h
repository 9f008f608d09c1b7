// The contacts page TIWEditContacts and the recipient picker TIWSelContacts.
#pragma once

#include "web/toolkit/app_form.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

TIWPageClass EditContactsPageClass();
TIWPageClass SelContactsPageClass();

// Shows the recipient picker for the session's composition; `from` is the compose page,
// which stays in the session and is shown again when the picker closes.
void ShowRecipientPicker(TIWAppForm& from);

}  // namespace kestrune
