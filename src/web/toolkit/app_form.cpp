// Pages: rendering through the template or the plain layout, and applying a form post
// to the controls of the last render.
#include "web/toolkit/app_form.h"

#include <algorithm>
#include <unordered_map>

#include "platform/escape.h"
#include "web/toolkit/application.h"
#include "web/toolkit/http_message.h"
#include "web/toolkit/page_errors.h"

namespace kestrune {

namespace {

std::vector<std::string> BrowserScripts(TIWBrowser browser) {
  std::vector<std::string> scripts = {"/js/IWCommon.js", "/js/IWCL.js", "/js/IWCSData.js"};
  switch (browser) {
    case TIWBrowser::brIE:
      scripts.push_back("/js/IWExplorer.js");
      break;
    case TIWBrowser::brNetscape6:
      scripts.push_back("/js/IWGecko.js");
      break;
    case TIWBrowser::brOpera:
      scripts.push_back("/js/IWOpera.js");
      break;
    default:
      break;
  }
  return scripts;
}

std::string HiddenInput(std::string_view name, std::string_view value) {
  return "<input type=\"HIDDEN\" name=\"" + AttributeEscape(name) + "\" value=\"" +
         AttributeEscape(value) + "\">\r\n";
}

}  // namespace

// One render of one page: writes the controls, then the document around them.
class PageRenderer : public TemplateHost {
 public:
  PageRenderer(TIWAppForm& form, const RenderContext& context, bool in_template)
      : form_(form), context_(context), writer_(context, in_template, form) {}

  void WriteControls(bool absolute) {
    writer_.SetAbsolutePositioning(absolute);
    for (const auto& control : form_.controls_) {
      if (!control->Visible) continue;
      const std::size_t first = writer_.Rendered().size();
      std::string html = writer_.Write(*control);
      written_.push_back({control.get(), std::move(html), first, writer_.Rendered().size()});
    }
  }

  std::string RenderPlain() {
    std::vector<const Written*> order;
    for (Written& written : written_) {
      order.push_back(&written);
      written.placed = true;
    }
    std::stable_sort(order.begin(), order.end(), [](const Written* a, const Written* b) {
      return a->control->ZIndex < b->control->ZIndex;
    });
    std::string out = "<HTML>\r\n<HEAD>\r\n";
    if (!form_.Title.empty()) out += "<TITLE>" + HtmlEscape(form_.Title) + "</TITLE>\r\n";
    out += HeadContent() + "</HEAD>\r\n" + BodyOpen({}) + "\r\n";
    for (const Written* written : order) out += written->html + "\r\n";
    out += BodyClose() + "\r\n</HTML>\r\n";
    return out;
  }

  std::string RenderTemplate(const std::vector<TemplatePiece>& pieces) {
    if (auto onload = FindElementAttribute(pieces, "body", "onload")) {
      template_onload_ = DecodeAttributeText(*onload);
    }
    return MergeTemplate(pieces, context_.url_base, *this);
  }

  // The controls the browser got, for the next post.
  std::vector<RenderedControl> PlacedControls() const {
    std::vector<RenderedControl> placed;
    for (const Written& written : written_) {
      if (!written.placed) continue;
      placed.insert(placed.end(), writer_.Rendered().begin() + written.first,
                    writer_.Rendered().begin() + written.last);
    }
    return placed;
  }

  // --- TemplateHost ---
  std::string ControlHTML(std::string_view name) override {
    for (Written& written : written_) {
      if (EqualsIgnoringAsciiCase(written.control->Name(), name)) {
        written.placed = true;
        return written.html;
      }
    }
    return {};
  }

  std::optional<std::string> Title() override {
    if (form_.Title.empty()) return std::nullopt;
    return form_.Title;
  }

  std::string PageLanguage() override {
    TIWApplication& session = form_.WebApplication();
    ControllerEvents* events = session.Controller().Events;
    return events != nullptr ? events->PageLanguage(session) : std::string();
  }

