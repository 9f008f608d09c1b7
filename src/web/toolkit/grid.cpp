// The grid control: a table of lazily created cells. Positions posted back by the
// browser are only accepted for cells that the last render wrote as clickable.
#include "web/toolkit/grid.h"

#include <charconv>

#include "platform/escape.h"
#include "web/toolkit/http_message.h"
#include "web/toolkit/page_errors.h"

namespace kestrune {

namespace {

constexpr const char* kOutOfBounds = "Index out of bounds.";

const char* VAlignText(TIWGridVAlign align) {
  switch (align) {
    case TIWGridVAlign::vaTop:
      return "top";
    case TIWGridVAlign::vaBottom:
      return "bottom";
    case TIWGridVAlign::vaBaseline:
      return "baseline";
    case TIWGridVAlign::vaMiddle:
      break;
  }
  return "middle";
}

const char* AlignText(TIWGridAlignment align) {
  switch (align) {
    case TIWGridAlignment::taRightJustify:
      return "right";
    case TIWGridAlignment::taCenter:
      return "center";
    case TIWGridAlignment::taLeftJustify:
      break;
  }
  return "left";
}

bool IsBlank(std::string_view text) { return TrimBlanks(text).empty(); }

std::optional<int> ParseIndex(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace

TIWGrid::~TIWGrid() = default;

void TIWGrid::Resize(int rows, int columns) {
  row_count_ = std::max(0, rows);
  column_count_ = std::max(0, columns);
  cells_.resize(static_cast<std::size_t>(row_count_));
  for (auto& row : cells_) row.resize(static_cast<std::size_t>(column_count_));
}

void TIWGrid::SetRowCount(int rows) { Resize(rows, column_count_); }

void TIWGrid::SetColumnCount(int columns) { Resize(row_count_, columns); }

bool TIWGrid::CellExists(int row, int column) const {
  return row >= 0 && row < row_count_ && column >= 0 && column < column_count_ &&
         cells_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] != nullptr;
}

TIWGridCell& TIWGrid::Cell(int row, int column) {
  if (row < 0 || row >= row_count_ || column < 0 || column >= column_count_) {
    throw ToolkitError(kOutOfBounds);
  }
  auto& cell = cells_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
  if (!cell) cell = std::make_unique<TIWGridCell>(Font);
  return *cell;
}

void TIWGrid::DeleteRow(int row) {
  if (row < 0 || row >= row_count_) throw ToolkitError(kOutOfBounds);
  cells_.erase(cells_.begin() + row);
  --row_count_;
}

void TIWGrid::Submit(std::string_view param) {
  const std::size_t split = param.find('_');
  std::optional<int> row, column;
  if (split != std::string_view::npos) {
    row = ParseIndex(param.substr(0, split));
    column = ParseIndex(param.substr(split + 1));
  }
  if (!row || !column || !clickable_.contains({*row, *column}) || *row >= row_count_ ||
      *column >= column_count_) {
    throw ToolkitError(kOutOfBounds);
  }
  if (OnCellClick) OnCellClick(*this, *row, *column);
}

void TIWGrid::ForEachChild(const std::function<void(TIWBaseControl&)>& visit) {
  for (auto& row : cells_) {
    for (auto& cell : row) {
      if (cell && cell->Control()) visit(*cell->Control());
    }
  }
}

std::unique_ptr<TIWHTMLTag> TIWGrid::RenderHTML(ControlWriter& writer) {
  clickable_.clear();
  auto table = std::make_unique<TIWHTMLTag>("table");
  if (BorderSize >= 0) table->SetIntAttribute("Border", BorderSize);
  table->SetColorAttribute("BGColor", GridBGColor);
  table->SetIntAttribute("CELLPADDING", CellPadding);
  table->SetIntAttribute("CELLSPACING", CellSpacing);
  if (UseSize) table->SetIntAttribute("WIDTH", InFrame ? Width - FrameBuffer : Width);
  table->SetColorAttribute("BORDERCOLOR", BorderColor);
  if (BorderSize > 0) {
    table->SetAttribute("RULES", "all");
    table->SetAttribute("frame", "box");
  }
  if (!Caption.empty()) table->AddRawText("<CAPTION>" + HtmlEscape(Caption) + "</CAPTION>");
  if (!Summary.empty()) table->AddRawText("<SUMMARY>" + HtmlEscape(Summary) + "</SUMMARY>");
  for (int row = 0; row < row_count_; ++row) {
    TIWHTMLTag& tr = table->AddTag("tr");
    for (int column = 0; column < column_count_; ++column) {
      tr.AddTag(RenderCell(writer, row, column));
    }
  }
  return table;
}

std::unique_ptr<TIWHTMLTag> TIWGrid::RenderCell(ControlWriter& writer, int row, int column) {
  if (!CellExists(row, column)) return std::make_unique<TIWHTMLTag>("td");
  TIWGridCell* cell = &Cell(row, column);
  if (!cell->Visible) {
    auto td = std::make_unique<TIWHTMLTag>("td");
    td->AddRawText("&nbsp;");
    return td;
  }
  if (OnRenderCell) {
    OnRenderCell(*cell, row, column);
    // The handler may have resized the grid; write what is left.
    if (!CellExists(row, column)) return std::make_unique<TIWHTMLTag>("td");
    cell = &Cell(row, column);
  }
  auto tag = std::make_unique<TIWHTMLTag>(cell->Header ? "th" : "td");
  tag->SetAttribute("VAlign", VAlignText(cell->VAlign));
  if (cell->Alignment) tag->SetAttribute("align", AlignText(*cell->Alignment));
  if (!cell->Wrap) tag->AddFlag("NOWRAP");
  if (cell->Width != "0") tag->SetAttribute("Width", cell->Width);
  if (cell->Height != "0") tag->SetAttribute("Height", cell->Height);
  tag->SetColorAttribute("BGColor", cell->BGColor);
  tag->SetAttribute("CLASS", cell->Font.CSSStyle);

  TIWHTMLTag* holder = tag.get();
  const std::string font_style = cell->Font.StyleText();
  if (cell->Font.CSSStyle.empty() && !font_style.empty()) {
    holder = &tag->AddTag("font");
    holder->SetAttribute("STYLE", font_style);
  }
  TIWControl* control = cell->Control();
  const bool has_control = control && control->Visible;
  const std::string text = cell->RawText ? cell->Text : HtmlEscape(cell->Text);
  if (IsBlank(cell->Text) && !has_control) {
    holder->AddRawText("&nbsp;");
  } else if (cell->Clickable && Enabled && !IsBlank(cell->Text)) {
    TIWHTMLTag& link = holder->AddTag("a");
    link.SetAttribute("HREF", "#");
    link.SetAttribute("OnClick", "return SubmitClickConfirm('" + ScriptStringEscape(HTMLName()) +
                                     "','" + std::to_string(row) + "_" + std::to_string(column) +
                                     "', " + (cell->DoSubmitValidation ? "true" : "false") + ", '" +
                                     ScriptStringEscape(Confirmation) + "')");
    if (!cell->Title.empty()) link.SetAttribute("TITLE", cell->Title);
    link.AddRawText(text);
    clickable_.insert({row, column});
  } else {
    holder->AddRawText(text);
  }
  if (has_control) holder->AddRawText(writer.Write(*control));
  return tag;
}

}  // namespace kestrune
