// TIWGrid: a TABLE of cells created on first access. Cells hold text (data, escaped,
// unless the page marks it as its own markup) and optionally a control; clickable cells
// submit the page with the grid as action control and "row_column" as parameter.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "web/toolkit/control.h"

namespace kestrune {

enum class TIWGridAlignment { taLeftJustify, taRightJustify, taCenter };
enum class TIWGridVAlign { vaMiddle, vaTop, vaBottom, vaBaseline };

class TIWGridCell {
 public:
  explicit TIWGridCell(const TIWFont& font) : Font(font) {}

  std::string Text;
  // The page's own markup (icons, links it built itself): written as it is.
  bool RawText = false;
  std::string Width;  // written when not "0" and not empty
  std::string Height;
  std::optional<TIWGridAlignment> Alignment;
  TIWGridVAlign VAlign = TIWGridVAlign::vaMiddle;
  bool Wrap = false;
  bool Header = false;  // TH instead of TD
  TIWColor BGColor;
  TIWFont Font;
  bool Visible = true;
  bool DoSubmitValidation = true;
  bool Clickable = false;
  std::string Title;  // a clickable cell's tooltip (TITLE of its link); data, escaped

  // The control written inside the cell after its text; owned by the cell.
  TIWControl* Control() const { return control_.get(); }
  template <typename C>
  C& SetControl(std::unique_ptr<C> control) {
    C& added = *control;
    control_ = std::move(control);
    return added;
  }
  void FreeControl() { control_.reset(); }

 private:
  std::unique_ptr<TIWControl> control_;
};

class TIWGrid : public TIWControl {
 public:
  using CellClickEvent = std::function<void(TIWGrid& sender, int row, int column)>;
  using RenderCellEvent = std::function<void(TIWGridCell& cell, int row, int column)>;

  using TIWControl::TIWControl;
  ~TIWGrid() override;

  int BorderSize = 1;
  TIWColor GridBGColor;  // BGColor of the table
  int CellPadding = 0;
  int CellSpacing = 0;
  bool UseSize = false;
  int FrameBuffer = 40;
  bool InFrame = false;
  TIWColor BorderColor;
  std::string Caption;
  std::string Summary;
  CellClickEvent OnCellClick;
  RenderCellEvent OnRenderCell;

  int RowCount() const { return row_count_; }
  int ColumnCount() const { return column_count_; }
  // Resizing drops the cells outside (and their controls). Negative counts give 0.
  void SetRowCount(int rows);
  void SetColumnCount(int columns);
  // The cell at that position, created on first access with the grid's font. Raises
  // ToolkitError "Index out of bounds." outside RowCount x ColumnCount.
  TIWGridCell& Cell(int row, int column);
  bool CellExists(int row, int column) const;
  // Removes a row; the rows below move up by one.
  void DeleteRow(int row);

  bool AcceptsActions() const override { return true; }
  // "row_column" of a cell that was clickable in the last render; anything else raises
  // "Index out of bounds.".
  void Submit(std::string_view param) override;
  std::unique_ptr<TIWHTMLTag> RenderHTML(ControlWriter& writer) override;
  void ForEachChild(const std::function<void(TIWBaseControl&)>& visit) override;
  void ResetLastRender() override { clickable_.clear(); }
  std::string_view KindName() const override { return "IWGrid"; }

 private:
  std::unique_ptr<TIWHTMLTag> RenderCell(ControlWriter& writer, int row, int column);
  void Resize(int rows, int columns);

  int row_count_ = 0;
  int column_count_ = 0;
  // rows x columns; null until a cell is first accessed.
  std::vector<std::vector<std::unique_ptr<TIWGridCell>>> cells_;
  std::set<std::pair<int, int>> clickable_;  // clickable cells of the last render
};

}  // namespace kestrune
