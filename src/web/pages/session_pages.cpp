// The session controller's pages: login, bad-login, busy and home.
#include "web/pages/session_pages.h"

#include "web/pages/login_pages.h"
#include "web/pages/main_page.h"

namespace kestrune {

SessionPages KestruneSessionPages() {
  return SessionPages{TIWLogin::PageClass(), TIWBadLogin::PageClass(), TIWBusy::PageClass(),
                      TIWMain::PageClass()};
}

}  // namespace kestrune
