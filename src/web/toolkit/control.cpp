// Shared behaviour of all controls and the writer that decorates their elements.
#include "web/toolkit/control.h"

#include <stdexcept>

#include "platform/escape.h"
#include "web/toolkit/http_message.h"

namespace kestrune {

std::string TIWFont::StyleText() const {
  std::string style;
  if (Color.IsSet()) style += "color:" + Color.ToHtml() + ";";
  if (!FontName.empty()) style += "font-family:" + FontName + ";";
  if (Size > 0) style += "font-size:" + std::to_string(Size) + "pt;";
  if (Bold) style += "font-weight:bold;";
  if (Italic) style += "font-style:italic;";
  if (Underline && Strikeout) {
    style += "text-decoration:underline line-through;";
  } else if (Underline) {
    style += "text-decoration:underline;";
  } else if (Strikeout) {
    style += "text-decoration:line-through;";
  }
  return style;
}

TIWBaseControl::TIWBaseControl(std::string name) : name_(std::move(name)) {}

TIWBaseControl::~TIWBaseControl() = default;

std::string TIWBaseControl::HTMLName() const { return AsciiUpper(name_); }

void TIWBaseControl::Submit(std::string_view param) { DoClick(); }

void TIWBaseControl::DoClick() {
  if (OnClick) OnClick(*this);
}

std::string TIWControl::CSSClass() const {
  return Font.CSSStyle.empty() ? HTMLName() + "CSS" : Font.CSSStyle;
}

std::string TIWControl::StyleText() const {
  std::string style = Font.StyleText();
  if (BGColor.IsSet()) style += "background-color:" + BGColor.ToHtml() + ";";
  return style;
}

std::string TIWControl::SubmitScript(std::string_view param) const {
  return "return SubmitClickConfirm('" + ScriptStringEscape(HTMLName()) + "','" +
         ScriptStringEscape(param) + "', " + (DoSubmitValidation ? "true" : "false") + ", '" +
         ScriptStringEscape(Confirmation) + "')";
}

void TIWControl::Decorate(TIWHTMLTag& tag, const ControlWriter& writer) const {
  // Elements whose name was emptied write only their content: nothing to decorate.
  if (tag.TagName().empty()) return;
  tag.SetAttribute("ID", ElementId());
  std::string style;
  if (writer.InTemplate()) {
    tag.SetAttribute("CLASS", CSSClass());
    style = StyleText();
  } else if (writer.AbsolutePositioning()) {
    style = "position:absolute;left:" + std::to_string(Left) + "px;top:" + std::to_string(Top) +
            "px;width:" + std::to_string(Width) + "px;height:" + std::to_string(Height) +
            "px;z-index:" + std::to_string(ZIndex) + ";" + StyleText();
  } else {
    style = StyleText();
  }
  if (auto own = tag.Attribute("STYLE")) style += *own;
  tag.RemoveAttribute("STYLE");
  tag.SetAttribute("STYLE", style);
  if (!StatusText.empty()) {
    const std::string show = "return Status('" + ScriptStringEscape(StatusText) + "')";
    tag.SetAttribute("OnMouseOver", show);
    tag.SetAttribute("OnFocus", show);
    tag.SetAttribute("OnMouseOut", "return Status('')");
    tag.SetAttribute("OnBlur", "return Status('')");
  }
  if (ShowHint && !Hint.empty()) tag.SetAttribute("title", Hint);  // escaped as attribute text
  for (const std::string& param : ExtraTagParams) {
    const auto equals = param.find('=');
    if (equals == 0 || param.empty()) {
      throw std::invalid_argument("Invalid attribute name: " + param);
    }
    if (equals == std::string::npos) {
      tag.AddFlag(param);
    } else {
      tag.SetAttribute(param.substr(0, equals), param.substr(equals + 1));
    }
  }
}

ControlWriter::ControlWriter(const RenderContext& context, bool in_template, ControlNamer& namer)
    : context_(context), in_template_(in_template), namer_(namer) {}

std::string ControlWriter::Write(TIWControl& control) {
  if (control.Name().empty()) control.SetName(namer_.UniqueControlName(control.KindName()));
  // Only the page's own controls are positioned; controls inside them flow with it.
  const bool absolute_here = absolute_;
  absolute_ = false;
  std::unique_ptr<TIWHTMLTag> tag = control.RenderHTML(*this);
  absolute_ = absolute_here;
  control.Decorate(*tag, *this);
  if (control.OnHTMLTag) control.OnHTMLTag(control, *tag);

  rendered_.push_back({control.HTMLName(), control.TakesPostedValues() && control.Editable,
                       control.CanFireActions()});
  if (control.NeedsMultipart()) needs_multipart_ = true;
  return tag->Render();
}

}  // namespace kestrune
