// Combo box, list box and radio group. The browser posts item numbers (or item values);
// every number is checked against the items before it is used.
#include "web/toolkit/controls_list.h"

#include <charconv>

#include "platform/escape.h"

namespace kestrune {

namespace {

// A whole decimal number, or none.
std::optional<long long> ParseNumber(std::string_view text) {
  long long number = 0;
  const char* end = text.data() + text.size();
  auto [ptr, error] = std::from_chars(text.data(), end, number);
  if (text.empty() || error != std::errc() || ptr != end) return std::nullopt;
  return number;
}

std::vector<std::string_view> SplitCommas(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
    if (comma == std::string_view::npos) return parts;
    start = comma + 1;
  }
}

int CheckedIndex(std::optional<long long> number, std::size_t count) {
  if (!number || *number < 0 || *number >= static_cast<long long>(count)) return -1;
  return static_cast<int>(*number);
}

}  // namespace

void TIWCustomListCombo::SetItemIndex(int index) {
  item_index_ = index >= 0 && static_cast<std::size_t>(index) < Items.size() ? index : -1;
}

std::string TIWCustomListCombo::ItemText(std::size_t i) const {
  const std::string& item = Items.at(i);
  if (!ItemsHaveValues) return item;
  return item.substr(0, item.find('='));
}

std::string TIWCustomListCombo::ItemValue(std::size_t i) const {
  if (!ItemsHaveValues) return std::to_string(i);
  const std::string& item = Items.at(i);
  const std::size_t equals = item.find('=');
  return equals == std::string::npos ? item : item.substr(equals + 1);
}

int TIWCustomListCombo::IndexOfPosted(std::string_view value) const {
  if (ItemsHaveValues) {
    for (std::size_t i = 0; i < Items.size(); ++i) {
      if (ItemValue(i) == value) return static_cast<int>(i);
    }
    return -1;
  }
  return CheckedIndex(ParseNumber(SplitCommas(value).front()), Items.size());
}

void TIWCustomListCombo::AddOption(TIWHTMLTag& select, std::string_view value,
                                   std::string_view text, bool selected) const {
  TIWHTMLTag& option = select.AddTag("option");
  option.SetAttribute("VALUE", value);
  if (selected) option.AddFlag("SELECTED");
  option.AddText(text);
}

void TIWComboBox::SetValue(std::string_view value, const PostedForm& post) {
  item_index_ = IndexOfPosted(value);
}

void TIWComboBox::Submit(std::string_view param) {
  if (OnChange) OnChange(*this);
}

std::unique_ptr<TIWHTMLTag> TIWComboBox::RenderHTML(ControlWriter& writer) {
  SetItemIndex(item_index_);  // items may have shrunk since the index was set
  auto select = std::make_unique<TIWHTMLTag>("select");
  select->SetAttribute("NAME", HTMLName());
  select->SetIntAttribute("SIZE", 1);
  if (OnChange && Enabled) select->SetAttribute("OnChange", SubmitScript(""));
  if (item_index_ == -1 || !RequireSelection) {
    AddOption(*select, "-1", NoSelectionText, item_index_ == -1);
  }
  for (std::size_t i = 0; i < Items.size(); ++i) {
    AddOption(*select, ItemValue(i), ItemText(i), static_cast<int>(i) == item_index_);
  }
  return select;
}

bool TIWListbox::Selected(std::size_t i) const {
  if (!MultiSelect) return static_cast<int>(i) == item_index_;
  return i < selected_.size() && i < Items.size() && selected_[i];
}

void TIWListbox::SetSelected(std::size_t i, bool selected) {
  if (i >= Items.size()) return;
  if (!MultiSelect) {
    if (selected)
      item_index_ = static_cast<int>(i);
    else if (item_index_ == static_cast<int>(i))
      item_index_ = -1;
    return;
  }
  if (selected_.size() < Items.size()) selected_.resize(Items.size(), false);
  selected_[i] = selected;
  if (selected && item_index_ == -1) item_index_ = static_cast<int>(i);
}

void TIWListbox::SetValue(std::string_view value, const PostedForm& post) {
  selected_.assign(Items.size(), false);
  item_index_ = -1;
  if (!MultiSelect) {
    item_index_ = IndexOfPosted(value);
    return;
  }
  for (std::string_view part : SplitCommas(value)) {
    int index = -1;
    if (ItemsHaveValues) {
      for (std::size_t i = 0; i < Items.size() && index < 0; ++i) {
        if (ItemValue(i) == part) index = static_cast<int>(i);
      }
    } else {
      index = CheckedIndex(ParseNumber(part), Items.size());
    }
    if (index < 0) continue;
    selected_[static_cast<std::size_t>(index)] = true;
    if (item_index_ == -1) item_index_ = index;
  }
}

std::unique_ptr<TIWHTMLTag> TIWListbox::RenderHTML(ControlWriter& writer) {
  SetItemIndex(item_index_);
  auto select = std::make_unique<TIWHTMLTag>("select");
  select->SetAttribute("NAME", HTMLName());
  select->SetIntAttribute("SIZE", std::max(1, Height / 16));
  if (MultiSelect) select->AddFlag("MULTIPLE");
  if (OnClick && Enabled) select->SetAttribute("OnClick", SubmitScript(""));
  if (!MultiSelect && (item_index_ == -1 || !RequireSelection)) {
    AddOption(*select, "-1", NoSelectionText, item_index_ == -1);
  }
  for (std::size_t i = 0; i < Items.size(); ++i) {
    AddOption(*select, ItemValue(i), ItemText(i), Selected(i));
  }
  return select;
}

void TIWRadioGroup::SetItemIndex(int index) {
  item_index_ = index >= 0 && static_cast<std::size_t>(index) < Items.size() ? index : -1;
}

void TIWRadioGroup::SetValue(std::string_view value, const PostedForm& post) {
  item_index_ = CheckedIndex(ParseNumber(SplitCommas(value).front()), Items.size());
}

std::unique_ptr<TIWHTMLTag> TIWRadioGroup::RenderHTML(ControlWriter& writer) {
  SetItemIndex(item_index_);
  auto div = std::make_unique<TIWHTMLTag>("div");
  for (std::size_t i = 0; i < Items.size(); ++i) {
    // The item text is the radio's label: a click on it chooses the item, and a screen
    // reader names the radio by it.
    TIWHTMLTag& label = div->AddTag("label");
    TIWHTMLTag& radio = label.AddTag("input");
    radio.SetAttribute("TYPE", "RADIO");
    radio.SetAttribute("NAME", HTMLName());
    radio.SetAttribute("VALUE", std::to_string(i));
    if (static_cast<int>(i) == item_index_) radio.AddFlag("CHECKED");
    if (!Enabled) {
      radio.AddFlag("DISABLED");
    } else if (OnClick) {
      radio.SetAttribute("OnClick", SubmitScript(""));
    }
    label.AddText(Items[i]);
    div->AddRawText(Layout == TIWRadioGroupLayout::glVertical ? "<BR>" : " ");
  }
  return div;
}

}  // namespace kestrune
