// What the view page shows of a message: which text parts make the body (alternatives,
// mixed texts, a message that is one HTML document, no text part at all), their charsets
// shown as UTF-8, inline cid: images, remote content blocked or allowed, plain text as
// escaped HTML with line breaks and links, the sandboxed frame document, the attachment
// list with safe names, and the hostile message corpus in tests/data/hostile.
#include "mail/message_display.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "mail/html_safety_check.h"
#include "mail/id_message.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

// Message text written with LF for readability, read with CR LF as mail has it.
void Load(TIdMessage& message, std::string_view text) {
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  message.LoadFromText(crlf);
}

DisplayedBody Show(std::string_view text, bool allow_remote = false) {
  TIdMessage message;
  Load(message, text);
  DisplayOptions options;
  options.allow_remote = allow_remote;
  return BuildDisplayedBody(message, options);
}

constexpr std::string_view kAlternative =
    "From: a@example.org\n"
    "Subject: alt\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/alternative; boundary=\"B\"\n"
    "\n"
    "--B\n"
    "Content-Type: text/plain; charset=us-ascii\n"
    "\n"
    "plain version\n"
    "--B\n"
    "Content-Type: text/html; charset=us-ascii\n"
    "\n"
    "<p onclick=\"x()\">html <b>version</b></p>\n"
    "--B--\n";

TEST(BuildDisplayedBodyTest, AlternativeShowsTheHtmlVersion) {
  DisplayedBody body = Show(kAlternative);
  EXPECT_TRUE(body.is_html);
  EXPECT_FALSE(body.blocked_remote);
  EXPECT_EQ(body.html, "<p>html <b>version</b></p>\n");
}

TEST(BuildDisplayedBodyTest, TwoPlainVersionsShowTheSecond) {
  DisplayedBody body = Show(
      "Content-Type: multipart/alternative; boundary=\"B\"\n\n"
      "--B\nContent-Type: text/plain\n\nfirst\n"
      "--B\nContent-Type: text/plain\n\nsecond\n--B--\n");
  EXPECT_FALSE(body.is_html);
  EXPECT_EQ(body.html, "second<br>\n");
}

TEST(BuildDisplayedBodyTest, MixedTextsAreShownInOrder) {
  // Two plain texts of a mixed message with an attachment between them: both, in order.
  DisplayedBody body = Show(
      "Content-Type: multipart/mixed; boundary=\"M\"\n\n"
      "--M\nContent-Type: text/plain\n\none < two\n"
      "--M\nContent-Type: application/pdf; name=\"a.pdf\"\nContent-Transfer-Encoding: base64\n\n"
      "JVBERg==\n"
      "--M\nContent-Type: text/plain\n\nthree\n--M--\n");
  EXPECT_FALSE(body.is_html);
  EXPECT_EQ(body.html, "<div>one &lt; two<br>\n</div><div>three<br>\n</div>");

  // A mixed message whose first text is an alternative and whose second is plain.
  body = Show(
      "Content-Type: multipart/mixed; boundary=\"M\"\n\n"
      "--M\nContent-Type: multipart/alternative; boundary=\"A\"\n\n"
      "--A\nContent-Type: text/plain\n\nplain\n"
      "--A\nContent-Type: text/html\n\n<i>rich</i>\n--A--\n"
      "--M\nContent-Type: text/plain\n\nfooter\n--M--\n");
  EXPECT_TRUE(body.is_html);
  EXPECT_EQ(body.html, "<div><i>rich</i>\n</div><div>footer<br>\n</div>");
}

