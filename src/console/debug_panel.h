// The console's debug panel: the log lines (a plain-text view holding at most the
// log's bound of lines, so 200,000 lines stay responsive), and the Save, Print and
// Clear buttons; with the writing of the lines to a file and to a printer.
#pragma once

#include <QStringList>
#include <QWidget>
#include <filesystem>
#include <string>
#include <vector>

class QPlainTextEdit;
class QPushButton;
class QPrinter;

namespace kestrune {

// Writes lines to file, one per line. False when the file cannot be written.
bool SaveLogLines(const std::filesystem::path& file, const std::vector<std::string>& lines);

// Prints lines as one job: 20 mm margins (from the printer's pixels per millimetre,
// rounded), one line per "X" height, a new page where a page is full. False when the
// printer cannot be started.
bool PrintLogLines(QPrinter& printer, const std::vector<std::string>& lines);

class DebugPanel : public QWidget {
  Q_OBJECT

 public:
  explicit DebugPanel(QWidget* parent = nullptr);

  // Appends lines at the end; the view follows the end unless scrolled up.
  void AppendLines(const QStringList& lines);
  void ClearLines();
  int LineCount() const;
  QPlainTextEdit* Memo() const { return memo_; }
  QPushButton* SaveButton() const { return save_; }
  QPushButton* PrintButton() const { return print_; }
  QPushButton* ClearButton() const { return clear_; }

 private:
  QPlainTextEdit* memo_;
  QPushButton* save_;
  QPushButton* print_;
  QPushButton* clear_;
};

}  // namespace kestrune
