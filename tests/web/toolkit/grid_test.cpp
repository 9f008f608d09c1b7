// The grid: cells created on first access, escaping of cell text, clickable cells and
// the range checks on the row and column the browser posts back.
#include "web/toolkit/grid.h"

#include <gtest/gtest.h>

#include "page_test_support.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/page_errors.h"

namespace kestrune {
namespace {

class GridTest : public testing::PageTest {
 protected:
  GridTest() : page_(session_, "IWInbox", "TIWInbox"), grid_(page_.AddControl<TIWGrid>("IWInbox")) {
    grid_.SetColumnCount(3);
    grid_.SetRowCount(3);
    page_.TemplateProcessor.Templates.Default = "inbox.htm";
    WriteFile("inbox.htm", "<html><body>{%IWInbox%}</body></html>");
  }

  std::string RenderGrid() {
    const std::string html = page_.Render(context_);
    return Between(html, "<table", "</table>");
  }

  PostedForm Action(std::string name, std::string param) {
    PostedForm post;
    post.fields = {{"IW_Action", std::move(name)}, {"IW_ActionParam", std::move(param)}};
    return post;
  }

  std::string PostError(const PostedForm& post) {
    try {
      page_.ApplyPost(post);
    } catch (const ToolkitError& error) {
      return error.what();
    }
    return "no error";
  }

