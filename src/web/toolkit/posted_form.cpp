// Look-ups in a decoded form post.
#include "web/toolkit/posted_form.h"

#include "web/toolkit/http_message.h"

namespace kestrune {

const UploadedFile* PostedForm::FindFile(std::string_view field_name) const {
  for (const auto& file : files) {
    if (EqualsIgnoringAsciiCase(file.field_name, field_name)) return &file;
  }
  return nullptr;
}

bool PostedForm::HasField(std::string_view name) const {
  for (const auto& [field, value] : fields) {
    if (field == name) return true;
  }
  return false;
}

}  // namespace kestrune
