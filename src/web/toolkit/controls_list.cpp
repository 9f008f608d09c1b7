// Combo box, list box and radio group.
#include "web/toolkit/controls_list.h"

namespace kestrune {

void TIWCustomListCombo::SetItemIndex(int index) { item_index_ = index; }
std::string TIWCustomListCombo::ItemText(std::size_t i) const { return Items.at(i); }
std::string TIWCustomListCombo::ItemValue(std::size_t i) const { return std::to_string(i); }
int TIWCustomListCombo::IndexOfPosted(std::string_view value) const { return -1; }
void TIWCustomListCombo::AddOption(TIWHTMLTag& select, std::string_view value,
                                   std::string_view text, bool selected) const {}
void TIWComboBox::SetValue(std::string_view value, const PostedForm& post) {}
void TIWComboBox::Submit(std::string_view param) {}
std::unique_ptr<TIWHTMLTag> TIWComboBox::RenderHTML(ControlWriter& writer) { return std::make_unique<TIWHTMLTag>("select"); }
bool TIWListbox::Selected(std::size_t i) const { return false; }
void TIWListbox::SetSelected(std::size_t i, bool selected) {}
void TIWListbox::SetValue(std::string_view value, const PostedForm& post) {}
std::unique_ptr<TIWHTMLTag> TIWListbox::RenderHTML(ControlWriter& writer) { return std::make_unique<TIWHTMLTag>("select"); }
void TIWRadioGroup::SetItemIndex(int index) { item_index_ = index; }
void TIWRadioGroup::SetValue(std::string_view value, const PostedForm& post) {}
std::unique_ptr<TIWHTMLTag> TIWRadioGroup::RenderHTML(ControlWriter& writer) { return std::make_unique<TIWHTMLTag>("div"); }

}  // namespace kestrune
