// The attachments page: uploads into the composition folder, the list with sizes and its
// total, removal, and the way back to the compose page. The list is the session's compose
// state; the page only remembers which file each list item showed, so a removal acts on
// the file the user selected even when the list changed since.
#include "web/pages/attachments_page.h"

#include <system_error>
#include <utility>

#include "platform/ascii.h"
#include "platform/byte_size.h"
#include "web/app/action_feedback.h"
#include "web/app/compose_state.h"
#include "web/app/user_session.h"
#include "web/pages/compose_page.h"
#include "web/pages/page_texts.h"
#include "web/toolkit/application.h"

namespace kestrune {
namespace fs = std::filesystem;

namespace {

// Longest stored name in bytes: well inside a file system's 255, with room for "-NN".
constexpr std::size_t kMaxNameBytes = 200;
constexpr std::size_t kMaxExtensionBytes = 16;

constexpr const char* kNewEmailPage = "IWNewEmail";

// The first `bytes` bytes of text, shortened to a whole UTF-8 character.
std::string_view CutUtf8(std::string_view text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
  return text.substr(0, bytes);
}

std::uint64_t SizeOnDisk(const fs::path& file) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(file, error);
  return error ? 0 : size;
}

bool Listed(const std::vector<ComposeAttachment>& list, std::string_view name) {
  for (const ComposeAttachment& attachment : list) {
    if (EqualsIgnoringAsciiCase(attachment.file_name, name)) return true;
  }
  return false;
}

std::string UploadRefusalText(const TWebApp& app, UploadRefusal refusal) {
  constexpr std::uintmax_t kMiB = 1024 * 1024;
  switch (refusal) {
    case UploadRefusal::kTooManyFiles:
      return FilledText(app, kWritingStrings, "TooManyAttachments",
                        {{"count", std::to_string(kMaxComposeAttachments)}});
    case UploadRefusal::kCompositionFull:
      return FilledText(app, kWritingStrings, "AttachmentsTooLarge",
                        {{"count", std::to_string(kMaxComposeAttachmentBytes / kMiB)}});
    case UploadRefusal::kUploadsFull:
      return FilledText(app, kWritingStrings, "UploadsFull",
                        {{"count", std::to_string(kMaxUploadsBytes / kMiB)}});
    case UploadRefusal::kNone:
      break;
  }
  return {};
}

fs::path FolderOf(TUserSession& state) { return ComposeFolder(state.Compose, state.User.UserDir); }

}  // namespace

std::string SafeAttachmentName(std::string_view client_name) {
  // Browsers on some systems send the whole path; only its last part names the file.
  const std::size_t slash = client_name.find_last_of("/\\");
  if (slash != std::string_view::npos) client_name.remove_prefix(slash + 1);
  std::string name;
  for (char c : client_name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) continue;
    if (std::string_view(":*?\"<>|").find(c) != std::string_view::npos) continue;
    name += c;
  }
  std::string_view trimmed = TrimBlanks(name);
  if (trimmed.size() > kMaxNameBytes) {
    const std::size_t dot = trimmed.rfind('.');
    const bool keep_extension =
        dot != std::string_view::npos && dot > 0 && trimmed.size() - dot <= kMaxExtensionBytes;
    const std::string_view extension = keep_extension ? trimmed.substr(dot) : std::string_view();
    std::string cut(CutUtf8(trimmed, kMaxNameBytes - extension.size()));
    cut += extension;
    name = std::move(cut);
    trimmed = name;
  }
  if (trimmed.empty() || trimmed == "." || trimmed == "..") return {};
  return std::string(trimmed);
}

std::string UniqueAttachmentName(const fs::path& folder, const std::string& name,
                                 const std::vector<ComposeAttachment>& taken) {
  const auto free = [&](const std::string& candidate) {
    std::error_code error;
    return !fs::exists(folder / candidate, error) && !error && !Listed(taken, candidate);
  };
  if (free(name)) return name;
  const std::size_t dot = name.rfind('.');
  const bool has_extension = dot != std::string::npos && dot > 0;
  const std::string stem = has_extension ? name.substr(0, dot) : name;
  const std::string extension = has_extension ? name.substr(dot) : std::string();
  for (int n = 2;; ++n) {
    std::string candidate = stem + "-" + std::to_string(n) + extension;
    if (free(candidate)) return candidate;
  }
}

