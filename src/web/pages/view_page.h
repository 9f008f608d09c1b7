// The message view page TIWViewMail and the way other pages open a message in it.
#pragma once

#include "web/app/mail_folders.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

// The view page's class, registered with the session's pages.
TIWPageClass ViewMailPageClass();

// Opens the shown message in the session's view page (made, or reused when it exists),
// marks it opened, shows the view page and discards `from`. When the record no longer is
// that message, the user is told EmailLocateError + the index number and `from` stays.
void ShowMessageInViewPage(TIWAppForm& from, const ShownMessage& message);

}  // namespace kestrune
