// The compose page's file list and its uploads, and the recipients' completion list.
#include "web/pages/compose_files.h"

#include <filesystem>
#include <system_error>

#include "mail/address_list.h"
#include "platform/byte_size.h"
#include "platform/escape.h"
#include "store/contacts_db.h"
#include "web/app/compose_state.h"
#include "web/app/user_session.h"
#include "web/pages/attachments_page.h"
#include "web/toolkit/application.h"
#include "web/toolkit/page_errors.h"

namespace kestrune {
namespace fs = std::filesystem;

void FillComposeFileList(const TUserSession& state, TIWGrid& list,
                         std::vector<std::string>& shown) {
  const TWebApp& app = state.App();
  const ComposeState& compose = state.Compose;
  const std::string remove = app.Text(kWritingStrings, "RemoveFile.Caption");
  list.SetRowCount(0);
  list.SetRowCount(static_cast<int>(compose.Attachments.size()));
  shown.clear();
  for (std::size_t k = 0; k < compose.Attachments.size(); ++k) {
    const ComposeAttachment& file = compose.Attachments[k];
    const int row = static_cast<int>(k);
    TIWGridCell& name = list.Cell(row, 0);
    name.Text = file.file_name;
    name.Wrap = true;
    list.Cell(row, 1).Text = ByteSizeText(file.size);
    // Each button names its file for a screen reader; the eye sees "Remove".
    TIWGridCell& button = list.Cell(row, 2);
    button.Text = HtmlEscape(remove) + "<span class=\"kst-visually-hidden\"> " +
                  HtmlEscape(file.file_name) + "</span>";
    button.RawText = true;
    button.Clickable = !compose.ReadOnly;
    shown.push_back(file.file_name);
  }
  list.Visible = !compose.Attachments.empty();
}

void AttachPostedFiles(TIWApplication& session, TUserSession& state, const TIWFile& field) {
  ComposeState& compose = state.Compose;
  if (compose.ReadOnly) return;
  const std::vector<UploadedFile>& uploads = field.Uploads();
  if (uploads.empty()) {
    session.ShowUserMessage(state.App().Text(kHtmlDialogStrings, "SelectFileError"));
    return;
  }
  std::string refused;
  for (const UploadedFile& upload : uploads) {
    const std::string why =
        AttachUpload(state, upload.client_file_name, upload.size, [&upload](const fs::path& path) {
          std::error_code error;
          fs::copy_file(upload.temp_path, path, fs::copy_options::overwrite_existing, error);
          if (error) {
            throw ToolkitError("Cannot save the uploaded file to " + path.string() + ": " +
                               error.message());
          }
        });
    if (!why.empty()) refused += SafeAttachmentName(upload.client_file_name) + ": " + why + "\n";
  }
  // Files attached here are the message's at once; the attachments page shows the same.
  compose.AttachmentsFlag = !compose.Attachments.empty();
  if (!refused.empty()) session.ShowUserMessage(refused);
}

std::string ContactsDatalist(TUserSession& state) {
  if (!state.OpenContactsDB()) return {};
  std::string options;
  TContactsDB& contacts = *state.ContactsDB;
  for (int i = 1; i <= contacts.GetCount(); ++i) {
    TContactRecord contact;
    if (!contacts.GetContact(i, contact) || contact.Active != 1 || contact.ContactEmail.empty()) {
      continue;
    }
    options += "<option value=\"" +
               AttributeEscape(RecipientText(contact.ContactName, contact.ContactEmail)) + "\">";
  }
  if (options.empty()) return {};
  return std::string("<datalist id=\"") + kContactsDatalistId + "\">" + options + "</datalist>";
}

}  // namespace kestrune
