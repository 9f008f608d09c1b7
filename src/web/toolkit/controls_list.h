// Controls that choose among items: combo box, list box and radio group. Posted item
// numbers are range-checked: anything that names no item is "no selection" (-1).
#pragma once

#include <string>
#include <vector>

#include "web/toolkit/control.h"

namespace kestrune {

// Items and the selection shared by the combo box and the list box.
class TIWCustomListCombo : public TIWControl {
 public:
  using TIWControl::TIWControl;
  std::vector<std::string> Items;
  // Items written as text "=" value post the value instead of the item number.
  bool ItemsHaveValues = false;
  NotifyEvent OnChange;

  int ItemIndex() const { return item_index_; }
  // Out-of-range indexes give -1 (no selection).
  void SetItemIndex(int index);
  // The shown text of item i (the part before "=" with ItemsHaveValues).
  std::string ItemText(std::size_t i) const;
  std::string ItemValue(std::size_t i) const;  // what the option posts

  bool TakesPostedValues() const override { return true; }
  bool AcceptsActions() const override { return true; }

 protected:
  // The item number a posted value names, or -1.
  int IndexOfPosted(std::string_view value) const;
  void AddOption(TIWHTMLTag& select, std::string_view value, std::string_view text,
                 bool selected) const;

  int item_index_ = -1;
};

class TIWComboBox : public TIWCustomListCombo {
 public:
  using TIWCustomListCombo::TIWCustomListCombo;
  std::string NoSelectionText = "-- No Selection --";
  bool RequireSelection = true;

  void SetValue(std::string_view value, const PostedForm& post) override;
  void Submit(std::string_view param) override;
  std::unique_ptr<TIWHTMLTag> RenderHTML(ControlWriter& writer) override;
  std::string_view KindName() const override { return "IWComboBox"; }
};

class TIWListbox : public TIWCustomListCombo {
 public:
  using TIWCustomListCombo::TIWCustomListCombo;
  bool MultiSelect = false;
  std::string NoSelectionText = "-- No Selection --";
  bool RequireSelection = true;

  bool Selected(std::size_t i) const;
  void SetSelected(std::size_t i, bool selected);

  void SetValue(std::string_view value, const PostedForm& post) override;
  std::unique_ptr<TIWHTMLTag> RenderHTML(ControlWriter& writer) override;
  std::string_view KindName() const override { return "IWListbox"; }

 private:
  std::vector<bool> selected_;
};

enum class TIWRadioGroupLayout { glVertical, glHorizontal };

class TIWRadioGroup : public TIWControl {
 public:
  using TIWControl::TIWControl;
  std::vector<std::string> Items;
  TIWRadioGroupLayout Layout = TIWRadioGroupLayout::glVertical;

  int ItemIndex() const { return item_index_; }
  void SetItemIndex(int index);  // out of range gives -1

  bool TakesPostedValues() const override { return true; }
  void SetValue(std::string_view value, const PostedForm& post) override;
  bool AcceptsActions() const override { return true; }
  std::unique_ptr<TIWHTMLTag> RenderHTML(ControlWriter& writer) override;
  std::string_view KindName() const override { return "IWRadioGroup"; }

 private:
  int item_index_ = -1;
};

}  // namespace kestrune