TEST(BuildDisplayedBodyTest, AlternativeInsideRelatedKeepsOneVersion) {
  // alternative( plain, related( html, image ) ): the HTML with its image is the choice.
  DisplayedBody body = Show(
      "Content-Type: multipart/alternative; boundary=\"A\"\n\n"
      "--A\nContent-Type: text/plain\n\nlogo here\n"
      "--A\nContent-Type: multipart/related; boundary=\"R\"\n\n"
      "--R\nContent-Type: text/html\n\n<img src=\"cid:logo@x\" alt=\"logo\">\n"
      "--R\nContent-Type: image/gif\nContent-ID: <logo@x>\nContent-Transfer-Encoding: base64\n\n"
      "R0lGODlhAQABAAAAACw=\n--R--\n--A--\n");
  EXPECT_TRUE(body.is_html);
  EXPECT_EQ(body.html, "<img src=\"data:image/gif;base64,R0lGODlhAQABAAAAACw=\" alt=\"logo\">\n");
}

TEST(BuildDisplayedBodyTest, CidImagesNeedAnImagePart) {
  // The part named by the cid: is not an image (its bytes say so): no data: URL.
  DisplayedBody body = Show(
      "Content-Type: multipart/related; boundary=\"R\"\n\n"
      "--R\nContent-Type: text/html\n\n<img src=\"cid:p\"><img src=\"cid:none\">\n"
      "--R\nContent-Type: image/png\nContent-ID: <p>\n\n<script>alert(1)</script>\n--R--\n");
  EXPECT_EQ(body.html, "<img><img>\n");
}

TEST(BuildDisplayedBodyTest, InlineImagesStayWithinTheirBudget) {
  // A 5 MiB image named three times: each reference costs its 6.7 MiB data: URL, so two fit
  // into the 16 MB the inline images of a message may add, and the third goes.
  TIdMessage message;
  message.ContentType = "multipart/related";
  message.MessageParts.AddText("text/html").Body = {
      "<img src=\"cid:big\"><img src=\"cid:BIG\"><img src=\"cid:big\">"};  // any case
  std::string png("\x89PNG\r\n\x1A\n", 8);
  png.resize(5u * 1024u * 1024u, 'x');
  auto& image = message.MessageParts.AddAttachment("big.png", png);
  image.ContentType = "image/png";
  image.ContentID = "<big>";
  DisplayedBody body = BuildDisplayedBody(message, {});
  std::size_t images = 0;
  for (std::size_t at = 0;
       (at = body.html.find("src=\"data:image/png;base64,", at)) != std::string::npos; ++at) {
    ++images;
  }
  EXPECT_EQ(images, 2u);
  EXPECT_EQ(body.html.substr(body.html.size() - 6), "<img>\n");
}

TEST(BuildDisplayedBodyTest, ReaderRecordsTheAlternativeOfEachPart) {
  TIdMessage message;
  Load(message,
       "Content-Type: multipart/mixed; boundary=\"M\"\n\n"
       "--M\nContent-Type: text/plain\n\nintro\n"
       "--M\nContent-Type: multipart/alternative; boundary=\"A\"\n\n"
       "--A\nContent-Type: text/plain\n\np\n"
       "--A\nContent-Type: multipart/related; boundary=\"R\"\n\n"
       "--R\nContent-Type: text/html\n\nh\n"
       "--R\nContent-Type: multipart/alternative; boundary=\"I\"\n\n"
       "--I\nContent-Type: text/plain\n\ninner\n--I--\n"
       "--R--\n--A--\n"
       "--M\nContent-Type: multipart/alternative; boundary=\"B\"\n\n"
       "--B\nContent-Type: text/plain\n\nsecond\n--B--\n"
       "--M--\n");
  std::vector<std::size_t> groups;
  for (std::size_t i = 0; i < message.MessageParts.Count(); ++i) {
    groups.push_back(message.MessageParts[i].AlternativeGroup);
  }
  // The nested alternative belongs to the outer one: they are versions of one text.
  EXPECT_EQ(groups, (std::vector<std::size_t>{0, 1, 1, 1, 2}));
  EXPECT_EQ(BuildDisplayedBody(message, {}).html,
            "<div>intro<br>\n</div><div>h\n</div><div>second<br>\n</div>");
}

