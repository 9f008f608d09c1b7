// The message view page TIWViewMail and the way other pages open a message in it. The
// page shows one message of the signed-in user as data: header texts escaped, an HTML
// body in a sandboxed frame, attachments addressed by their position in the message.
// It keeps the shown message (index number and file name) and reads the record again
// before every action, so it only ever acts on the message it showed.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "web/app/mail_folders.h"
#include "web/app/page_furniture.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/controls_list.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/grid.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

class LanguagePack;

class TIdMessage;
class TUserSession;

// The view page's class, registered with the session's pages.
TIWPageClass ViewMailPageClass();

// Opens the shown message in the session's view page (made, or reused when it exists),
// marks it opened (unless mark_opened is false: the find page leaves an unread message
// unread), shows the view page and discards `from`. When the record no longer is that
// message, the user is told EmailLocateError + the index number and `from` stays.
void ShowMessageInViewPage(TIWAppForm& from, const ShownMessage& message, bool mark_opened = true);

// The filled print template: in each line the first [To], [From], [Subject] and
// [EMAILBODY] (any letter case) are replaced in one pass, so a value never becomes part
// of the template. The header values are escaped; the body is safe HTML already. The
// template's own words ("{%=From%}") are those of language, English without one.
std::string FillPrintTemplate(const std::vector<std::string>& lines, const std::string& to,
                              const std::string& from, const std::string& subject,
                              const std::string& body_html, const LanguagePack* language = nullptr);

// A download name for a message: its subject without the characters file systems or
// headers refuse, cut to a readable length, + ".eml"; "message.eml" for an empty one.
std::string MessageDownloadName(const std::string& subject);

// The message file as a mail program reads it: the stored file without its line
// stuffing (".." at a line start back to ".") and without its end line ".".
std::string StoredMessageAsRfc822(const std::string& stored);

class TIWViewMail : public TIWAppForm {
 public:
  TIWViewMail(TIWApplication& session, std::string name, std::string class_name);
  ~TIWViewMail() override;
  static TIWPageClass PageClass();

  TIWLabel& IWUserName;
  TIWLabel& IWFrom;
  TIWLabel& IWTo;
  TIWLabel& IWSubject;
  TIWLabel& IWEmailBody;
  TIWLabel& IWAttachLbl;
  TIWComboBox& IWAttachments;
  TIWButton& IWSaveAttach;
  TIWImageFile& IWReply;
  TIWImageFile& IWForward;
  TIWImageFile& IWPrint;
  TIWImageFile& IWSave;
  TIWImageFile& IWDelete;
  // Beyond the toolbar: load the blocked remote content of this message, download the
  // message itself, and open the print copy when the browser blocked its window.
  TIWLabel& IWRemoteNote;
  TIWLink& IWShowRemote;
  TIWLink& IWDownloadMessage;
  TIWLabel& IWPrintLink;
  // The message's own date (shown in the browser's time zone), when it arrived, its Cc,
  // and its files as a list: name (a download), size, type, a thumbnail of a picture and
  // "Open" for a picture or PDF. The drop-down above stays for nothing but its name.
  TIWLabel& IWFromLbl;
  TIWLabel& IWToLbl;
  TIWLabel& IWCcLbl;
  TIWLabel& IWCc;
  TIWLabel& IWDateLbl;
  TIWLabel& IWDate;
  TIWLabel& IWReceivedLbl;
  TIWLabel& IWReceived;
  TIWGrid& IWAttachList;
  PageFurniture Furniture;

  // Fills the page from a loaded message whose record is `record`.
  void Fill(const TIdMessage& message, const TEmailRecord& record, const ShownMessage& shown);

  const ShownMessage& Shown() const { return shown_; }
  // Whether the shown message lies in Saved (the page then offers no Save).
  bool ViewedFromSaved() const { return from_saved_; }

 private:
  void Render();
  void FillBody(const TIdMessage& message);
  // The shown message as it is now: reloaded from its file after checking that the
  // record still names it; false (and the user told `error_key` + n) when it does not.
  bool LoadShown(TUserSession& state, TIdMessage& message, const char* error_key);
  void DeleteClick();
  void SaveClick();
  void SaveAttachClick();
  // The attachment list and the session cache copies its thumbnails and "Open" use.
  void FillAttachmentList(const TIdMessage& message, bool flagged);
  void DownloadAttachment(std::size_t item);
  void PrintClick();
  // Fill the session's composition from the shown message and show the compose page.
  void ReplyClick();
  void ForwardClick();
  void ShowRemoteClick();
  void DownloadMessageClick();

  ShownMessage shown_;
  bool from_saved_ = false;
  bool allow_remote_ = false;
  // The message part of each drop-down item, in item order.
  std::vector<std::size_t> attachment_parts_;
  // The cache copies made for the shown message, removed when another one is shown.
  std::vector<std::filesystem::path> cache_files_;
};

}  // namespace kestrune
