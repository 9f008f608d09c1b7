// The debug log written to a file and printed: a PDF printer's pages rendered with
// pdftoppm show the lines, and a log longer than a page goes on to a second page.
#include "console/debug_panel.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPrinter>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kestrune {
namespace {

namespace fs = std::filesystem;

class DebugPanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "debug-panel-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(DebugPanelTest, SavedLogHoldsOneLinePerLineSeparatorsIncluded) {
  const fs::path file = dir_ / "log.Txt";
  ASSERT_TRUE(SaveLogLines(file, {"Kestrune Server started at x", "", "Session Closed: y"}));
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "Kestrune Server started at x\n\nSession Closed: y\n");
  EXPECT_FALSE(SaveLogLines(dir_ / "missing" / "log.Txt", {"x"}));
}

// Dark pixels in the left quarter of the rendered page: the printed lines.
int DarkPixels(const fs::path& png) {
  QImage image(QString::fromStdString(png.string()));
  int dark = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width() / 4; ++x) {
      if (qGray(image.pixel(x, y)) < 128) ++dark;
    }
  }
  return dark;
}

TEST_F(DebugPanelTest, ALogLongerThanAPageIsPrintedOnMorePages) {
  std::vector<std::string> lines;
  for (int i = 0; i < 150; ++i) lines.push_back("Pop Server: User Admin line " + std::to_string(i));
  const fs::path pdf = dir_ / "log.pdf";
  QPrinter printer(QPrinter::HighResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(QString::fromStdString(pdf.string()));
  ASSERT_TRUE(PrintLogLines(printer, lines));
  EXPECT_EQ(printer.docName(), "Kestrune Debug Log.");

  const std::string render = "pdftoppm -r 40 -png '" + pdf.string() + "' '" +
                             (dir_ / "page").string() + "'";
  ASSERT_EQ(std::system(render.c_str()), 0);
  std::vector<fs::path> pages;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    if (entry.path().extension() == ".png") pages.push_back(entry.path());
  }
  std::sort(pages.begin(), pages.end());
  ASSERT_GE(pages.size(), 2u);
  for (const fs::path& page : pages) EXPECT_GT(DarkPixels(page), 100) << page;
}

}  // namespace
}  // namespace kestrune