TEST(BuildDisplayedBodyTest, RemoteImagesBlockedUntilAllowed) {
  constexpr std::string_view kRemote =
      "Content-Type: text/html\n\n<p>hi<img src=\"http://127.0.0.1:9/tracker.png\"></p>\n";
  DisplayedBody body = Show(kRemote);
  EXPECT_TRUE(body.is_html);
  EXPECT_TRUE(body.blocked_remote);
  EXPECT_EQ(body.html, "<p>hi<img></p>\n");
  body = Show(kRemote, true);
  EXPECT_FALSE(body.blocked_remote);
  EXPECT_EQ(body.html, "<p>hi<img src=\"http://127.0.0.1:9/tracker.png\"></p>\n");
}

TEST(BuildDisplayedBodyTest, PrintCopyKeepsNoStyleSheet) {
  TIdMessage message;
  Load(message,
       "Content-Type: text/html\n\n<style>p{color:red}</style><p style=\"position:"
       "absolute\">x</p>\n");
  DisplayOptions print;
  print.own_frame = false;
  EXPECT_EQ(BuildDisplayedBody(message, print).html, "<p>x</p>\n");
  EXPECT_EQ(BuildDisplayedBody(message, {}).html,
            "<style>p{color:red}</style><p style=\"position:absolute\">x</p>\n");
}

TEST(BuildDisplayedBodyTest, SinglePartMessages) {
  // No text part: the Body as plain text, escaped, with its line breaks.
  DisplayedBody body = Show("Subject: s\n\na\nb <script>\n");
  EXPECT_FALSE(body.is_html);
  EXPECT_EQ(body.html, "a<br>\nb &lt;script&gt;<br>\n");
  // A message that is one HTML document is shown as HTML, sanitised.
  body = Show("Content-Type: text/html\n\n<b>x</b><script>alert(1)</script>\n");
  EXPECT_TRUE(body.is_html);
  EXPECT_FALSE(body.truncated);
  EXPECT_EQ(body.html, "<b>x</b>\n");
  // Nothing at all.
  body = Show("Subject: empty\n\n");
  EXPECT_FALSE(body.is_html);
  EXPECT_EQ(body.html, "");
}

TEST(BuildDisplayedBodyTest, OverlongHtmlIsCutAndSaysSo) {
  TIdMessage message;
  message.ContentType = "text/html";
  message.Body = {"<p>" + std::string(2u * 1024u * 1024u, 'x')};
  DisplayedBody body = BuildDisplayedBody(message, {});
  EXPECT_TRUE(body.truncated);
  EXPECT_EQ(body.html, "<p>" + std::string(1024u * 1024u - 3, 'x') + "</p>");
  // Plain text of that length is shown whole.
  message.ContentType = "text/plain";
  body = BuildDisplayedBody(message, {});
  EXPECT_FALSE(body.truncated);
  EXPECT_EQ(body.html, "&lt;p&gt;" + std::string(2u * 1024u * 1024u, 'x') + "<br>\n");
}

TEST(BuildDisplayedBodyTest, CharsetsComeOutAsUtf8) {
  EXPECT_EQ(Show("Content-Type: text/plain; charset=ISO-8859-1\n"
                 "Content-Transfer-Encoding: quoted-printable\n\ncaf=E9\n")
                .html,
            "caf\xC3\xA9<br>\n");
  EXPECT_EQ(Show("Content-Type: multipart/mixed; boundary=\"M\"\n\n"
                 "--M\nContent-Type: text/html; charset=windows-1252\n"
                 "Content-Transfer-Encoding: quoted-printable\n\n<p>=80 5</p>\n--M--\n")
                .html,
            "<p>\xE2\x82\xAC 5</p>\n");
  // "h\u00e9<" in UTF-16 little-endian with a byte order mark, base64.
  EXPECT_EQ(Show("Content-Type: multipart/mixed; boundary=\"M\"\n\n"
                 "--M\nContent-Type: text/plain; charset=UTF-16\n"
                 "Content-Transfer-Encoding: base64\n\n//5oAOkAPAA=\n--M--\n")
                .html,
            "h\xC3\xA9&lt;<br>\n");
}

