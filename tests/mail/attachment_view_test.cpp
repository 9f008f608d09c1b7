// Which attachments the browser may open by itself: only pictures and PDF documents
// whose bytes and declared type (or, for a generic type, name) agree.
#include "mail/attachment_view.h"

#include <gtest/gtest.h>

namespace kestrune::testing {
namespace {

const std::string kPng("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16);
const std::string kJpeg("\xFF\xD8\xFF\xE0\0\x10JFIF", 10);
const std::string kPdf = "%PDF-1.7\n%\xE2\xE3\n1 0 obj";
const std::string kHtml = "<html><script>parent.document.cookie</script></html>";
const std::string kSvg = "<svg xmlns=\"http://www.w3.org/2000/svg\" onload=\"alert(1)\"/>";

TEST(SafeInlineViewTest, HostileFilesDisguisedAsPicturesOnlyDownload) {
  const struct {
    const char* declared;
    const char* name;
    const std::string& content;
  } refused[] = {
      {"image/png", "photo.png", kHtml},  // an HTML page named and typed as a picture
      {"image/svg+xml", "logo.png", kSvg},
      {"image/png", "logo.png", kSvg},
      {"application/octet-stream", "photo.png", kHtml},
      {"text/html", "page.html", kPng},  // picture bytes declared as a page
      {"image/svg+xml", "x.svg", kPng},  // and as a picture type that may run script
      {"image/gif", "x.gif", kPng},      // the declared type disagrees with the bytes
      {"application/octet-stream", "x.exe", kPng},
      {"application/octet-stream", "noname", kPdf},
      {"application/pdf", "doc.pdf", kHtml},
      {"", "", ""},
  };
  for (const auto& c : refused) {
    EXPECT_FALSE(SafeInlineView(c.declared, c.name, c.content)) << c.declared << " " << c.name;
  }
}

TEST(SafeInlineViewTest, PicturesAndPdfOpenWithTheTypeTheirBytesName) {
  const struct {
    const char* declared;
    const char* name;
    const std::string& content;
    bool image;
    const char* type;
    const char* extension;
  } opened[] = {
      {"image/png; name=\"a.png\"", "a.png", kPng, true, "image/png", ".png"},
      {"IMAGE/JPG", "a.jpeg", kJpeg, true, "image/jpeg", ".jpg"},
      {"application/octet-stream", "Holiday.JPEG", kJpeg, true, "image/jpeg", ".jpg"},
      {"image/png", "named.exe", kPng, true, "image/png", ".png"},  // sent under our own name
      {"application/pdf", "report.pdf", kPdf, false, "application/pdf", ".pdf"},
      {"application/x-pdf", "report", kPdf, false, "application/pdf", ".pdf"},
  };
  for (const auto& c : opened) {
    const auto view = SafeInlineView(c.declared, c.name, c.content);
    ASSERT_TRUE(view) << c.declared << " " << c.name;
    EXPECT_EQ(view->is_image, c.image);
    EXPECT_EQ(view->content_type, c.type);
    EXPECT_EQ(view->extension, c.extension);
  }
}

}  // namespace
}  // namespace kestrune::testing
