// The compose page TIWNewEmail and the ways other pages put a message on it.
#pragma once

#include <string_view>

#include "web/toolkit/app_form.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

// The compose page's class, registered with the session's pages.
TIWPageClass NewEmailPageClass();

// Starts a new message: the session's compose state reset (its old files removed), To set
// to `to`, the signature added when the user keeps one; then shows the compose page and
// discards `from` unless it is the compose page itself.
void StartNewMessage(TIWAppForm& from, std::string_view to = {});

// Shows the compose page with the session's compose state as it is (after the picker or
// the attachments page changed it, or after reply and forward filled it), discarding
// `from` unless it is the compose page itself.
void ShowComposePage(TIWAppForm& from);

}  // namespace kestrune
