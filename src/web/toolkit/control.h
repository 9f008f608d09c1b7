// The base classes of every control (TIWBaseControl, TIWControl) and the ControlWriter
// that turns controls into HTML during one page render. A control kind only builds its
// element and says which posted values and actions it takes; the writer adds what all
// controls share (ID, CLASS, STYLE, status text, hint) and fires OnHTMLTag.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "web/toolkit/html_tag.h"
#include "web/toolkit/posted_form.h"
#include "web/toolkit/render_context.h"

namespace kestrune {

struct TIWFont {
  TIWColor Color;
  std::string FontName;
  int Size = 0;  // points; 0 = browser default
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
  bool Strikeout = false;
  std::string CSSStyle;  // a class of the page's style sheet

  // "color:#FF0000;font-family:Arial;font-size:10pt;font-weight:bold;" and so on.
  std::string StyleText() const;
};

class ControlWriter;

class TIWBaseControl {
 public:
  using NotifyEvent = std::function<void(TIWBaseControl& sender)>;
  using HTMLTagEvent = std::function<void(TIWBaseControl& sender, TIWHTMLTag& tag)>;

  // The name is the control's identity in the page; an empty name is replaced by a
  // unique one when the control is first written (controls made for grid cells).
  explicit TIWBaseControl(std::string name);
  virtual ~TIWBaseControl();
  TIWBaseControl(const TIWBaseControl&) = delete;
  TIWBaseControl& operator=(const TIWBaseControl&) = delete;

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  // The control's NAME and ID in the page: the name in upper case.
  std::string HTMLName() const;

  bool Visible = true;
  bool Enabled = true;
  bool Editable = true;  // a control that is not editable takes no posted value
  int Tag = 0;           // free for the program
  NotifyEvent OnClick;
  HTMLTagEvent OnHTMLTag;

  // --- what distinguishes the kinds ---------------------------------------------------
  // True for a kind that takes a posted value while it is Editable.
  virtual bool TakesPostedValues() const { return false; }
  // The value posted under the HTML name (several values joined with ","); empty when
  // the field was missing. Only called for editable controls of the last render.
  virtual void SetValue(std::string_view value, const PostedForm& post) {}
  // Called for every control when a post arrives, before values are applied: drop
  // what belonged to the previous post (uploads).
  virtual void ForgetPost() {}
  // True when the control may be the action control of a post.
  virtual bool AcceptsActions() const { return false; }
  // Runs the control's event for "IW_ActionParam"; the default fires OnClick.
  virtual void Submit(std::string_view param);
  // Fires OnClick when bound.
  void DoClick();
  // True for a kind that needs the form to be sent as "multipart/form-data".
  virtual bool NeedsMultipart() const { return false; }
  // Builds the control's element; the writer decorates and writes it.
  virtual std::unique_ptr<TIWHTMLTag> RenderHTML(ControlWriter& writer) = 0;
  // The ID the writer gives the element; the HTML name unless a kind wraps its field.
  virtual std::string ElementId() const { return HTMLName(); }
  // The kind's name without "T" ("IWCheckBox"), the stem of generated names.
  virtual std::string_view KindName() const { return "IWControl"; }
  // Controls held by this one (the controls of grid cells).
  virtual void ForEachChild(const std::function<void(TIWBaseControl&)>& visit) {}
  // Called before each render: forget what the last render allowed.
  virtual void ResetLastRender() {}
  // Decoration shared by visual controls; the writer calls it after RenderHTML.
  virtual void Decorate(TIWHTMLTag& tag, const ControlWriter& writer) const {}
  // Whether the control's own script events may submit the page (visible and enabled).
  virtual bool CanFireActions() const { return Visible && Enabled; }

 private:
  std::string name_;
};

class TIWControl : public TIWBaseControl {
 public:
  using TIWBaseControl::TIWBaseControl;

  std::string StatusText;  // status-bar text while the pointer is over the control
  std::string Hint;
  bool ShowHint = true;
  TIWFont Font;
  TIWColor BGColor;
  bool DoSubmitValidation = true;  // run the page's Validate() before submitting
  std::string Confirmation;        // question asked before submitting; empty = none
  // "name=value" attributes (or bare flags); the value is escaped, a name that is not a
  // plain token is refused when the control is written.
  std::vector<std::string> ExtraTagParams;
  // Position and size on the design grid (used by the plain layout; the list box takes
  // its row count from the height).
  int Left = 0;
  int Top = 0;
  int Width = 121;
  int Height = 21;
  int ZIndex = 0;

  // Font.CSSStyle, or the HTML name + "CSS".
  std::string CSSClass() const;
  // The font and colours as a STYLE value.
  virtual std::string StyleText() const;
  // "return SubmitClickConfirm('NAME','param', true, 'question')": the click of a
  // control that submits the page with itself as action control.
  std::string SubmitScript(std::string_view param) const;

  void Decorate(TIWHTMLTag& tag, const ControlWriter& writer) const override;
};

// One entry of the last render: which controls the next post may change or act through.
struct RenderedControl {
  std::string html_name;
  bool takes_values = false;  // editable kind that takes posted values
  bool may_act = false;       // written visible and enabled
};

// Supplies unique names for unnamed controls (the page).
class ControlNamer {
 public:
  virtual ~ControlNamer() = default;
  virtual std::string UniqueControlName(std::string_view kind) = 0;
};

// Writes controls for one page render and records what was written.
class ControlWriter {
 public:
  ControlWriter(const RenderContext& context, bool in_template, ControlNamer& namer);

  const RenderContext& Context() const { return context_; }
  bool InTemplate() const { return in_template_; }

  // Builds, decorates and writes one control; fires its OnHTMLTag. Nested controls
  // (grid cells) are written through the same call.
  std::string Write(TIWControl& control);

  // Plain-layout positioning added to the next elements' STYLE.
  void SetAbsolutePositioning(bool on) { absolute_ = on; }
  bool AbsolutePositioning() const { return absolute_; }

  const std::vector<RenderedControl>& Rendered() const { return rendered_; }
  bool NeedsMultipart() const { return needs_multipart_; }

 private:
  const RenderContext& context_;
  bool in_template_;
  bool absolute_ = false;
  ControlNamer& namer_;
  std::vector<RenderedControl> rendered_;
  bool needs_multipart_ = false;
};

}  // namespace kestrune
