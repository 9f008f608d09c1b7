// The signature page TIWSignature: the HTML signature of one mail store ("signature.htm"
// in it) written in the compose page's rich-text editor. A settings page opens it with
// the session's SignatureDir and SignatureReturnPage set; Save stores the signature made
// safe and goes back, Cancel goes back without touching the file.
#pragma once

#include <string>

#include "web/app/page_furniture.h"
#include "web/pages/compose_page.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

class TUserSession;

// The signature page's class, registered with the session's pages.
TIWPageClass SignaturePageClass();

// The file a mail store keeps its signature in.
inline constexpr const char* kSignatureFileName = "signature.htm";

// Owned by its session and used by the thread serving that session's request.
class TIWSignature : public TIWAppForm {
 public:
  TIWSignature(TIWApplication& session, std::string name, std::string class_name);
  static TIWPageClass PageClass();

  TIWLabel& IWUserName;
  TRichTextMemo& IWSigBody;
  TIWLabel& IWBodyFlag;
  TIWButton& IWSave;
  TIWButton& IWCancel;
  TIWLabel& IWSigNote;
  PageFurniture Furniture;

 private:
  void Render();
  // Loads the body from the file of the session's signature directory when the page
  // shows another directory than the one it loaded (each opening reads the file again).
  void LoadBody(const TUserSession& state);
  void SaveClick();
  // Shows the page that opened this one and discards this one.
  void ReturnToOpener();

  std::string loaded_dir_;
  bool loaded_ = false;
};

// Whether dir may hold a signature edited through the web: a mail store inside the
// installation's users directory.
bool IsSignatureStore(const std::string& dir, const std::string& users_directory);

}  // namespace kestrune
