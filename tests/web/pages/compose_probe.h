// A stand-in page for the tests of the pages the compose page opens: it opens the
// attachments page and the recipient picker as the compose page does, and records the
// session it belongs to, so a test can read the compose state those pages leave. It is
// registered as "IWFind" and reached through the home page's find link.
#pragma once

#include <algorithm>
#include <string>

#include "web/app/user_session.h"
#include "web/pages/attachments_page.h"
#include "web/pages/contacts_pages.h"
#include "web/toolkit/application.h"
#include "web/toolkit/controls_text.h"

namespace kestrune::testing {

class ComposeProbe : public TIWAppForm {
 public:
  ComposeProbe(TIWApplication& session, std::string name, std::string class_name)
      : TIWAppForm(session, std::move(name), std::move(class_name)),
        Attach(AddControl<TIWButton>("IWOpenAttach")),
        Pick(AddControl<TIWButton>("IWOpenPicker")) {
    Last() = SessionOf(session);
    Attach.OnClick = [this](TIWBaseControl&) { ShowAttachmentsPage(*this); };
    Pick.OnClick = [this](TIWBaseControl&) { ShowRecipientPicker(*this); };
  }

  // The session of the probe made last; the test reads it between requests, while the
  // server serves nothing for it.
  static TUserSession*& Last() {
    static TUserSession* last = nullptr;
    return last;
  }

  // The program's pages with the probe in place of a find page.
  static SessionPages With(SessionPages pages) {
    std::erase_if(pages.Others,
                  [](const TIWPageClass& page) { return page.ObjectName == "IWFind"; });
    pages.Others.push_back(PageClassOf<ComposeProbe>("TIWFind", "IWFind"));
    return pages;
  }

  TIWButton& Attach;
  TIWButton& Pick;
};

}  // namespace kestrune::testing
