// Pages: rendering and applying posts.
#include "web/toolkit/app_form.h"

#include "web/toolkit/http_message.h"

namespace kestrune {

TIWAppForm::TIWAppForm(TIWApplication& application, std::string name, std::string class_name)
    : application_(application), name_(std::move(name)), class_name_(std::move(class_name)) {}

TIWAppForm::~TIWAppForm() = default;

TIWBaseControl* TIWAppForm::FindControl(std::string_view name) const { return nullptr; }

void TIWAppForm::AddToInitProc(std::string_view script) { pending_script_ += script; }

void TIWAppForm::DoCreate() {
  if (OnCreate) OnCreate(*this);
}

std::string TIWAppForm::Render(const RenderContext& context) { return {}; }

void TIWAppForm::ApplyPost(const PostedForm& post) {}

std::string TIWAppForm::UniqueControlName(std::string_view kind) {
  return std::string(kind) + std::to_string(next_auto_name_++);
}

void TIWAppForm::VisitAll(const std::function<void(TIWBaseControl&)>& visit) const {}

TIWBaseControl* TIWAppForm::FindByHTMLName(std::string_view html_name) const { return nullptr; }

}  // namespace kestrune
