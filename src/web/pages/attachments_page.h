// The attachments page TIWAttachments: the files of the message being composed.
#pragma once

#include "web/toolkit/app_form.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

TIWPageClass AttachmentsPageClass();

// Shows the attachments page for the session's composition, discarding `from` unless it
// is the compose page (which keeps its contents while the attachments page is shown).
void ShowAttachmentsPage(TIWAppForm& from);

}  // namespace kestrune
