// Labels, links, images, buttons, edits, file fields, memos and check boxes. Texts that
// come from data are escaped here; only a label marked RawText writes markup.
#include "web/toolkit/controls_text.h"

#include <system_error>

#include "platform/ascii.h"
#include "platform/escape.h"
#include "web/toolkit/http_message.h"
#include "web/toolkit/page_errors.h"

namespace kestrune {

namespace {

// Text shown as a label: escaped, spaces kept visible, line feeds as line breaks.
std::string LabelText(std::string_view text) {
  std::string out;
  for (char c : HtmlEscape(text)) {
    switch (c) {
      case ' ':
        out += "&nbsp;";
        break;
      case '\r':
        break;
      case '\n':
        out += "<br>";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::unique_ptr<TIWHTMLTag> LabelElement(std::string_view text) {
  auto tag = std::make_unique<TIWHTMLTag>("span");
  tag->AddRawText(LabelText(text));
  return tag;
}

// One "*" per character (UTF-8 continuation bytes do not count).
std::string PasswordMask(std::string_view text) {
  std::string mask;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) mask += '*';
  }
  return mask;
}

}  // namespace

std::unique_ptr<TIWHTMLTag> TIWLabel::RenderHTML(ControlWriter& writer) {
  auto tag = std::make_unique<TIWHTMLTag>("span");
  TIWHTMLTag& holder = NoWrap ? tag->AddTag("nobr") : *tag;
  holder.AddRawText(RawText ? Caption : LabelText(Caption));
  return tag;
}

std::unique_ptr<TIWHTMLTag> TIWLink::RenderHTML(ControlWriter& writer) {
  if (!Enabled) return LabelElement(Caption);
  auto tag = std::make_unique<TIWHTMLTag>("a");
  tag->SetAttribute("HREF", "javascript:void(0)");
  tag->SetAttribute("OnClick", SubmitScript(""));
  tag->AddText(Caption);
  return tag;
}

std::string TIWImageFile::ImageURL(const RenderContext& context) const {
  if (ImageFile.find_first_of("/:") != std::string::npos) return ImageFile;
  return context.url_base + "/Files/" + ImageFile;
}

std::unique_ptr<TIWHTMLTag> TIWImageFile::RenderHTML(ControlWriter& writer) {
  auto image = std::make_unique<TIWHTMLTag>("img");
  image->SetAttribute("SRC", ImageURL(writer.Context()));
  image->SetIntAttribute("BORDER", BorderSize);
  if (UseSize) {
    image->SetIntAttribute("WIDTH", Width);
    image->SetIntAttribute("HEIGHT", Height);
  }
  if (!OnClick) {
    image->SetAttribute("ALT", AltText);
    return image;
  }
  // The icon of a labelled button says nothing the label does not: an empty ALT. Without
  // a label the ALT is the button's name.
  if (Caption.empty()) {
    image->SetAttribute("ALT", AltText);
  } else {
    image->SetRawAttribute("ALT", "");
  }
  auto button = std::make_unique<TIWHTMLTag>("button");
  button->SetAttribute("TYPE", "button");
  button->SetAttribute("data-kst", "tool");
  if (Enabled) {
    button->SetAttribute("OnClick", SubmitScript(""));
  } else {
    button->AddFlag("DISABLED");
  }
  button->AddTag(std::move(image));
  if (!Caption.empty()) {
    TIWHTMLTag& label = button->AddTag("span");
    label.SetAttribute("class", "kst-tool-label");
    label.AddText(Caption);
  }
  return button;
}

std::unique_ptr<TIWHTMLTag> TIWButton::RenderHTML(ControlWriter& writer) {
  auto tag = std::make_unique<TIWHTMLTag>("input");
  const char* type = ButtonType == TButtonType::btSubmit  ? "submit"
                     : ButtonType == TButtonType::btReset ? "reset"
                                                          : "button";
  tag->SetAttribute("TYPE", type);
  tag->SetAttribute("NAME", HTMLName());
  tag->SetAttribute("VALUE", Caption);
  if (Enabled) {
    tag->SetAttribute("OnClick", SubmitScript(""));
  } else {
    tag->AddFlag("DISABLED");
  }
  return tag;
}

void TIWEdit::SetValue(std::string_view value, const PostedForm& post) { Text = value; }

void TIWEdit::Submit(std::string_view param) {
  if (OnSubmit) OnSubmit(*this);
}

std::unique_ptr<TIWHTMLTag> TIWEdit::RenderHTML(ControlWriter& writer) {
  if (!Editable) return LabelElement(PasswordPrompt ? PasswordMask(Text) : Text);
  auto tag = std::make_unique<TIWHTMLTag>("input");
  tag->SetAttribute("TYPE", PasswordPrompt ? "PASSWORD" : "TEXT");
  tag->SetAttribute("NAME", HTMLName());
  if (MaxLength > 0) tag->SetIntAttribute("MAXLENGTH", MaxLength);
  tag->SetAttribute("VALUE", Text);
  if (ReadOnly) tag->AddFlag("READONLY");
  if (OnSubmit && Enabled) {
    tag->SetAttribute("OnKeyPress", "return CheckReturnKey(event.keyCode, '" +
                                        ScriptStringEscape(HTMLName()) + "', " +
                                        (DoSubmitValidation ? "true" : "false") + ")");
  }
  return tag;
}

std::string TIWFile::FileName() const {
  return upload_ ? upload_->client_file_name : std::string();
}

std::uintmax_t TIWFile::FileSize() const { return upload_ ? upload_->size : 0; }

void TIWFile::SaveToFile(const std::filesystem::path& path) const {
  std::error_code error;
  if (!upload_ || !std::filesystem::is_regular_file(upload_->temp_path, error)) {
    throw ToolkitError("No file was uploaded.");
  }
  std::filesystem::copy_file(upload_->temp_path, path,
                             std::filesystem::copy_options::overwrite_existing, error);
  if (error) {
    throw ToolkitError("Cannot save the uploaded file to " + path.string() + ": " +
                       error.message());
  }
}

void TIWFile::SetValue(std::string_view value, const PostedForm& post) {
  const UploadedFile* file = post.FindFile(HTMLName());
  if (file && !file->client_file_name.empty()) {
    upload_ = *file;
  } else {
    upload_.reset();
  }
  uploads_.clear();
  for (const UploadedFile& each : post.files) {
    // A browser sends an empty part for a field left without a file.
    if (EqualsIgnoringAsciiCase(each.field_name, HTMLName()) && !each.client_file_name.empty()) {
      uploads_.push_back(each);
    }
  }
}

void TIWFile::ForgetPost() {
  upload_.reset();
  uploads_.clear();
}

std::unique_ptr<TIWHTMLTag> TIWFile::RenderHTML(ControlWriter& writer) {
  auto span = std::make_unique<TIWHTMLTag>("span");
  TIWHTMLTag& input = span->AddTag("input");
  input.SetAttribute("TYPE", "FILE");
  input.SetAttribute("NAME", HTMLName());
  input.SetAttribute("ID", HTMLName());
  if (Multiple) input.AddFlag("multiple");
  return span;
}

std::string TIWMemo::Text() const {
  std::string text;
  for (std::size_t i = 0; i < Lines.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += Lines[i];
  }
  return text;
}

void TIWMemo::SetText(std::string_view text) {
  Lines.clear();
  if (text.empty()) return;
  std::string line;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      Lines.push_back(std::move(line));
      line.clear();
    } else {
      line += c;
    }
  }
  Lines.push_back(std::move(line));
}

