// The pages of the program: the controller's login, bad-login, busy and home pages, and
// the pages the toolbar and navigation lead to.
#include "web/pages/session_pages.h"

#include "web/pages/folder_pages.h"
#include "web/pages/login_pages.h"
#include "web/pages/main_page.h"
#include "web/pages/view_page.h"

namespace kestrune {

SessionPages KestruneSessionPages() {
  SessionPages pages{TIWLogin::PageClass(), TIWBadLogin::PageClass(), TIWBusy::PageClass(),
                     TIWMain::PageClass()};
  for (TIWPageClass& folder : FolderPageClasses()) pages.Others.push_back(std::move(folder));
  if (TIWPageClass view = ViewMailPageClass(); view.Factory) {
    pages.Others.push_back(std::move(view));
  }
  return pages;
}

}  // namespace kestrune
