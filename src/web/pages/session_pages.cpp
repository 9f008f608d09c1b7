// The pages of the program: the controller's login, bad-login, busy and home pages, and
// the pages the toolbar and navigation lead to.
#include "web/pages/session_pages.h"

#include "web/pages/admin_settings_page.h"
#include "web/pages/attachments_page.h"
#include "web/pages/compose_page.h"
#include "web/pages/contacts_pages.h"
#include "web/pages/find_page.h"
#include "web/pages/folder_pages.h"
#include "web/pages/gen_user_settings_page.h"
#include "web/pages/login_pages.h"
#include "web/pages/main_page.h"
#include "web/pages/signature_page.h"
#include "web/pages/user_settings_page.h"
#include "web/pages/view_page.h"

namespace kestrune {

SessionPages KestruneSessionPages() {
  SessionPages pages{TIWLogin::PageClass(), TIWBadLogin::PageClass(), TIWBusy::PageClass(),
                     TIWMain::PageClass()};
  for (TIWPageClass& folder : FolderPageClasses()) pages.Others.push_back(std::move(folder));
  for (TIWPageClass page :
       {ViewMailPageClass(), NewEmailPageClass(), AttachmentsPageClass(), EditContactsPageClass(),
        SelContactsPageClass(), UserSettingsPageClass(), GenUserSetPageClass(),
        AdminSettingsPageClass(), FindPageClass(), SignaturePageClass()}) {
    if (page.Factory) pages.Others.push_back(std::move(page));  // pages still to come have none
  }
  return pages;
}

}  // namespace kestrune