  TIWAppForm page_;
  TIWGrid& grid_;
};

TEST_F(GridTest, UntouchedCellsAreEmptyInvisibleOnesBlankAndTextIsEscaped) {
  grid_.SetColumnCount(2);
  grid_.Cell(0, 0).Text = "<script>alert('x')</script>";
  grid_.Cell(0, 1).Text = "  ";
  grid_.Cell(2, 0).RawText = true;
  grid_.Cell(2, 0).Text = "<img src=\"/Files/re.gif\">";
  grid_.Cell(2, 1).Visible = false;
  EXPECT_EQ(
      RenderGrid(),
      "<table Border=\"1\" CELLPADDING=\"0\" CELLSPACING=\"0\" RULES=\"all\" frame=\"box\" "
      "ID=\"IWINBOX\" CLASS=\"IWINBOXCSS\">\r\n"
      "  <tr>\r\n"
      "    <td VAlign=\"middle\" NOWRAP>&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;</td>\r\n"
      "    <td VAlign=\"middle\" NOWRAP>&nbsp;</td></tr>\r\n"
      "  <tr>\r\n"
      "    <td></td>\r\n"
      "    <td></td></tr>\r\n"
      "  <tr>\r\n"
      "    <td VAlign=\"middle\" NOWRAP><img src=\"/Files/re.gif\"></td>\r\n"
      "    <td>&nbsp;</td></tr></table>");
}

TEST_F(GridTest, CellAttributesFontAndRenderCellHandler) {
  grid_.SetRowCount(1);
  grid_.SetColumnCount(1);
  grid_.BorderSize = 0;
  TIWGridCell& cell = grid_.Cell(0, 0);
  cell.Text = "From";
  cell.Width = "45";
  cell.Height = "0";
  cell.Wrap = true;
  cell.VAlign = TIWGridVAlign::vaTop;
  std::vector<std::pair<int, int>> rendered;
  grid_.OnRenderCell = [&](TIWGridCell& c, int row, int column) {
    rendered.emplace_back(row, column);
    c.Header = true;
    c.Alignment = TIWGridAlignment::taCenter;
    c.BGColor = TIWColor::FromRGB(0xEC, 0xE9, 0xD8);
    c.Font.Bold = true;
  };
  EXPECT_EQ(RenderGrid(),
            "<table Border=\"0\" CELLPADDING=\"0\" CELLSPACING=\"0\" ID=\"IWINBOX\" "
            "CLASS=\"IWINBOXCSS\">\r\n"
            "  <tr>\r\n"
            "    <th VAlign=\"top\" align=\"center\" Width=\"45\" BGColor=\"#ECE9D8\">\r\n"
            "      <font STYLE=\"font-weight:bold;\">From</font></th></tr></table>");
  EXPECT_EQ(rendered, (std::vector<std::pair<int, int>>{{0, 0}}));
}

TEST_F(GridTest, CellsOutsideTheGridAreRefusedAndShrinkingDropsCells) {
  EXPECT_THROW(grid_.Cell(3, 0), ToolkitError);
  EXPECT_THROW(grid_.Cell(0, -1), ToolkitError);
  try {
    grid_.Cell(0, 3);
  } catch (const ToolkitError& error) {
    EXPECT_STREQ(error.what(), "Index out of bounds.");
  }
  grid_.Cell(2, 2).Text = "old";
  grid_.SetRowCount(2);
  grid_.SetRowCount(3);
  EXPECT_FALSE(grid_.CellExists(2, 2));
  EXPECT_EQ(grid_.Cell(2, 2).Text, "");
  grid_.SetRowCount(-4);
  EXPECT_EQ(grid_.RowCount(), 0);
}

TEST_F(GridTest, ClickableCellFiresWithItsRowAndColumn) {
  grid_.Cell(1, 2).Text = "Jo's mail";
  grid_.Cell(1, 2).Clickable = true;
  std::vector<std::pair<int, int>> clicks;
  grid_.OnCellClick = [&](TIWGrid&, int row, int column) { clicks.emplace_back(row, column); };
  const std::string html = RenderGrid();
  EXPECT_NE(html.find("<a HREF=\"#\" OnClick=\"return SubmitClickConfirm(&#39;IWINBOX&#39;,"
                      "&#39;1_2&#39;, true, &#39;&#39;)\">Jo&#39;s mail</a>"),
            std::string::npos)
      << html;
  page_.ApplyPost(Action("IWINBOX", "1_2"));
  EXPECT_EQ(clicks, (std::vector<std::pair<int, int>>{{1, 2}}));
}

TEST_F(GridTest, PostedPositionsOutsideTheClickableCellsAreRefused) {
  grid_.Cell(1, 2).Text = "x";
  grid_.Cell(1, 2).Clickable = true;
  grid_.Cell(0, 0).Text = "not clickable";
  bool fired = false;
  grid_.OnCellClick = [&](TIWGrid&, int, int) { fired = true; };
  RenderGrid();
  for (const char* param :
       {"0_0", "1_9", "9_2", "-1_2", "1_-2", "x_y", "1", "1_2_3", "_", "99999999999_2", ""}) {
    EXPECT_EQ(PostError(Action("IWINBOX", param)), "Index out of bounds.") << param;
  }
  EXPECT_FALSE(fired);
  // A row deleted since the render is out of range as well.
  grid_.SetRowCount(1);
  EXPECT_EQ(PostError(Action("IWINBOX", "1_2")), "Index out of bounds.");
  EXPECT_FALSE(fired);
}

TEST_F(GridTest, CellControlsGetUniqueNamesTakePostsAndFire) {
  auto& header = grid_.Cell(0, 1).SetControl(std::make_unique<TIWCheckBox>(""));
  header.Caption = "All";
  int header_clicks = 0;
  header.OnClick = [&](TIWBaseControl&) { ++header_clicks; };
  for (int row = 1; row < 3; ++row) {
    auto& box = grid_.Cell(row, 1).SetControl(std::make_unique<TIWCheckBox>(""));
    box.Tag = row * 10;
  }
  const std::string html = RenderGrid();
  EXPECT_NE(html.find("<input TYPE=\"CHECKBOX\" NAME=\"IWCHECKBOX2\" VALUE=\"On\" "
                      "ID=\"IWCHECKBOX2\" CLASS=\"IWCHECKBOX2CSS\">"),
            std::string::npos)
      << html;
  auto checked = [&](int row) {
    return static_cast<TIWCheckBox*>(grid_.Cell(row, 1).Control())->Checked;
  };
  PostedForm post = Action("IWCHECKBOX1", "");
  post.fields.emplace_back("IWCHECKBOX3", "On");
  page_.ApplyPost(post);
  EXPECT_EQ(header_clicks, 1);
  EXPECT_FALSE(checked(1));
  EXPECT_TRUE(checked(2));
  EXPECT_EQ(page_.FindControl("iwcheckbox3")->Tag, 20);

  // Deleting a row moves the rows below up, controls included.
  grid_.DeleteRow(1);
  EXPECT_EQ(grid_.RowCount(), 2);
  EXPECT_EQ(grid_.Cell(1, 1).Control()->Tag, 20);
  EXPECT_THROW(grid_.DeleteRow(2), ToolkitError);
}

}  // namespace
}  // namespace kestrune
