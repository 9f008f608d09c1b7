// Placeholder until the attachments page lands.
#include "web/pages/attachments_page.h"

namespace kestrune {

TIWPageClass AttachmentsPageClass() { return {}; }
void ShowAttachmentsPage(TIWAppForm&) {}

}  // namespace kestrune
