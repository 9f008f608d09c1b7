// The signature page. The signature is HTML that goes into every new message of its
// account, so it is held to the composed body's allow-list twice: when stored here, and
// again when a new message takes it (the file may have been edited by hand). Only a mail
// store inside the users directory is read or written, and the administrator editing
// another account's signature never changes the administrator's own AddSignature.
#include "web/pages/signature_page.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "mail/message_display.h"
#include "platform/atomic_file.h"
#include "platform/read_file.h"
#include "settings/program_config.h"
#include "store/mail_store_paths.h"
#include "web/app/user_session.h"
#include "web/pages/compose_page.h"
#include "web/pages/page_texts.h"
#include "web/toolkit/application.h"

namespace kestrune {
namespace fs = std::filesystem;

namespace {

constexpr const char* kObjectName = "IWSignature";
constexpr const char* kBodyStyle =
    "width:100%;height:100%;z-index:100;font: 13px;BACKGROUND-COLOR: #FFFFFF";
// A signature file larger than this is not loaded into the editor.
constexpr std::size_t kMaxSignatureBytes = 1024 * 1024;

std::string WithoutTrailingSlash(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return fs::path(dir).lexically_normal().string();
}

TIWLabel& BareLabel(TIWAppForm& page, const char* name) {
  auto& label = page.AddControl<TIWLabel>(name);
  label.RawText = true;
  label.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) { tag.SetTagName(""); };
  return label;
}

}  // namespace

bool IsSignatureStore(const std::string& dir, const std::string& users_directory) {
  return !dir.empty() && IsUserDirInside(dir, users_directory) &&
         WithoutTrailingSlash(dir) != WithoutTrailingSlash(users_directory);
}

TIWSignature::TIWSignature(TIWApplication& session, std::string name, std::string class_name)
    : TIWAppForm(session, std::move(name), std::move(class_name)),
      IWUserName(AddControl<TIWLabel>("IWUserName")),
      IWSigBody(AddControl<TRichTextMemo>("IWSigBody")),
      IWBodyFlag(BareLabel(*this, "IWBodyFlag")),
      IWSave(AddControl<TIWButton>("IWSave")),
      IWCancel(AddControl<TIWButton>("IWCancel")),
      IWSigNote(AddControl<TIWLabel>("IWSigNote")),
      Furniture(*this, "") {
  TemplateProcessor.Templates.Default = "signature.htm";
  OnRender = [this](TIWAppForm&) { Render(); };
  IWSigBody.OnHTMLTag = [this](TIWBaseControl&, TIWHTMLTag& tag) {
    if (const TUserSession* state = SessionOf(WebApplication())) AddEditorTexts(state->App(), tag);
    tag.SetAttribute("style", kBodyStyle);
    tag.SetAttribute("class", "kst-editor");
    tag.SetAttribute("rows", "10");
  };
  IWSigNote.Visible = false;
  IWSave.OnClick = [this](TIWBaseControl&) { SaveClick(); };
  IWCancel.OnClick = [this](TIWBaseControl&) {
    if (WebApplication().SessionEnding()) return;
    ReturnToOpener();
  };
  BindComposeOpeners(Furniture, *this);
}

TIWPageClass TIWSignature::PageClass() {
  return PageClassOf<TIWSignature>("TIWSignature", kObjectName);
}

void TIWSignature::LoadBody(const TUserSession& state) {
  if (loaded_ && loaded_dir_ == state.SignatureDir) return;
  loaded_ = true;
  loaded_dir_ = state.SignatureDir;
  IWSigBody.SetText("");
  if (!IsSignatureStore(loaded_dir_, state.App().Config().UserDirectories)) return;
  try {
    if (const auto text =
            ReadFileIfExists(fs::path(loaded_dir_) / kSignatureFileName, kMaxSignatureBytes)) {
      IWSigBody.SetText(*text);
    }
  } catch (const std::exception&) {
    // An unreadable file shows as no signature; Save writes a new one.
  }
}

void TIWSignature::Render() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  const TWebApp& app = state->App();
  Furniture.Render(*state);
  IWUserName.Caption = state->LoginName;
  SetTexts(app, kSignatureStrings, IWSigBody);
  SetTexts(app, kSignatureStrings, IWSave);
  SetTexts(app, kGlobalStrings, IWCancel);
  LoadBody(*state);
  const bool usable = IsSignatureStore(state->SignatureDir, app.Config().UserDirectories);
  // Shown instead of the editor when the page was opened for no mail store of this
  // installation (a new account without one yet, or a directory outside the users one).
  IWSigNote.Caption = app.Text(kWritingStrings, "NoSignatureStore");
  IWSigNote.Visible = !usable;
  IWSigBody.ReadOnly = !usable;
  IWSave.Enabled = usable;
  // What the file holds is HTML; a script-less browser posts it back as it is shown.
  IWBodyFlag.Caption = RichTextFlagHtml(!IWSigBody.Lines.empty());
}

void TIWSignature::SaveClick() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (session.SessionEnding() || state == nullptr || !state->LoggedIn) return;
  const std::string dir = state->SignatureDir;
  if (!IsSignatureStore(dir, state->App().Config().UserDirectories)) {
    ReturnToOpener();  // nothing is written for a store that is not one of ours
    return;
  }
  const std::string text = IWSigBody.Text();
  if (text.empty()) {
    session.ShowUserMessage(state->App().Text(kWritingStrings, "EmptySignature"));
    return;
  }
  const std::string html =
      SanitiseComposedHtml(IWSigBody.PostedHtml ? text : PlainTextToHtml(text));
  fs::create_directories(dir);
  ReplaceFileAtomically(fs::path(dir) / kSignatureFileName, html, 0600);
  state->SignatureStored = true;
  // Only the signed-in user's own store switches the user's own signature on.
  if (WithoutTrailingSlash(dir) == WithoutTrailingSlash(state->User.UserDir)) {
    state->User.AddSignature = true;
  }
  ReturnToOpener();
}

void TIWSignature::ReturnToOpener() {
  TIWApplication& session = WebApplication();
  TUserSession* state = SessionOf(session);
  if (state == nullptr) return;
  const std::string& name = state->SignatureReturnPage;
  TIWAppForm* page = name.empty() ? nullptr : session.FindPage(name);
  if (page == nullptr) {
    const TIWPageClass* page_class = name.empty() ? nullptr : state->App().Pages().Named(name);
    page = &session.CreatePage(page_class ? *page_class : state->App().Pages().Main);
  }
  session.ShowPage(page);
  session.DiscardPage(this);
}

TIWPageClass SignaturePageClass() { return TIWSignature::PageClass(); }

}  // namespace kestrune