std::string AttachmentListText(const ComposeAttachment& attachment) {
  return attachment.file_name + " (" + ByteSizeText(attachment.size) + ")";
}

std::string AttachUpload(TUserSession& state, std::string_view client_name, std::uintmax_t size,
                         const std::function<void(const fs::path&)>& save) {
  ComposeState& compose = state.Compose;
  const TWebApp& app = state.App();
  const std::string name = SafeAttachmentName(client_name);
  if (name.empty()) return app.Text(kHtmlDialogStrings, "SelectFileError");
  if (Listed(compose.Attachments, name)) {
    return app.Text(kHtmlDialogStrings, "UnuniqueFileUploadError");
  }
  if (const UploadRefusal refusal = CheckUpload(compose, state.User.UserDir, size);
      refusal != UploadRefusal::kNone) {
    return UploadRefusalText(app, refusal);
  }
  const fs::path folder = FolderOf(state);
  // A file of that name the list does not hold is never written over: the new one takes
  // the next free name.
  const std::string stored = UniqueAttachmentName(folder, name, compose.Attachments);
  save(folder / stored);
  compose.Attachments.push_back({stored, SizeOnDisk(folder / stored)});
  return {};
}

void RemoveAttachment(TUserSession& state, std::string_view file_name) {
  ComposeState& compose = state.Compose;
  for (auto at = compose.Attachments.begin(); at != compose.Attachments.end(); ++at) {
    if (at->file_name != file_name) continue;
    std::error_code ignored;  // a file already gone leaves only its list item to remove
    fs::remove(FolderOf(state) / at->file_name, ignored);
    compose.Attachments.erase(at);
    return;
  }
}

void DropAttachments(TUserSession& state) {
  ComposeState& compose = state.Compose;
  if (!compose.FolderName.empty() && !compose.Attachments.empty()) {
    const fs::path folder = FolderOf(state);
    for (const ComposeAttachment& attachment : compose.Attachments) {
      std::error_code ignored;  // a file already gone is what was wanted
      fs::remove(folder / attachment.file_name, ignored);
    }
  }
  compose.Attachments.clear();
  compose.AttachmentsFlag = false;
}

TIWPageClass AttachmentsPageClass() { return TIWAttachments::PageClass(); }

TIWPageClass TIWAttachments::PageClass() {
  return PageClassOf<TIWAttachments>("TIWAttachments", "IWAttachments");
}

TIWAttachments::TIWAttachments(TIWApplication& session, std::string name, std::string class_name)
    : TIWAppForm(session, std::move(name), std::move(class_name)),
      IWUserName(AddControl<TIWLabel>("IWUserName")),
      IWFindFile(AddControl<TIWFile>("IWFindFile")),
      IWAttach(AddControl<TIWButton>("IWAttach")),
      IWAttachments(AddControl<TIWListbox>("IWAttachments")),
      IWRemove(AddControl<TIWButton>("IWRemove")),
      IWSize(AddControl<TIWLabel>("IWSize")),
      IWOkay(AddControl<TIWButton>("IWOkay")),
      IWCancel(AddControl<TIWButton>("IWCancel")),
      Furniture(*this, "") {
  TemplateProcessor.Templates.Default = "attachments.htm";
  OnRender = [this](TIWAppForm&) { Render(); };
  IWSize.Caption = ByteSizeText(0);
  IWAttachments.Height = 160;  // ten rows
  IWAttachments.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) {
    tag.SetAttribute("style", "width:100%;z-index:100;font: 13px;text-align:left");
  };
  IWAttach.OnClick = [this](TIWBaseControl&) { AttachClick(); };
  IWRemove.OnClick = [this](TIWBaseControl&) { RemoveClick(); };
  IWOkay.OnClick = [this](TIWBaseControl&) { OkayClick(); };
  IWCancel.OnClick = [this](TIWBaseControl&) { CancelClick(); };

  // Leaving through the toolbar or navigation drops a list that was never accepted.
  Furniture.OnLeave = [this] {
    if (TUserSession* state = SessionOf(WebApplication())) DropAttachments(*state);
  };
  // A new message, the suggestions or a contact's click start the composition again.
  BindComposeOpeners(Furniture, *this);
}

