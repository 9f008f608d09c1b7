// Labels, links, images, buttons, edits, file fields, memos and check boxes.
#include "web/toolkit/controls_text.h"

namespace kestrune {

std::unique_ptr<TIWHTMLTag> TIWLabel::RenderHTML(ControlWriter& writer) { return std::make_unique<TIWHTMLTag>("span"); }
std::unique_ptr<TIWHTMLTag> TIWLink::RenderHTML(ControlWriter& writer) { return std::make_unique<TIWHTMLTag>("a"); }
std::string TIWImageFile::ImageURL(const RenderContext& context) const { return ImageFile; }
std::unique_ptr<TIWHTMLTag> TIWImageFile::RenderHTML(ControlWriter& writer) { return std::make_unique<TIWHTMLTag>("img"); }
std::unique_ptr<TIWHTMLTag> TIWButton::RenderHTML(ControlWriter& writer) { return std::make_unique<TIWHTMLTag>("input"); }
void TIWEdit::SetValue(std::string_view value, const PostedForm& post) { Text = value; }
void TIWEdit::Submit(std::string_view param) { if (OnSubmit) OnSubmit(*this); }
std::unique_ptr<TIWHTMLTag> TIWEdit::RenderHTML(ControlWriter& writer) { return std::make_unique<TIWHTMLTag>("input"); }
std::string TIWFile::FileName() const { return upload_ ? upload_->client_file_name : std::string(); }
std::uintmax_t TIWFile::FileSize() const { return upload_ ? upload_->size : 0; }
void TIWFile::SaveToFile(const std::filesystem::path& path) const {}
void TIWFile::SetValue(std::string_view value, const PostedForm& post) {}
std::unique_ptr<TIWHTMLTag> TIWFile::RenderHTML(ControlWriter& writer) { return std::make_unique<TIWHTMLTag>("span"); }
std::string TIWMemo::Text() const { return {}; }
void TIWMemo::SetText(std::string_view text) {}
void TIWMemo::SetValue(std::string_view value, const PostedForm& post) {}
std::unique_ptr<TIWHTMLTag> TIWMemo::RenderHTML(ControlWriter& writer) { return std::make_unique<TIWHTMLTag>("textarea"); }
void TIWCheckBox::SetValue(std::string_view value, const PostedForm& post) {}
std::unique_ptr<TIWHTMLTag> TIWCheckBox::RenderHTML(ControlWriter& writer) { return std::make_unique<TIWHTMLTag>("input"); }

}  // namespace kestrune
