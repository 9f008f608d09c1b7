// The debug panel's widgets, and saving and printing of the log.
#include "console/debug_panel.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>
#include <cmath>
#include <fstream>

#include "log/debug_log.h"

namespace kestrune {

bool SaveLogLines(const std::filesystem::path& file, const std::vector<std::string>& lines) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  for (const std::string& line : lines) out << line << '\n';
  out.flush();
  return static_cast<bool>(out);
}

bool PrintLogLines(QPrinter& printer, const std::vector<std::string>& lines) {
  printer.setDocName("Kestrune Debug Log.");
  QPainter painter;
  if (!painter.begin(&printer)) return false;
  painter.setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  const int per_mm_x = static_cast<int>(std::lround(printer.logicalDpiX() / 25.4));
  const int per_mm_y = static_cast<int>(std::lround(printer.logicalDpiY() / 25.4));
  const int left = 20 * per_mm_x;
  const int top = 20 * per_mm_y;
  const int line_height = std::max(1, painter.fontMetrics().boundingRect("X").height());
  const int bottom = painter.viewport().height() - top;
  int y = top;
  for (const std::string& line : lines) {
    if (y + line_height > bottom && y > top) {
      printer.newPage();
      y = top;
    }
    painter.drawText(left, y + painter.fontMetrics().ascent(), QString::fromStdString(line));
    y += line_height;
  }
  return painter.end();
}

DebugPanel::DebugPanel(QWidget* parent) : QWidget(parent) {
  setObjectName("DebugPanel");
  memo_ = new QPlainTextEdit(this);
  memo_->setObjectName("DebugMemo");
  memo_->setReadOnly(true);
  memo_->setUndoRedoEnabled(false);
  memo_->setLineWrapMode(QPlainTextEdit::NoWrap);
  memo_->setMaximumBlockCount(static_cast<int>(TDebugLog::kMaxLines));
  memo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo_->setStatusTip("Debug Log.");
  memo_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

  save_ = new QPushButton("Save", this);
  save_->setObjectName("DebugSave");
  save_->setStatusTip("Save Debug Log.");
  print_ = new QPushButton("Print", this);
  print_->setObjectName("DebugPrint");
  print_->setStatusTip("Print Debug Log.");
  clear_ = new QPushButton("Clear", this);
  clear_->setObjectName("DebugClear");
  clear_->setStatusTip("Clear Debug Log.");
  clear_->setEnabled(false);

  auto* buttons = new QVBoxLayout;
  buttons->addWidget(save_);
  buttons->addWidget(print_);
  buttons->addWidget(clear_);
  buttons->addStretch();
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(memo_, 1);
  layout->addLayout(buttons);
}

void DebugPanel::AppendLines(const QStringList& lines) {
  if (lines.isEmpty()) return;
  QScrollBar* bar = memo_->verticalScrollBar();
  const bool at_end = bar->value() >= bar->maximum() - 2;
  // One paragraph per line; one call for the whole batch.
  memo_->appendPlainText(lines.join(QChar('\n')));
  if (at_end) bar->setValue(bar->maximum());
}

void DebugPanel::ClearLines() { memo_->clear(); }

int DebugPanel::LineCount() const {
  return memo_->document()->isEmpty() ? 0 : memo_->document()->blockCount();
}

}  // namespace kestrune