void TIWAttachments::Render() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  const TWebApp& app = state->App();
  for (TIWControl* control :
       std::initializer_list<TIWControl*>{&IWFindFile, &IWAttach, &IWAttachments, &IWRemove}) {
    SetTexts(app, kAttachmentsStrings, *control);
  }
  SetTexts(app, kGlobalStrings, IWOkay);
  SetTexts(app, kGlobalStrings, IWCancel);
  Furniture.Render(*state);
  IWUserName.Caption = state->LoginName;

  const ComposeState& compose = state->Compose;
  IWAttachments.Items.clear();
  IWAttachments.Items.push_back(app.Text(kAttachmentsStrings, "MessageAttachmentsHeading"));
  shown_.clear();
  std::uint64_t total = 0;
  const fs::path folder = compose.FolderName.empty() ? fs::path() : FolderOf(*state);
  for (const ComposeAttachment& attachment : compose.Attachments) {
    IWAttachments.Items.push_back(AttachmentListText(attachment));
    shown_.push_back(attachment.file_name);
    // A missing file counts nothing.
    if (!folder.empty()) total += SizeOnDisk(folder / attachment.file_name);
  }
  IWAttachments.NoSelectionText.clear();
  IWAttachments.SetItemIndex(0);
  IWSize.Caption = ByteSizeText(total);

  // The suggestions message carries no files: its attachments cannot be changed.
  IWFindFile.Visible = IWAttach.Visible = IWRemove.Visible = !compose.ReadOnly;
}

void TIWAttachments::AttachClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  ComposeState& compose = state.Compose;
  if (compose.ReadOnly) return;
  const std::string refusal =
      AttachUpload(state, IWFindFile.FileName(), IWFindFile.FileSize(),
                   [this](const fs::path& path) { IWFindFile.SaveToFile(path); });
  if (!refusal.empty()) session.ShowUserMessage(refusal);
}

void TIWAttachments::RemoveClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  ComposeState& compose = state.Compose;
  if (compose.ReadOnly) return;
  const int item = IWAttachments.ItemIndex();
  if (item < 1 || static_cast<std::size_t>(item) > shown_.size()) {
    session.ShowUserMessage(state.App().Text(kHtmlDialogStrings, "RemoveFileError"));
    return;
  }
  RemoveAttachment(state, shown_[static_cast<std::size_t>(item - 1)]);
}

void TIWAttachments::OkayClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  ComposeState& compose = SessionOf(session)->Compose;
  // The compose page writes its attachment text from the list: the names, each with
  // its size and "; ".
  compose.AttachmentsFlag = !compose.Attachments.empty();
  ShowComposePage(*this);
}

void TIWAttachments::CancelClick() {
  TIWApplication& session = WebApplication();
  if (session.SessionEnding()) return;
  TUserSession& state = *SessionOf(session);
  // Without an accepted list the files chosen here are not the message's.
  if (!state.Compose.AttachmentsFlag) DropAttachments(state);
  ShowComposePage(*this);
}

void ShowAttachmentsPage(TIWAppForm& from) {
  TIWApplication& session = from.WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  if (!state->Compose.AttachmentsFlag) DropAttachments(*state);
  TIWAppForm* page = session.FindPage("IWAttachments");
  if (page == nullptr) page = &session.CreatePage(AttachmentsPageClass());
  session.ShowPage(page);
  if (&from != page && !EqualsIgnoringAsciiCase(from.Name(), kNewEmailPage)) {
    session.DiscardPage(&from);
  }
}

}  // namespace kestrune
