// The grid control.
#include "web/toolkit/grid.h"

#include "web/toolkit/page_errors.h"

namespace kestrune {

TIWGrid::~TIWGrid() = default;
void TIWGrid::SetRowCount(int rows) { row_count_ = rows; }
void TIWGrid::SetColumnCount(int columns) { column_count_ = columns; }
TIWGridCell& TIWGrid::Cell(int row, int column) { throw ToolkitError("Index out of bounds."); }
bool TIWGrid::CellExists(int row, int column) const { return false; }
void TIWGrid::DeleteRow(int row) {}
void TIWGrid::Submit(std::string_view param) {}
std::unique_ptr<TIWHTMLTag> TIWGrid::RenderHTML(ControlWriter& writer) { return std::make_unique<TIWHTMLTag>("table"); }
void TIWGrid::ForEachChild(const std::function<void(TIWBaseControl&)>& visit) {}
std::unique_ptr<TIWHTMLTag> TIWGrid::RenderCell(ControlWriter& writer, int row, int column) { return nullptr; }
void TIWGrid::Resize(int rows, int columns) {}

}  // namespace kestrune
