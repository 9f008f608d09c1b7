// The attachments page TIWAttachments: the files of the message being composed. Uploads
// go one at a time into the composition's own folder; the list it shows is the session's
// compose state, which keeps each file's real name beside the text the list displays.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "web/app/page_furniture.h"
#include "web/toolkit/app_form.h"
#include "web/toolkit/controls_list.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/page_class.h"

namespace kestrune {

struct ComposeAttachment;
struct ComposeState;
class TUserSession;

TIWPageClass AttachmentsPageClass();

// Shows the attachments page for the session's composition, discarding `from` unless it
// is the compose page (which keeps its contents while the attachments page is shown).
// When the composition's attachments flag is off the list starts empty.
void ShowAttachmentsPage(TIWAppForm& from);

// The name an uploaded or forwarded file is stored under: the last part of the browser's
// path ("/" or "\" separated), without control characters and the characters file
// systems refuse (\ / : * ? " < > |), trimmed, at most 200 bytes (the extension kept).
// Empty when nothing usable is left ("", ".", "..").
std::string SafeAttachmentName(std::string_view client_name);

// name, or "stem-2.ext", "stem-3.ext" ... : the first that neither exists in folder nor
// equals (ignoring letter case) a name in taken.
std::string UniqueAttachmentName(const std::filesystem::path& folder, const std::string& name,
                                 const std::vector<ComposeAttachment>& taken);

// A list line: "report.pdf (12 KB)".
std::string AttachmentListText(const ComposeAttachment& attachment);

// Adds an uploaded file (its browser-side name and size) to the session's composition
// under every limit of the attachments page: a usable name, no name twice, the count and
// size limits; `save` writes the bytes to the path it is given. Returns what to tell
// the user when the file is refused, else empty.
std::string AttachUpload(TUserSession& state, std::string_view client_name, std::uintmax_t size,
                         const std::function<void(const std::filesystem::path&)>& save);

class TIWAttachments : public TIWAppForm {
 public:
  TIWAttachments(TIWApplication& session, std::string name, std::string class_name);
  static TIWPageClass PageClass();

  TIWLabel& IWUserName;
  TIWFile& IWFindFile;
  TIWButton& IWAttach;
  TIWListbox& IWAttachments;
  TIWButton& IWRemove;
  TIWLabel& IWSize;
  TIWButton& IWOkay;
  TIWButton& IWCancel;
  PageFurniture Furniture;

 private:
  void Render();
  void AttachClick();
  void RemoveClick();
  void OkayClick();
  void CancelClick();
  // Leaves through a navigation or toolbar control: the list goes with the page.

  // The file names of list items 1..n as the last render wrote them.
  std::vector<std::string> shown_;
};

// Removes one file (by its stored name) from the composition's list and folder.
void RemoveAttachment(TUserSession& state, std::string_view file_name);

// Empties the composition's attachment list and removes its files from the composition
// folder; the attachments flag goes off.
void DropAttachments(TUserSession& state);

}  // namespace kestrune