  std::string OwnText(std::string_view english) override {
    TIWApplication& session = form_.WebApplication();
    ControllerEvents* events = session.Controller().Events;
    return events != nullptr ? events->TemplateText(session, english) : std::string(english);
  }

  std::string HeadContent() override {
    std::string head;
    if (!form_.StyleSheet.empty()) {
      head += "<link rel=\"stylesheet\" type=\"text/css\" href=\"" +
              AttributeEscape(form_.StyleSheet) + "\">\r\n";
    }
    for (const std::string& line : context_.extra_header) head += line + "\r\n";
    if (context_.tracking != TrackingMethod::tmURL) {
      head += "<META HTTP-EQUIV=\"Expires\" CONTENT=\"-1\">\r\n";
    }
    for (const std::string& script : BrowserScripts(context_.browser)) {
      head += "\r\n<script language=Javascript src=\"" +
              AttributeEscape(context_.url_base + script + "_" + context_.version) +
              "\"></script>\r\n";
    }
    for (const std::string& line : form_.ExtraHeader) head += line + "\r\n";
    head += PageScript();
    return head;
  }

  std::string BodyOpen(const std::vector<TemplateAttribute>& template_body) override {
    TIWHTMLTag body("BODY");
    TIWColor bgcolor = form_.BGColor;
    std::string template_bgcolor;
    std::string template_onblur;
    for (const auto& attribute : template_body) {
      if (EqualsIgnoringAsciiCase(attribute.name, "bgcolor")) template_bgcolor = attribute.value;
      if (EqualsIgnoringAsciiCase(attribute.name, "onblur")) template_onblur = attribute.value;
    }
    if (bgcolor.IsSet()) {
      body.SetColorAttribute("BGCOLOR", bgcolor);
    } else if (!template_bgcolor.empty()) {
      body.SetRawAttribute("BGCOLOR", template_bgcolor);
    }
    body.SetAttribute("BACKGROUND", form_.Background);
    if (!form_.Background.empty() && form_.BackgroundFixed) {
      body.SetAttribute("BGPROPERTIES", "fixed");
    }
    body.SetColorAttribute("Text", form_.TextColor);
    body.SetColorAttribute("Link", form_.LinkColor);
    body.SetColorAttribute("VLink", form_.VLinkColor);
    body.SetAttribute("TOPMARGIN", "0");
    body.SetAttribute("LEFTMARGIN", "0");
    body.SetAttribute("OnLoad", "Initialize()");
    body.SetAttribute("OnUnload", "ReleaseIWCL()");
    body.SetRawAttribute("OnBlur", "GSubmitting = false;" + template_onblur);
    for (const auto& attribute : template_body) {
      if (EqualsIgnoringAsciiCase(attribute.name, "bgcolor") ||
          EqualsIgnoringAsciiCase(attribute.name, "onload") ||
          EqualsIgnoringAsciiCase(attribute.name, "onblur")) {
        continue;
      }
      if (attribute.has_value) {
        body.SetRawAttribute(attribute.name, attribute.value);
      } else {
        body.AddFlag(attribute.name);
      }
    }
    std::string out = body.RenderOpenTag();
    if (form_.TemplateProcessor.MasterFormTag || !writer_.InTemplate()) {
      TIWHTMLTag form("FORM");
      form.SetAttribute("onSubmit", "return FormDefaultSubmit();");
      form.SetAttribute("NAME", "SubmitForm");
      form.SetAttribute("ACTION", context_.form_action.empty() ? "/" : context_.form_action);
      form.SetAttribute("METHOD", "POST");
      if (writer_.NeedsMultipart()) form.SetAttribute("enctype", "multipart/form-data");
      out += form.RenderOpenTag();
    }
    return out;
  }