TEST(PlainTextToHtmlTest, EscapesAndKeepsLineBreaks) {
  EXPECT_EQ(PlainTextToHtml("a\r\nb"), "a<br>\nb");
  EXPECT_EQ(PlainTextToHtml("a\nb\rc\r\n\r\nd"), "a<br>\nb<br>\nc<br>\n<br>\nd");
  EXPECT_EQ(PlainTextToHtml("<script>alert(\"x\") & 'y'</script>"),
            "&lt;script&gt;alert(&quot;x&quot;) &amp; &#39;y&#39;&lt;/script&gt;");
}

TEST(PlainTextToHtmlTest, MakesWebAddressesLinks) {
  constexpr std::string_view kRel = "\" target=\"_blank\" rel=\"noopener noreferrer\">";
  EXPECT_EQ(PlainTextToHtml("see https://example.org/a?b=1&c=2."),
            "see <a href=\"https://example.org/a?b=1&amp;c=2" + std::string(kRel) +
                "https://example.org/a?b=1&amp;c=2</a>.");
  EXPECT_EQ(PlainTextToHtml("(www.example.org), ok"),
            "(<a href=\"http://www.example.org" + std::string(kRel) + "www.example.org</a>), ok");
  EXPECT_EQ(PlainTextToHtml("http://en.wikipedia.org/wiki/A_(b)!"),
            "<a href=\"http://en.wikipedia.org/wiki/A_(b)" + std::string(kRel) +
                "http://en.wikipedia.org/wiki/A_(b)</a>!");
  EXPECT_EQ(
      PlainTextToHtml("(see http://x.example/(a)))."),
      "(see <a href=\"http://x.example/(a)" + std::string(kRel) + "http://x.example/(a)</a>)).");
  // Brackets are counted once per address, not once per bracket at its end.
  std::string brackets = "http://x.example/a" + std::string(200000, ')');
  EXPECT_EQ(PlainTextToHtml(brackets), "<a href=\"http://x.example/a" + std::string(kRel) +
                                           "http://x.example/a</a>" + std::string(200000, ')'));
  // A quote or angle bracket ends the address: it can never leave the attribute.
  EXPECT_EQ(PlainTextToHtml("http://x.example/\"onmouseover=\"alert(1)"),
            "<a href=\"http://x.example/" + std::string(kRel) +
                "http://x.example/</a>&quot;onmouseover=&quot;alert(1)");
  EXPECT_EQ(PlainTextToHtml("<http://x.example/a>"),
            "&lt;<a href=\"http://x.example/a" + std::string(kRel) + "http://x.example/a</a>&gt;");
  EXPECT_EQ(PlainTextToHtml("HTTPS://X.EXAMPLE"),
            "<a href=\"HTTPS://X.EXAMPLE" + std::string(kRel) + "HTTPS://X.EXAMPLE</a>");
  // Not addresses: other schemes, a bare prefix, a prefix inside a word.
  EXPECT_EQ(PlainTextToHtml("javascript:alert(1) http:// www. xhttp://a.b"),
            "javascript:alert(1) http:// www. xhttp://a.b");
}