void TIWMemo::SetValue(std::string_view value, const PostedForm& post) { SetText(value); }

std::unique_ptr<TIWHTMLTag> TIWMemo::RenderHTML(ControlWriter& writer) {
  auto tag = std::make_unique<TIWHTMLTag>("textarea");
  tag->SetAttribute("NAME", HTMLName());
  if (ReadOnly || !Editable) tag->AddFlag("READONLY");
  if (!WordWrap) tag->SetAttribute("WRAP", "off");
  // Browsers drop one line feed right after the opening tag; writing one keeps a text
  // that starts with an empty line intact.
  tag->AddRawText("\n");
  tag->AddText(Text());
  return tag;
}

void TIWCheckBox::SetValue(std::string_view value, const PostedForm& post) {
  Checked = EqualsIgnoringAsciiCase(value, "on");
}

std::unique_ptr<TIWHTMLTag> TIWCheckBox::RenderHTML(ControlWriter& writer) {
  auto input = std::make_unique<TIWHTMLTag>("input");
  input->SetAttribute("TYPE", "CHECKBOX");
  input->SetAttribute("NAME", HTMLName());
  input->SetAttribute("VALUE", "On");
  if (Checked) input->AddFlag("CHECKED");
  if (OnClick && Enabled) input->SetAttribute("OnClick", SubmitScript(""));
  if (Caption.empty()) return input;
  auto label = std::make_unique<TIWHTMLTag>("label");
  label->AddTag(std::move(input));
  label->AddRawText(LabelText(Caption));
  return label;
}

}  // namespace kestrune