  std::string BodyClose() override {
    std::string out;
    for (const auto& [name, value] : form_.HiddenFields) out += HiddenInput(name, value);
    out += HiddenInput("IW_Action", "");
    out += HiddenInput("IW_ActionParam", "");
    out += HiddenInput("IW_FormName", form_.Name());
    out += HiddenInput("IW_FormClass", form_.ClassName());
    if (!context_.form_token.empty()) out += HiddenInput("IW_FormToken", context_.form_token);
    if (context_.tracking == TrackingMethod::tmHidden) {
      out += HiddenInput("IW_SessionID_", context_.session_id);
      out += HiddenInput("IW_TrackID_", std::to_string(context_.track_id));
    }
    if (form_.TemplateProcessor.MasterFormTag || !writer_.InTemplate()) out += "</FORM>\r\n";
    out += "</BODY>";
    return out;
  }

 private:
  struct Written {
    TIWControl* control;
    std::string html;
    std::size_t first;  // its range in writer_.Rendered()
    std::size_t last;
    bool placed = false;
  };

  bool WasWritten(std::string_view name) const {
    return std::any_of(written_.begin(), written_.end(), [&](const Written& written) {
      return EqualsIgnoringAsciiCase(written.control->Name(), name);
    });
  }

  std::string PageScript() const {
    std::string script = "<script language=\"Javascript1.2\">\r\n";
    script +=
        form_.OnDefaultAction
            ? "function FormDefaultSubmit() {return SubmitClick(\"\", \"default\", false);}\r\n"
            : "function FormDefaultSubmit() {return false;}\r\n";
    script += "function Validate() {\r\nreturn true;\r\n}\r\n";
    script += "var GURLBase=\"" + ScriptStringEscape(context_.url_base) + "\";\r\n";
    script += "var GAppID=\"" + ScriptStringEscape(context_.session_key) + "\";\r\n";
    for (const std::string& line : form_.JavaScript) script += line + "\r\n";
    script += "function InitIWCLObjects() {\r\n}\r\n";
    script += "function Initialize() {\r\nInitSubmitter();\r\nStaticInit();\r\n";
    script += "InitRects(" + std::to_string(form_.Width) + ", " + std::to_string(form_.Height) +
              ");\r\nInitIWCLObjects();\r\n";
    const std::string& active = form_.ActiveControlName();
    if (!active.empty() && WasWritten(active)) {
      script += "IWFocus(\"" + ScriptStringEscape(AsciiUpper(active)) + "\");\r\n";
    }
    script += form_.PendingStartupScript();
    if (!template_onload_.empty()) script += template_onload_ + ";\r\n";
    script += "}\r\n</script>\r\n";
    return script;
  }

