// TIWMain, the home page: a greeting, the unread summary, the toolbar, folder navigation
// and contacts side panel of every mail page, and three shortcuts.
#pragma once

#include "web/app/action_feedback.h"
#include "web/app/page_furniture.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

class TIWMain : public TIWAppForm {
 public:
  TIWMain(TIWApplication& session, std::string name, std::string class_name);
  static TIWPageClass PageClass();

  TIWLabel& IWUserName;
  TIWLink& IWInboxStats;
  TIWLink& IWCreateEmailLink;
  TIWLink& IWReadMailLink;
  TIWLink& IWFindMsg;
  PageFurniture Furniture;
  ActionFeedback Feedback;  // tells what became of a message just sent

 private:
  void Render();
};

}  // namespace kestrune
