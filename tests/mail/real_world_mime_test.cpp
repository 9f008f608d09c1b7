// Messages as other mailers write them, read as the well-known readers read them: what
// the view shows of each (text, attachment names and bytes, sender) after decoding.
// Every case reproduces a habit seen in real mail; none may lose text that is there.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "mail/charset.h"
#include "mail/id_message.h"
#include "mail/message_display.h"

namespace kestrune {
namespace {

// Message text written with LF for readability, read with CR LF as mail has it.
std::string Crlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

struct Seen {
  std::string body;                                              // the displayed HTML
  std::vector<std::pair<std::string, std::string>> attachments;  // name, bytes
};

// The message as the view reads it: fetched (read raw), stored, loaded with decoding.
Seen Read(std::string_view text) {
  TIdMessage fetched;
  fetched.NoDecode = true;
  fetched.LoadFromText(Crlf(text));
  TIdMessage message;
  message.LoadFromText(fetched.FileText());
  Seen seen;
  seen.body = BuildDisplayedBody(message, {}).html;
  for (const AttachmentEntry& entry : ListAttachments(message)) {
    const auto& part = static_cast<const TIdAttachment&>(message.MessageParts[entry.part_index]);
    seen.attachments.emplace_back(entry.file_name, part.Content);
  }
  return seen;
}

using Files = std::vector<std::pair<std::string, std::string>>;

struct Case {
  const char* name;
  const char* message;
  std::vector<const char*> shown;  // pieces of the displayed body, in order
  Files attachments;
};

void Check(const Case& c) {
  SCOPED_TRACE(c.name);
  Seen seen;
  try {
    seen = Read(c.message);
  } catch (const MessageError& e) {
    ADD_FAILURE() << "load failed: " << e.what();
    return;
  }
  std::size_t at = 0;
  for (const char* piece : c.shown) {
    std::size_t found = seen.body.find(piece, at);
    EXPECT_NE(found, std::string::npos) << "missing \"" << piece << "\" in: " << seen.body;
    if (found != std::string::npos) at = found;
  }
  EXPECT_EQ(seen.attachments, c.attachments) << seen.body;
}

// "Hello, uuencoded world!\n" and "Second line.\n" as the block encoders write them.
constexpr std::string_view kUuBlock =
    "begin 644 hello.txt\n"
    "E2&5L;&\\L('5U96YC;V1E9\"!W;W)L9\"$*4V5C;VYD(&QI;F4N\"@``\n"
    "`\n"
    "end\n";
const std::string kUuBytes = "Hello, uuencoded world!\nSecond line.\n";

TEST(RealWorldMime, UuencodedPartsDownloadAsTheFileNotAsTheEncoding) {
  const std::string part_head =
      "Content-Type: multipart/mixed; boundary=\"B\"\n\n"
      "--B\nContent-Type: text/plain\n\nSee the file.\n"
      "--B\nContent-Type: application/octet-stream; name=\"hello.txt\"\n";
  for (const char* encoding : {"x-uuencode", "uuencode", "x-uue", "X-UUENCODE"}) {
    const std::string text = part_head + "Content-Transfer-Encoding: " + encoding +
                             "\nContent-Disposition: attachment; filename=\"hello.txt\"\n\n" +
                             std::string(kUuBlock) + "--B--\n";
    Check({encoding, text.c_str(), {"See the file."}, {{"hello.txt", kUuBytes}}});
  }
  // A part without a name of its own takes the one of its "begin" line.
  const std::string unnamed = std::string(
                                  "Content-Type: multipart/mixed; boundary=\"B\"\n\n"
                                  "--B\nContent-Type: application/octet-stream\n"
                                  "Content-Transfer-Encoding: x-uuencode\n\n") +
                              std::string(kUuBlock) + "--B--\n";
  Check({"unnamed", unnamed.c_str(), {}, {{"hello.txt", kUuBytes}}});
  // The whole message one uuencoded file.
  const std::string whole = "Subject: file\nContent-Type: application/octet-stream\n"
                            "Content-Transfer-Encoding: uuencode\n\n" +
                            std::string(kUuBlock);
  Check({"whole message", whole.c_str(), {}, {{"hello.txt", kUuBytes}}});
}

TEST(RealWorldMime, UuencodedBlockInsideAPlainTextPartBecomesAnAttachment) {
  const std::string text =
      "Content-Type: multipart/mixed; boundary=\"B\"\n\n"
      "--B\nContent-Type: text/plain; charset=us-ascii\n\n"
      "Before the block.\n" +
      std::string(kUuBlock) + "After the block.\n--B--\n";
  Check({"uu in part",
         text.c_str(),
         {"Before the block.", "After the block."},
         {{"hello.txt", kUuBytes}}});
  EXPECT_EQ(Read(text).body.find("begin 644"), std::string::npos);
  // xxencoded, with a short first line ("X" counts 35 bytes in that alphabet).
  Check({"xx in body",
         "Subject: xx\n\nBefore.\nbegin 644 notes.dat\n"
         "XS5UUN43oMHcUA12mAnEpBXQsCG-VPaEUPKxmNG-WSLFZQkc+\n+\nend\nAfter.\n",
         {"Before.", "After."},
         {{"notes.dat", "xx data: 0123456789 and more bytes\n"}}});
}

TEST(RealWorldMime, InlineTextPartWithAFileNameIsShown) {
  Check({"inline named text",
         "Content-Type: multipart/mixed; boundary=\"B\"\n\n"
         "--B\nContent-Type: text/plain; charset=us-ascii; name=\"notes.txt\"\n"
         "Content-Disposition: inline; filename=\"notes.txt\"\n\n"
         "The notes are shown.\n"
         "--B\nContent-Type: text/plain; name=\"data.txt\"\n"
         "Content-Disposition: attachment; filename=\"data.txt\"\n\n"
         "offered as a file\n--B--\n",
         {"The notes are shown."},
         {{"notes.txt", "The notes are shown."}, {"data.txt", "offered as a file"}}});
}

TEST(RealWorldMime, Outlook2000AlternativeWithRelatedHtmlShowsTheText) {
  // Outlook 2000: the related group names its root's type, and every boundary begins
  // with "----=_NextPart_", the inner one longer than the outer.
  Check({"outlook 2000",
         "MIME-Version: 1.0\n"
         "Content-Type: multipart/alternative;\n"
         "\tboundary=\"----=_NextPart_000_0007_01C2A9A6.3A8BA5E0\"\n"
         "X-Mailer: Microsoft Outlook CWS, Build 9.0.2416 (9.0.2910.0)\n\n"
         "This is a multi-part message in MIME format.\n\n"
         "------=_NextPart_000_0007_01C2A9A6.3A8BA5E0\n"
         "Content-Type: text/plain;\n\tcharset=\"iso-8859-1\"\n"
         "Content-Transfer-Encoding: 7bit\n\n"
         "Plain words from Outlook.\n\n"
         "------=_NextPart_000_0007_01C2A9A6.3A8BA5E0\n"
         "Content-Type: multipart/related;\n"
         "\tboundary=\"----=_NextPart_001_0008_01C2A9A6.3A8BA5E0\";\n"
         "\ttype=\"text/html\"\n\n\n"
         "------=_NextPart_001_0008_01C2A9A6.3A8BA5E0\n"
         "Content-Type: text/html;\n\tcharset=\"iso-8859-1\"\n"
         "Content-Transfer-Encoding: quoted-printable\n\n"
         "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">\n"
         "<HTML><HEAD>\n<META http-equiv=3DContent-Type content=3D\"text/html; =\n"
         "charset=3Diso-8859-1\">\n</HEAD>\n<BODY>\n"
         "<DIV><FONT face=3DArial size=3D2>Rich words from Outlook.</FONT></DIV>\n"
         "<DIV><IMG src=3D\"cid:000601c2a9a6$3a8ba5e0$0100a8c0@home\"></DIV></BODY></HTML>\n\n"
         "------=_NextPart_001_0008_01C2A9A6.3A8BA5E0\n"
         "Content-Type: image/gif;\n\tname=\"dot.gif\"\n"
         "Content-Transfer-Encoding: base64\n"
         "Content-ID: <000601c2a9a6$3a8ba5e0$0100a8c0@home>\n\n"
         "R0lGODlhAQABAAAAACw=\n\n"
         "------=_NextPart_001_0008_01C2A9A6.3A8BA5E0--\n\n"
         "------=_NextPart_000_0007_01C2A9A6.3A8BA5E0--\n",
         {"Rich words from Outlook."},
         {{"dot.gif", std::string("GIF89a\x01\0\x01\0\0\0\0,", 14)}}});
}

TEST(RealWorldMime, NestedPartReusingItsParentsBoundaryShowsWhatCanBeRead) {
  Check({"same boundary",
         "Content-Type: multipart/mixed; boundary=\"=_same\"\n\n"
         "--=_same\nContent-Type: multipart/alternative; boundary=\"=_same\"\n\n"
         "--=_same\nContent-Type: text/plain\n\nThe text still shows.\n"
         "--=_same\nContent-Type: application/pdf; name=\"a.pdf\"\n"
         "Content-Transfer-Encoding: base64\n\nJVBERg==\n"
         "--=_same--\n",
         {"The text still shows."},
         {{"a.pdf", "%PDF"}}});
  // A nested multipart that names no boundary at all reads as the text it holds.
  Check({"no boundary",
         "Content-Type: multipart/mixed; boundary=\"b1\"\n\n"
         "--b1\nContent-Type: multipart/alternative\n\nstill readable\n--b1--\n",
         {"still readable"},
         {}});
}

TEST(RealWorldMime, MessageThatIsOneEnclosedMessageShowsItInline) {
  const char* enclosed =
      "From: Outer <outer@x.test>\nSubject: Fwd: the report\n"
      "Content-Type: message/rfc822\n\n"
      "From: Inner Sender <inner@y.test>\nTo: team@y.test\n"
      "Subject: =?UTF-8?Q?the_r=C3=A9port?=\nDate: Mon, 7 Dec 2026 09:00:00 +0100\n"
      "Content-Type: multipart/mixed; boundary=\"I\"\n\n"
      "--I\nContent-Type: text/plain\n\nInner text.\n"
      "--I\nContent-Type: application/pdf; name=\"r.pdf\"\nContent-Transfer-Encoding: base64\n\n"
      "JVBERg==\n--I--\n";
  Check({"rfc822 body",
         enclosed,
         // an empty line sets the enclosed header fields off from the body
         {"Inner Sender &lt;inner@y.test&gt;", "team@y.test", "the réport<br>\n<br>\n</div>",
          "Inner text."},
         {{"r.pdf", "%PDF"}}});
  // Among attachments an enclosed message stays a file to download.
  Check({"rfc822 attachment",
         "Content-Type: multipart/mixed; boundary=\"M\"\n\n"
         "--M\nContent-Type: text/plain\n\nSee attached.\n"
         "--M\nContent-Type: message/rfc822\n\nSubject: old\n\nold text\n--M--\n",
         {"See attached."},
         {{"message.eml", "Subject: old\r\n\r\nold text"}}});
}

TEST(RealWorldMime, CommentsInAddressesAreNotPartOfTheAddress) {
  struct AddressCase {
    const char* text;
    const char* name;
    const char* address;
  };
  const AddressCase cases[] = {
      {"Pete(A wonderful \\) chap) <pete(his account)@silly.test(his host)>", "Pete",
       "pete@silly.test"},
      {"john@x.test (John Doe)", "John Doe", "john@x.test"},
      {"john@x.test (John (Jack) Doe)", "John (Jack) Doe", "john@x.test"},
      {"\"Doe, Jane\" <jane@x.test>", "Doe, Jane", "jane@x.test"},
      {"Joe Q. Public <john.q.public@example.com>", "Joe Q. Public", "john.q.public@example.com"},
      {"(comment only) plain@x.test", "comment only", "plain@x.test"},
      {"\"Giant; \\\"Big\\\" Box\" <sysservices@example.net>", "Giant; \"Big\" Box",
       "sysservices@example.net"},
      {"=?UTF-8?Q?J=C3=B6rg?= <j@x.test> (work)", "Jörg", "j@x.test"},
      {"Eve <script> <eve@x.test>", "Eve <script>", "eve@x.test"},
      {"\"a b\"@x.test", "", "\"a b\"@x.test"},
  };
  for (const AddressCase& c : cases) {
    SCOPED_TRACE(c.text);
    TIdEmailAddressItem item;
    item.SetText(c.text);
    EXPECT_EQ(item.Name, c.name);
    EXPECT_EQ(item.Address, c.address);
  }
  TIdEmailAddressList list;
  list.SetText("Pete(A wonderful \\) chap, really) <pete@silly.test>, mary@x.test (Mary)");
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list[0].Text(), "Pete <pete@silly.test>");
  EXPECT_EQ(list[1].Text(), "Mary <mary@x.test>");
}

TEST(RealWorldMime, Iso2022JpSkipsAnInvalidCharacterWithoutLosingItsShiftState) {
  // JIS X 0208 "日", an unassigned pair, "本", then ASCII again.
  EXPECT_EQ(CharsetToUtf8("\x1b$BF|\x22\x2FK\\\x1b(Bok", "ISO-2022-JP"), "日\xEF\xBF\xBD本ok");
  // A stray 8-bit byte in two-byte mode.
  EXPECT_EQ(CharsetToUtf8("\x1b$BF|\xA0K\\\x1b(Bok", "ISO-2022-JP"), "日\xEF\xBF\xBD本ok");
  // A stateless charset: one replacement per bad byte, the rest as it was.
  EXPECT_EQ(CharsetToUtf8("a\xFF\xFE"
                          "b",
                          "UTF-8"),
            "a\xC3\xBF\xC3\xBE"
            "b");
  EXPECT_EQ(CharsetToUtf8("\xC4\xE3\xFF\xBA\xC3", "GB2312"), "你\xEF\xBF\xBD好");
}

TEST(RealWorldMime, MessageWithoutTheBlankLineAfterItsHeaderShowsItsBody) {
  Check({"no separator",
         "From: a@x.test\nSubject: no gap\nContent-Type: text/plain\n"
         "The body starts here: with a colon.\nSecond line.\n",
         {"The body starts here: with a colon.", "Second line."},
         {}});
  TIdMessage message;
  message.LoadFromText(Crlf("Subject: no gap\nFirst body line\n"));
  EXPECT_EQ(message.Subject, "no gap");
  EXPECT_EQ(message.Body, std::vector<std::string>{"First body line"});
}

TEST(RealWorldMime, TolerantReadingOfBrokenMime) {
  const Case cases[] = {
      {"missing closing boundary",
       "Content-Type: multipart/mixed; boundary=\"B\"\n\n--B\n\nfirst\n--B\n"
       "Content-Type: text/plain\n\nsecond, cut off\n",
       {"first", "second, cut off"},
       {}},
      {"boundary lines and parameter with trailing blanks",
       "Content-Type: multipart/mixed; boundary=\"B \"\n\n--B \t\nContent-Type: text/plain\n\n"
       "kept\n--B  \nContent-Type: text/plain\n\nalso kept\n--B-- \n",
       {"kept", "also kept"},
       {}},
      {"base64 without padding and with stray characters",
       "Content-Type: multipart/mixed; boundary=\"B\"\n\n"
       "--B\nContent-Type: text/plain\nContent-Transfer-Encoding: base64\n\n"
       "SGVsbG8g\nd29y!bGQ\n"
       "--B\nContent-Type: application/octet-stream; name=\"x.bin\"\n"
       "Content-Transfer-Encoding: base64\n\nAAEC Aw\n--B--\n",
       {"Hello world"},
       {{"x.bin", std::string("\0\1\2\3", 4)}}},
      {"quoted-printable with bad escapes",
       "Content-Type: text/plain\nContent-Transfer-Encoding: quoted-printable\n\n"
       "100=% sure =ZZ caf=e9 =3d end=\n",
       {"100=% sure =ZZ café = end"},
       {}},
      {"content type without subtype",
       "Content-Type: text; charset=iso-8859-1\n\ncaf\xe9 text\n",
       {"café text"},
       {}},
      {"multipart without subtype",
       "Content-Type: multipart; boundary=\"B\"\n\n--B\n\ninside\n--B--\n",
       {"inside"},
       {}},
      {"duplicated header fields: the first counts",
       "Content-Type: text/plain; charset=utf-8\nContent-Type: text/html\n"
       "Content-Transfer-Encoding: base64\nContent-Transfer-Encoding: 7bit\n\nwqN1\n",
       {"£u"},
       {}},
      {"GB2312 label on GBK text",
       "Content-Type: text/plain; charset=gb2312\n\n\x95\x4c\xc4\xe3\n",
       {"昄你"},
       {}},
      {"ISO-8859-1 label on Windows-1252 text",
       "Content-Type: text/plain; charset=iso-8859-1\n\n\x93quoted\x94 \x80 5\n",
       {"“quoted” € 5"},
       {}},
  };
  for (const Case& c : cases) Check(c);
  // The closing delimiter of a boundary written with a trailing blank ends the last part.
  EXPECT_EQ(Read("Content-Type: multipart/mixed; boundary=\"B \"\n\n--B\n\nlast\n--B--\n")
                .body.find("--B"),
            std::string::npos);
}

TEST(RealWorldMime, EightBitHeaderBytesAreUtf8FirstThenWindows1252) {
  TIdMessage message;
  message.LoadFromText(
      Crlf("From: J\xc3\xb6rg <j@x.test>\nTo: Ren\xe9 <r@x.test>\nSubject: caf\xc3\xa9 and \x93"
           "quotes\x94\n"
           "Content-Type: multipart/mixed; boundary=\"B\"\n\n"
           "--B\nContent-Type: application/octet-stream; name=\"r\xe9sum\xe9.txt\"\n\nx\n--B--\n"));
  EXPECT_EQ(message.From.Name, "Jörg");
  EXPECT_EQ(message.Recipients[0].Name, "René");
  // One field is read as a whole: not valid UTF-8, so all of it is Windows-1252.
  EXPECT_EQ(message.Subject, "cafÃ© and “quotes”");
  ASSERT_EQ(ListAttachments(message).size(), 1u);
  EXPECT_EQ(ListAttachments(message)[0].file_name, "résumé.txt");
}

}  // namespace
}  // namespace kestrune
