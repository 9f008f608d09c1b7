// The single-element controls: labels, links, images, buttons, edits, file fields,
// memos and check boxes.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "web/toolkit/control.h"

namespace kestrune {

// SPAN holding the caption. Captions are data and escaped (spaces as &nbsp;, line feeds
// as <br>); RawText marks a caption as the page's own markup, written as it is.
class TIWLabel : public TIWControl {
 public:
  using TIWControl::TIWControl;
  std::string Caption;
  bool RawText = false;
  bool NoWrap = false;

  std::unique_ptr<TIWHTMLTag> RenderHTML(ControlWriter& writer) override;
  std::string_view KindName() const override { return "IWLabel"; }
};

// A with HREF "javascript:void(0)" that submits the page with the link as action; a
// link that is not enabled is written as a label.
class TIWLink : public TIWControl {
 public:
  using TIWControl::TIWControl;
  std::string Caption;

  bool AcceptsActions() const override { return true; }
  std::unique_ptr<TIWHTMLTag> RenderHTML(ControlWriter& writer) override;
  std::string_view KindName() const override { return "IWLink"; }
};

// IMG; ImageFile is a URL ("/Files/logout.gif") or a file name inside the Files
// directory. Clickable when OnClick is bound: then a BUTTON holding the icon and the
// Caption, so that the control takes the focus and the keys of a button and has a name;
// without a Caption the AltText names it (kept for the tooltip-only look).
class TIWImageFile : public TIWControl {
 public:
  using TIWControl::TIWControl;
  std::string ImageFile;
  std::string AltText;
  std::string Caption;  // the short visible label of a clickable image
  int BorderSize = 0;
  bool UseSize = false;

  std::string ImageURL(const RenderContext& context) const;
  bool AcceptsActions() const override { return static_cast<bool>(OnClick); }
  std::unique_ptr<TIWHTMLTag> RenderHTML(ControlWriter& writer) override;
  std::string_view KindName() const override { return "IWImageFile"; }
};

enum class TButtonType { btButton, btSubmit, btReset };

class TIWButton : public TIWControl {
 public:
  using TIWControl::TIWControl;
  std::string Caption;
  TButtonType ButtonType = TButtonType::btButton;

  bool AcceptsActions() const override { return true; }
  std::unique_ptr<TIWHTMLTag> RenderHTML(ControlWriter& writer) override;
  std::string_view KindName() const override { return "IWButton"; }
};

// Text field shared by TIWEdit and TIWFile.
class TIWCustomEdit : public TIWControl {
 public:
  using TIWControl::TIWControl;
  std::string Text;
  bool TakesPostedValues() const override { return true; }
};

// INPUT TYPE "TEXT" or "PASSWORD"; Enter in it fires OnSubmit when bound.
class TIWEdit : public TIWCustomEdit {
 public:
  using TIWCustomEdit::TIWCustomEdit;
  bool PasswordPrompt = false;
  int MaxLength = 0;
  bool ReadOnly = false;
  NotifyEvent OnSubmit;

  void SetValue(std::string_view value, const PostedForm& post) override;
  bool AcceptsActions() const override { return static_cast<bool>(OnSubmit); }
  void Submit(std::string_view param) override;
  std::unique_ptr<TIWHTMLTag> RenderHTML(ControlWriter& writer) override;
  std::string_view KindName() const override { return "IWEdit"; }
};

// INPUT TYPE "FILE" inside a SPAN named the control name + "SPAN". Holds the upload
// of the current post.
class TIWFile : public TIWCustomEdit {
 public:
  using TIWCustomEdit::TIWCustomEdit;
  // The field takes several files at once (the browser's "multiple").
  bool Multiple = false;

  // Every upload of the current post for this field, in the order the browser sent them.
  const std::vector<UploadedFile>& Uploads() const { return uploads_; }

  // The browser-side file name of the upload in the current post; empty when none.
  std::string FileName() const;
  std::uintmax_t FileSize() const;
  // Writes the uploaded bytes to the path, creating or replacing the file. Raises
  // ToolkitError when the current post carried no file for this field.
  void SaveToFile(const std::filesystem::path& path) const;

  void SetValue(std::string_view value, const PostedForm& post) override;
  void ForgetPost() override;
  // An upload lives only for its request; a render ends the request's page code.
  void ResetLastRender() override {
    upload_.reset();
    uploads_.clear();
  }
  bool NeedsMultipart() const override { return true; }
  std::string ElementId() const override { return HTMLName() + "SPAN"; }
  std::unique_ptr<TIWHTMLTag> RenderHTML(ControlWriter& writer) override;
  std::string_view KindName() const override { return "IWFile"; }

 private:
  std::optional<UploadedFile> upload_;
  std::vector<UploadedFile> uploads_;
};

// TEXTAREA holding the lines.
class TIWMemo : public TIWControl {
 public:
  using TIWControl::TIWControl;
  std::vector<std::string> Lines;
  bool ReadOnly = false;
  bool WordWrap = true;

  std::string Text() const;  // the lines joined with "\r\n"
  void SetText(std::string_view text);

  bool TakesPostedValues() const override { return true; }
  void SetValue(std::string_view value, const PostedForm& post) override;
  std::unique_ptr<TIWHTMLTag> RenderHTML(ControlWriter& writer) override;
  std::string_view KindName() const override { return "IWMemo"; }
};

// INPUT TYPE "CHECKBOX", with its caption in a LABEL around it when it has one.
class TIWCheckBox : public TIWControl {
 public:
  using TIWControl::TIWControl;
  std::string Caption;
  bool Checked = false;

  bool TakesPostedValues() const override { return true; }
  void SetValue(std::string_view value, const PostedForm& post) override;
  bool AcceptsActions() const override { return true; }
  std::unique_ptr<TIWHTMLTag> RenderHTML(ControlWriter& writer) override;
  std::string_view KindName() const override { return "IWCheckBox"; }
};

}  // namespace kestrune