TEST(SandboxedDocumentTest, PolicyFollowsTheRemoteOption) {
  std::string blocked = SandboxedDocument("<p>x</p>", false);
  EXPECT_NE(blocked.find("<meta charset=\"utf-8\">"), std::string::npos);
  EXPECT_NE(blocked.find("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src "
                         "'none'; img-src data:; style-src 'unsafe-inline'; font-src data:; "
                         "base-uri 'none'; form-action 'none'\">"),
            std::string::npos);
  EXPECT_NE(blocked.find("<base target=\"_blank\">"), std::string::npos);
  // Remote loads, once allowed, must not tell the sender the address of this server's
  // page (which names the session).
  EXPECT_NE(blocked.find("<meta name=\"referrer\" content=\"no-referrer\">"), std::string::npos);
  EXPECT_NE(blocked.find("<body><p>x</p></body></html>"), std::string::npos);
  EXPECT_EQ(blocked.rfind("<!DOCTYPE html>", 0), 0u);

  std::string allowed = SandboxedDocument("<p>x</p>", true);
  EXPECT_NE(allowed.find("content=\"default-src 'none'; img-src data: http: https:; style-src "
                         "'unsafe-inline' http: https:; font-src data: http: https:;"),
            std::string::npos);
}

TEST(ListAttachmentsTest, NamesAreSafeAndNeverEmpty) {
  TIdMessage message;
  message.MessageParts.AddText("text/plain").Body = {"x"};
  auto& a = message.MessageParts.AddAttachment("../../etc/passwd", "root");
  a.ContentType = "text/plain";
  auto& b = message.MessageParts.AddAttachment("", std::string(3, 'p'));
  b.ContentType = "image/png";
  auto& c = message.MessageParts.AddAttachment("bad\x01\x1B[31mname\xE2\x80\xAEtxt.exe", "c");
  c.ContentType = "Application/X-Thing";
  auto& d = message.MessageParts.AddAttachment(".", "");
  d.ContentType = "bad type\r\n";
  auto& e = message.MessageParts.AddAttachment("caf\xE9.txt", "e");  // not UTF-8
  e.ContentType = "text/plain";

  auto list = ListAttachments(message);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0].part_index, 1u);
  EXPECT_EQ(list[0].file_name, "passwd");
  EXPECT_EQ(list[0].content_type, "text/plain");
  EXPECT_EQ(list[0].size, 4u);
  EXPECT_EQ(list[1].part_index, 2u);
  EXPECT_EQ(list[1].file_name, "attachment2.png");
  EXPECT_EQ(list[1].size, 3u);
  EXPECT_EQ(list[2].file_name, "bad[31mnametxt.exe");
  EXPECT_EQ(list[2].content_type, "application/x-thing");
  EXPECT_EQ(list[3].file_name, "attachment4");
  EXPECT_EQ(list[3].content_type, "application/octet-stream");
  EXPECT_EQ(list[4].file_name, "caf\xC3\xA9.txt");
}

// ---------------------------------------------------------------------------------
// The hostile corpus: every file loads, and what the view shows of it is safe.

const fs::path kHostile = fs::path(KESTRUNE_TEST_DATA) / "hostile";

bool SafeFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
  }
  return name.find("\xE2\x80\xAE") == std::string_view::npos;
}

TEST(HostileCorpusTest, EveryMessageShowsSafely) {
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(kHostile)) {
    if (entry.path().extension() != ".eml") continue;
    ++files;
    SCOPED_TRACE(entry.path().filename().string());
    TIdMessage message;
    ASSERT_NO_THROW(message.LoadFromFile(entry.path()));
    for (bool remote : {false, true}) {
      DisplayOptions options;
      options.allow_remote = remote;
      DisplayedBody body = BuildDisplayedBody(message, options);
      auto problems = testing_html::UnsafeParts(body.html, remote);
      EXPECT_TRUE(problems.empty()) << body.html;
      if (!body.is_html) {
        // Plain text makes no element but links and line breaks.
        std::string lower = testing_html::Lower(body.html);
        for (std::string_view bad : {"<img", "<script", "<svg", "<iframe", "<style"}) {
          EXPECT_EQ(lower.find(bad), std::string::npos) << body.html;
        }
      }
    }
    for (const auto& attachment : ListAttachments(message)) {
      EXPECT_TRUE(SafeFileName(attachment.file_name)) << attachment.file_name;
    }
  }
  EXPECT_GE(files, 8u);
}

