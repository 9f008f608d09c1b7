// Form bodies, browser detection and content types: the parsing edges of requests.
#include <gtest/gtest.h>

#include "platform/internet_date.h"
#include "web/toolkit/browser.h"
#include "web/toolkit/multipart.h"
#include "web/toolkit/request_dispatcher.h"
#include "web/toolkit/static_files.h"

namespace kestrune {
namespace {

TEST(MultipartTest, FieldsAndFilesInOrder) {
  const std::string body =
      "preamble\r\n--XyZ\r\nContent-Disposition: form-data; name=\"IWEDIT\"\r\n\r\nhello\r\nworld"
      "\r\n--XyZ\r\nContent-Disposition: form-data; name=\"IWFILE\"; "
      "filename=\"C:\\docs\\a \\\"b\\\".txt\"\r\nContent-Type: text/plain\r\n\r\n--XyZ is not "
      "here\r\n--XyZ--\r\n";
  const auto parts = ParseMultipart(body, "XyZ");
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].name, "IWEDIT");
  EXPECT_EQ(parts[0].data, "hello\r\nworld");
  EXPECT_FALSE(parts[0].is_file);
  EXPECT_EQ(parts[1].file_name, "C:\\docs\\a \"b\".txt");
  EXPECT_EQ(parts[1].content_type, "text/plain");
  EXPECT_EQ(parts[1].data, "--XyZ is not here");
}

TEST(MultipartTest, MalformedBodiesAreErrors) {
  EXPECT_THROW(ParseMultipart("--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nx", "b"),
               FormDataError);
  EXPECT_THROW(ParseMultipart("--b\r\nX: y\r\n\r\nx\r\n--b--", "b"), FormDataError);
  EXPECT_THROW(ParseMultipart("no boundary", "b"), FormDataError);
  EXPECT_THROW(MultipartBoundary("multipart/form-data"), FormDataError);
  EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=\"q r\"").value(), "q r");
  EXPECT_FALSE(MultipartBoundary("application/x-www-form-urlencoded").has_value());
}

TEST(UrlEncodedTest, DecodesOnceAndKeepsOrder) {
  const auto fields = ParseUrlEncoded("a=1+2&b=%253C&&c&d=%zz");
  ASSERT_EQ(fields.size(), 4u);
  EXPECT_EQ(fields[0], (std::pair<std::string, std::string>{"a", "1 2"}));
  EXPECT_EQ(fields[1].second, "%3C");
  EXPECT_EQ(fields[2], (std::pair<std::string, std::string>{"c", ""}));
  EXPECT_EQ(fields[3].second, "%zz");
}

TEST(BrowserTest, DetectionRulesInOrder) {
  EXPECT_EQ(DetectBrowser("HTML 3.2"), TIWBrowser::brHTML32Test);
  EXPECT_EQ(DetectBrowser("Mozilla/2.0"), TIWBrowser::brOther);
  EXPECT_EQ(DetectBrowser("Opera/9.80 (Windows NT 6.1; U; en) Presto/2.2.15"), TIWBrowser::brOpera);
  EXPECT_EQ(DetectBrowser("Mozilla/5.0 (X11; Linux x86_64; rv:121.0) Gecko/20100101 Firefox/121"),
            TIWBrowser::brNetscape6);
  EXPECT_EQ(DetectBrowser("Mozilla/5.0 (Macintosh) AppleWebKit/605.1.15 (KHTML, like Gecko) "
                          "Version/17.1 Safari/605.1.15"),
            TIWBrowser::brNetscape6);
  EXPECT_EQ(DetectBrowser("Mozilla/4.75 [en]"), TIWBrowser::brNetscape4);
  EXPECT_EQ(DetectBrowser("Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)"), TIWBrowser::brIE);
  EXPECT_EQ(DetectBrowser("Mozilla/4.0 (compatible; MSIE 3.0)"), TIWBrowser::brUnknown);
  EXPECT_EQ(DetectBrowser("curl/8.0"), TIWBrowser::brOther);
  EXPECT_EQ(UnsupportedBrowserMessage(TIWBrowser::brOther, {TIWBrowser::brIE, TIWBrowser::brOpera}),
            "Your browser was detected as Other.\r\nOne of the following browsers is "
            "required:\r\n* Internet Explorer\r\n* Opera\r\n");
}

TEST(ContentTypeTest, OwnTableThenSystemTable) {
  EXPECT_EQ(ContentTypeForFile("A.JPEG"), "image/jpeg");
  EXPECT_EQ(ContentTypeForFile("x.js"), "application/x-javascript");
  EXPECT_EQ(ContentTypeForFile("gif12345.tmp"), "image/gif");
  EXPECT_EQ(ContentTypeForFile("style.css"), "text/css");
  EXPECT_EQ(ContentTypeForFile("noext"), "");
}

TEST(BasicAuthorizationTest, SplitsAtFirstColon) {
  const auto credentials = ParseBasicAuthorization("basic YW5uOnA6dw==");  // ann:p:w
  EXPECT_EQ(credentials.user_name, "ann");
  EXPECT_EQ(credentials.password, "p:w");
  EXPECT_EQ(ParseBasicAuthorization("Bearer abc").user_name, "");
}

TEST(HttpDateTest, RoundTripsAndComparesAtSecondPrecision) {
  const auto parsed = ParseInternetDate("Sun, 06 Nov 1994 08:49:37 GMT");
  ASSERT_TRUE(parsed.has_value());
  const SystemTime when(*parsed);
  EXPECT_EQ(FormatHttpDate(when), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_TRUE(
      NotModifiedSince(when + std::chrono::milliseconds(500), "Sun, 06 Nov 1994 08:49:37 GMT"));
  EXPECT_FALSE(NotModifiedSince(when + std::chrono::seconds(2), "Sun, 06 Nov 1994 08:49:37 GMT"));
  EXPECT_FALSE(NotModifiedSince(when, "yesterday"));
}

}  // namespace
}  // namespace kestrune
