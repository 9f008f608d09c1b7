// Pages: TIWBaseForm (events, colours, title, hidden fields, head lines, supported
// browsers, template binder), TIWForm (page script, active control, default action,
// background, style sheet) and TIWAppForm, the base of every page of a session. A page
// owns its controls in creation order, renders itself into HTML and applies the next
// form post to its controls, firing at most one event.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/toolkit/browser.h"
#include "web/toolkit/control.h"
#include "web/toolkit/posted_form.h"
#include "web/toolkit/render_context.h"
#include "web/toolkit/template_processor.h"

namespace kestrune {

class TIWApplication;
class TIWAppForm;

class TIWBaseForm {
 public:
  using FormEvent = std::function<void(TIWAppForm& page)>;

  virtual ~TIWBaseForm() = default;

  FormEvent OnCreate;  // once, when the session creates the page
  FormEvent OnRender;  // before every render, before any control is written

  std::string Title;
  TIWColor BGColor;
  TIWColor TextColor;
  TIWColor LinkColor;
  TIWColor VLinkColor;
  // name/value pairs written as hidden inputs; posts update them.
  std::vector<std::pair<std::string, std::string>> HiddenFields;
  std::vector<std::string> ExtraHeader;  // lines written into the head
  std::vector<TIWBrowser> SupportedBrowsers = {TIWBrowser::brIE, TIWBrowser::brNetscape6,
                                               TIWBrowser::brOpera};
  TIWTemplateProcessorHTML TemplateProcessor;
  // The design size (plain layout, InitRects).
  int Width = 640;
  int Height = 480;
};

class TIWForm : public TIWBaseForm {
 public:
  FormEvent OnDefaultAction;  // the form was submitted without an action control

  std::vector<std::string> JavaScript;  // lines of the page script
  std::string Background;               // BACKGROUND image URL of the body
  bool BackgroundFixed = false;         // BGPROPERTIES="fixed"
  std::string StyleSheet;               // URL of a style sheet link

  // The control that gets the focus when the page loads (if it is then visible).
  void SetActiveControl(const TIWBaseControl& control) { active_control_ = control.Name(); }
  void ClearActiveControl() { active_control_.clear(); }
  const std::string& ActiveControlName() const { return active_control_; }

 private:
  std::string active_control_;
};

class TIWAppForm : public TIWForm, private ControlNamer {
 public:
  // name: the object name ("IWInbox"); class_name: "TIWInbox".
  TIWAppForm(TIWApplication& application, std::string name, std::string class_name);
  ~TIWAppForm() override;
  TIWAppForm(const TIWAppForm&) = delete;
  TIWAppForm& operator=(const TIWAppForm&) = delete;

  TIWApplication& WebApplication() const { return application_; }
  const std::string& Name() const { return name_; }
  const std::string& ClassName() const { return class_name_; }

  // Creates a control of the page; controls are written and looked up in creation order.
  template <typename Control, typename... Args>
  Control& AddControl(std::string name, Args&&... args) {
    auto control = std::make_unique<Control>(std::move(name), std::forward<Args>(args)...);
    Control& added = *control;
    controls_.push_back(std::move(control));
    return added;
  }
  const std::vector<std::unique_ptr<TIWControl>>& Controls() const { return controls_; }
  // A control of the page by name (case-insensitive), also inside grid cells; or nullptr.
  TIWBaseControl* FindControl(std::string_view name) const;

  // The pending start-up script: runs once in the browser after the page's own
  // start-up script when the page is next rendered; emptied by each render.
  void AddToInitProc(std::string_view script);
  const std::string& PendingStartupScript() const { return pending_script_; }

  // Fires OnCreate (the session calls it once after making the page).
  void DoCreate();

  // Renders the page (OnRender first) into a whole HTML document.
  std::string Render(const RenderContext& context);

  // Applies a post to the page's controls and fires at most one event. Failures raise
  // ToolkitError ("Cannot find submit component." ...); a SilentAbort of a handler is
  // swallowed.
  void ApplyPost(const PostedForm& post);

  // What the last render wrote (for tests and the request cycle).
  const std::vector<RenderedControl>& LastRender() const { return last_render_; }

 private:
  std::string UniqueControlName(std::string_view kind) override;
  void VisitAll(const std::function<void(TIWBaseControl&)>& visit) const;

  TIWApplication& application_;
  std::string name_;
  std::string class_name_;
  std::vector<std::unique_ptr<TIWControl>> controls_;
  std::string pending_script_;
  std::vector<RenderedControl> last_render_;
  int next_auto_name_ = 1;

  friend class PageRenderer;
};

}  // namespace kestrune