  TIWAppForm& form_;
  const RenderContext& context_;
  ControlWriter writer_;
  std::vector<Written> written_;
  std::string template_onload_;
};

TIWAppForm::TIWAppForm(TIWApplication& application, std::string name, std::string class_name)
    : application_(application), name_(std::move(name)), class_name_(std::move(class_name)) {}

TIWAppForm::~TIWAppForm() = default;

void TIWAppForm::VisitAll(const std::function<void(TIWBaseControl&)>& visit) const {
  std::function<void(TIWBaseControl&)> walk = [&](TIWBaseControl& control) {
    visit(control);
    control.ForEachChild(walk);
  };
  for (const auto& control : controls_) walk(*control);
}

TIWBaseControl* TIWAppForm::FindControl(std::string_view name) const {
  TIWBaseControl* found = nullptr;
  VisitAll([&](TIWBaseControl& control) {
    if (!found && EqualsIgnoringAsciiCase(control.Name(), name)) found = &control;
  });
  return found;
}

std::string TIWAppForm::UniqueControlName(std::string_view kind) {
  // The counter never repeats, so generated names only need checking against the
  // names the page gave its own controls (a full walk per name would make a grid of n
  // fresh cell controls cost n squared).
  auto taken = [&](const std::string& name) {
    return std::any_of(controls_.begin(), controls_.end(), [&](const auto& control) {
      return EqualsIgnoringAsciiCase(control->Name(), name);
    });
  };
  std::string name;
  do {
    name = std::string(kind) + std::to_string(next_auto_name_++);
  } while (taken(name));
  return name;
}

void TIWAppForm::AddToInitProc(std::string_view script) { pending_script_ += script; }

void TIWAppForm::DoCreate() {
  if (OnCreate) OnCreate(*this);
}

std::string TIWAppForm::Render(const RenderContext& context) {
  if (OnRender) OnRender(*this);
  VisitAll([](TIWBaseControl& control) { control.ResetLastRender(); });

  std::shared_ptr<const std::vector<TemplatePiece>> pieces;
  if (auto path =
          TemplateProcessor.FindTemplate(context.template_dir, class_name_, context.browser)) {
    pieces = LoadTemplatePieces(*path);
  }
  PageRenderer renderer(*this, context, pieces != nullptr);
  std::string html;
  if (pieces) {
    renderer.WriteControls(false);
    html = renderer.RenderTemplate(*pieces);
  } else {
    renderer.WriteControls(true);
    html = renderer.RenderPlain();
  }
  last_render_ = renderer.PlacedControls();
  pending_script_.clear();
  return html;
}

void TIWAppForm::ApplyPost(const PostedForm& post) {
  VisitAll([](TIWBaseControl& control) { control.ForgetPost(); });

  std::optional<std::string> action;
  std::optional<std::string> action_param;
  // Field values by name; repeated names are joined with "," in posted order.
  std::unordered_map<std::string, std::string> values;
  for (const auto& [name, value] : post.fields) {
    if (name == "IW_Action") {
      if (!action) action = value;
      continue;
    }
    if (name == "IW_ActionParam") {
      if (!action_param) action_param = value;
      continue;
    }
    const auto [slot, fresh] = values.emplace(name, value);
    if (!fresh) slot->second += "," + value;
  }
  const std::string action_name = action.value_or("");
  const std::string param = action_param.value_or("");
  // A plain reload changes nothing.
  if (action_name.empty() && param.empty()) return;

  for (auto& [name, value] : HiddenFields) {
    const auto posted = values.find(name);
    if (posted == values.end()) continue;
    value = posted->second;
    values.erase(posted);
  }

  // One walk over the page's controls, then look-ups by HTML name.
  std::unordered_map<std::string, TIWBaseControl*> by_html_name;
  VisitAll([&](TIWBaseControl& control) { by_html_name.emplace(control.HTMLName(), &control); });
  auto find = [&](std::string_view html_name) -> TIWBaseControl* {
    const auto found = by_html_name.find(AsciiUpper(html_name));
    return found == by_html_name.end() ? nullptr : found->second;
  };

  for (const RenderedControl& rendered : last_render_) {
    if (!rendered.takes_values) continue;
    TIWBaseControl* control = find(rendered.html_name);
    if (!control || !control->Editable || !control->TakesPostedValues()) continue;
    const auto posted = values.find(rendered.html_name);
    control->SetValue(posted == values.end() ? std::string_view() : posted->second, post);
  }

  try {
    if (!action_name.empty()) {
      // Only a control that the browser was shown visible and enabled may act.
      const bool was_rendered =
          std::any_of(last_render_.begin(), last_render_.end(), [&](const RenderedControl& r) {
            return r.may_act && EqualsIgnoringAsciiCase(r.html_name, action_name);
          });
      TIWBaseControl* control = was_rendered ? find(action_name) : nullptr;
      if (!control) throw ToolkitError("Cannot find submit component.");
      if (!control->AcceptsActions()) {
        throw ToolkitError("Submit control (" + control->HTMLName() + ") does not have a handler.");
      }
      control->Submit(param);
    } else if (OnDefaultAction) {
      OnDefaultAction(*this);
    }
  } catch (const SilentAbort&) {
    // A handler ended itself quietly.
  }
}

}  // namespace kestrune