TEST(HostileCorpusTest, RemoteImageMessageBlocksItsTracker) {
  TIdMessage message;
  message.LoadFromFile(kHostile / "remote_image.eml");
  DisplayedBody body = BuildDisplayedBody(message, {});
  EXPECT_TRUE(body.is_html);
  EXPECT_TRUE(body.blocked_remote);
  EXPECT_EQ(body.html.find("REMOTE_ORIGIN"), std::string::npos);
  DisplayOptions allow;
  allow.allow_remote = true;
  body = BuildDisplayedBody(message, allow);
  EXPECT_FALSE(body.blocked_remote);
  EXPECT_NE(body.html.find("src=\"http://REMOTE_ORIGIN/tracker.png\""), std::string::npos);
}

TEST(HostileCorpusTest, RelatedMessageInlinesItsImage) {
  TIdMessage message;
  message.LoadFromFile(kHostile / "related_cid_image.eml");
  DisplayedBody body = BuildDisplayedBody(message, {});
  EXPECT_TRUE(body.is_html);
  EXPECT_FALSE(body.blocked_remote);
  EXPECT_NE(body.html.find("src=\"data:image/png;base64,iVBORw0KGgo"), std::string::npos);
  EXPECT_EQ(body.html.find("cid:"), std::string::npos);
}

TEST(HostileCorpusTest, SameNamedAndUnnamedAttachmentsStayApart) {
  TIdMessage same;
  same.LoadFromFile(kHostile / "same_name_attachments.eml");
  auto list = ListAttachments(same);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].file_name, "report.txt");
  EXPECT_EQ(list[1].file_name, "report.txt");
  EXPECT_NE(list[0].part_index, list[1].part_index);

  TIdMessage unnamed;
  unnamed.LoadFromFile(kHostile / "unnamed_attachment.eml");
  list = ListAttachments(unnamed);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].file_name, "attachment1.pdf");
  EXPECT_EQ(list[0].content_type, "application/pdf");
}

TEST(QuotedPlainTextTest, QuoteLevelsCountMarksWithBlanksBetween) {
  const struct {
    const char* line;
    int level;
    std::size_t text_at;
  } cases[] = {
      {"plain", 0, 0}, {"> one", 1, 2},  {">>two", 2, 2},      {"> > two", 2, 4},
      {">", 1, 1},     {" > not", 0, 0}, {">> > three", 3, 5}, {"a > b", 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QuoteLevel(c.line), std::make_pair(c.level, c.text_at)) << c.line;
  }
}

TEST(QuotedPlainTextTest, ThreadOfThreeLevelsNestsAndFoldsTheThird) {
  const std::string html = QuotedPlainTextToHtml(
      "Thanks!\r\n> Are you coming?\r\n>> Lunch at <12>?\r\n>>> Who pays?\r\n>> Yes\r\nBye\r\n",
      "Show quoted text");
  EXPECT_EQ(html,
            "Thanks!<blockquote class=\"kst-quote kst-quote-1\">Are you coming?"
            "<blockquote class=\"kst-quote kst-quote-2\">Lunch at &lt;12&gt;?"
            "<details class=\"kst-quote-fold\"><summary>Show quoted text</summary>"
            "<blockquote class=\"kst-quote kst-quote-3\">Who pays?</blockquote></details>"
            "Yes</blockquote></blockquote>Bye<br>\n");
}

TEST(QuotedPlainTextTest, AMessageOfAThousandQuoteMarksNestsNoDeeperThanTheLimit) {
  const std::string html = QuotedPlainTextToHtml(std::string(1000, '>') + " deep\r\n", "fold");
  std::size_t blocks = 0;
  for (std::size_t at = html.find("<blockquote"); at != std::string::npos;
       at = html.find("<blockquote", at + 1)) {
    ++blocks;
  }
  EXPECT_EQ(blocks, static_cast<std::size_t>(kMaxQuoteDepth));
  EXPECT_NE(html.find("deep"), std::string::npos);
}

}  // namespace
}  // namespace kestrune
