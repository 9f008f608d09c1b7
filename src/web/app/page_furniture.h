// The parts every mail page shares: the toolbar image links, the folder navigation with
// its counters, the clock and the contacts side panel. A page makes one PageFurniture in
// its constructor, binds the actions it needs and calls Render from its OnRender.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "web/toolkit/app_form.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/grid.h"

namespace kestrune {

class TUserSession;
struct TContactRecord;
class TWebApp;

class PageFurniture {
 public:
  // own_folder: the control name of the page's own folder entry, made a label instead of
  // a link ("IWHomeLink" on the home page).
  PageFurniture(TIWAppForm& page, std::string_view own_folder);

  // Toolbar.
  TIWImageFile& IWCreateEmail;
  TIWImageFile& IWSendRecv;
  TIWImageFile& IWFind;
  TIWImageFile& IWEditContacts;
  TIWImageFile& IWSettings;
  TIWImageFile& IWLogout;
  TIWImageFile& IWClose;
  // Navigation.
  TIWControl& IWHomeLink;
  TIWControl& IWInboxLink;
  TIWControl& IWSavedLink;
  TIWControl& IWOutboxLink;
  TIWControl& IWSentLink;
  TIWControl& IWDelLink;
  TIWLink& IWSuggest;
  // Contacts side panel.
  TIWImageFile& IWHideContacts;
  TIWLink& IWContactsLink;
  TIWGrid& IWContacts;
  TIWLabel& IWNoContacts;
  TIWLabel& IWTableOpen;
  TIWLabel& IWDivOpen;
  TIWLabel& IWDivClose;
  TIWLabel& IWTableClose;
  // Frame: the header's folder toggle (phones), the unread count the phone shows in place
  // of the clock, the panel's toggle (phones) and the live region for status messages
  // (a page sets IWStatus.Caption; it is written on every page, empty or not).
  TIWLabel& IWFolderToggle;
  TIWLabel& IWUnread;
  TIWLabel& IWPanelToggle;
  TIWLabel& IWStatus;

  // What a click on a contact of the side panel does with that contact (the compose page
  // binds it): the contact the link showed, found again in Contacts.Dat as it is now.
  std::function<void(const TContactRecord& contact)> OnContactClick;

  // Runs just before the page is left for another through Navigate (toolbar, folder links,
  // settings): what the page holds for itself (a select-all flag, a composition) goes.
  std::function<void()> OnLeave;

  // Goes to the session's page of that object name (a live one, else a new one) and
  // discards the page left behind; nothing while the session ends or when the program has
  // no such page.
  void Navigate(std::string_view object_name);
  // Goes to the settings page of the user's permission level.
  void NavigateToSettings();

  // Adds a toolbar image control showing "/Files/" + image + ".gif" at the toolbar's size.
  static TIWImageFile& ToolImage(TIWAppForm& page, const char* name, const char* image);

  // Binds a click to a navigation or toolbar control (links and images alike).
  static void OnClick(TIWControl& control, std::function<void()> action);

  // Texts, counters of the current index, the panel and the clock.
  void Render(TUserSession& state);
  // Gives every clickable image of the page its short visible label (kFrameStrings,
  // control name + ".Caption") and its name while the label is hidden.
  static void LabelTools(TIWAppForm& page, const TWebApp& app);

 private:
  void FillContacts(TUserSession& state);
  void RenderFrame(const TWebApp& app, int unread);
  void ContactClick(int position);
  // Name and address of each contact the last render listed, by its position then (every
  // save compacts and sorts the file, so a position may name another contact later).
  std::map<int, std::pair<std::string, std::string>> shown_contacts_;
  void SetFolderCaption(TIWControl& control, const TWebApp& app, int count);
  TIWAppForm& page_;
};

}  // namespace kestrune
