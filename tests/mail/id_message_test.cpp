// TIdMessage over the message corpus in tests/data/mail and over composed messages:
// what each corpus message parses to (or the error it fails with), the exact bytes the
// writer produces, round trips through message files, Bcc handling and size limits.
#include "mail/id_message.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "mail/mime_encoding.h"
#include "mail/mime_writer.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = fs::path(KESTRUNE_TEST_DATA) / "mail";

class MessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    dir_ = fs::temp_directory_path() /
           ("kestrune_msg_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
  }

  fs::path dir_;
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) out += line + "\n";
  return out;
}

// What a reader sees of a message: its texts (a non-empty Body first, as the plain text it
// is written as when the message has parts) and its attachments.
std::vector<std::string> Summary(const TIdMessage& m) {
  std::vector<std::string> out;
  if (!m.Body.empty()) out.push_back("text|text/plain|" + m.CharSet + "|" + Joined(m.Body));
  for (std::size_t i = 0; i < m.MessageParts.Count(); ++i) {
    const TIdMessagePart& part = m.MessageParts[i];
    if (part.IsText()) {
      const auto& text = static_cast<const TIdText&>(part);
      out.push_back("text|" + text.ContentType + "|" + text.CharSet + "|" + Joined(text.Body));
    } else {
      const auto& attachment = static_cast<const TIdAttachment&>(part);
      out.push_back("attachment|" + attachment.ContentType + "|" + attachment.FileName + "|" +
                    attachment.ContentDisposition + "|" + attachment.ContentID + "|" +
                    attachment.Content);
    }
  }
  return out;
}

const TIdText& TextPart(const TIdMessage& m, std::size_t index) {
  return static_cast<const TIdText&>(m.MessageParts[index]);
}
const TIdAttachment& AttachmentPart(const TIdMessage& m, std::size_t index) {
  return static_cast<const TIdAttachment&>(m.MessageParts[index]);
}

TEST_F(MessageTest, MissingFileFailsWithTheDocumentedText) {
  TIdMessage m;
  try {
    m.LoadFromFile(dir_ / "none.eml");
    FAIL() << "no error";
  } catch (const MessageError& e) {
    EXPECT_EQ(e.what(), "Cannot load message from file " + (dir_ / "none.eml").string());
  }
}

TEST_F(MessageTest, AlternativeMessageDecodesBothTextsAndHeaderFields) {
  TIdMessage m;
  m.LoadFromFile(kCorpus / "alternative.eml");
  EXPECT_EQ(m.Subject, "Grüße aus Köln");
  EXPECT_EQ(m.From.Name, "Anna Müller");
  EXPECT_EQ(m.From.Address, "anna@example.org");
  EXPECT_EQ(m.Recipients.Text(), "Bob <bob@example.net>, carol@example.net");
  EXPECT_EQ(m.MsgId, "<alt-1@example.org>");
  EXPECT_EQ(m.ContentType, "multipart/alternative");
  EXPECT_EQ(ShortDateText(m.Date) + " " + LongTimeText(m.Date),
            DateTimeText(EncodeDateValue({2024, 3, 5, 14, 3, 9, 0})));
  EXPECT_TRUE(m.Body.empty()) << "preamble and epilogue are not kept";
  ASSERT_EQ(m.MessageParts.Count(), 2u);
  EXPECT_EQ(TextPart(m, 0).ContentType, "text/plain");
  EXPECT_EQ(TextPart(m, 0).CharSet, "utf-8");
  EXPECT_EQ(Joined(TextPart(m, 0).Body),
            "Hallo Bob,\nviele Grüße = Liebe, und eine sehr lange Zeile die weich umbrochen "
            "wird.\n\n");
  EXPECT_EQ(TextPart(m, 1).ContentType, "text/html");
  EXPECT_EQ(Joined(TextPart(m, 1).Body), "<p>Hallo Bob,<br>viele Grüße</p>\n");
}

TEST_F(MessageTest, MixedMessageYieldsSafeAttachmentNamesAndSplitRecipients) {
  TIdMessage m;
  m.LoadFromFile(kCorpus / "mixed_attachments.eml");
  EXPECT_EQ(m.From.Name, "Doe, Jane");
  ASSERT_EQ(m.Recipients.Count(), 2u);
  EXPECT_EQ(m.Recipients[1].Address, "boss@example.com");
  EXPECT_TRUE(m.CCList.Empty());
  EXPECT_EQ(m.Priority, TIdMessagePriority::mpHighest);
  EXPECT_EQ(m.Organization, "Example Corp");
  ASSERT_EQ(m.MessageParts.Count(), 4u);
  EXPECT_EQ(Joined(TextPart(m, 0).Body), "Please find the report attached.\n\n");
  EXPECT_EQ(AttachmentPart(m, 1).FileName, "report.pdf");
  EXPECT_EQ(AttachmentPart(m, 1).ContentType, "application/pdf");
  EXPECT_EQ(AttachmentPart(m, 1).Content.size(), 9u + 768u + 7u);
  EXPECT_EQ(AttachmentPart(m, 1).Content.substr(0, 9), "%PDF-1.4\n");
  EXPECT_EQ(AttachmentPart(m, 2).FileName, "Grüße Bild.png");
  EXPECT_EQ(AttachmentPart(m, 2).Content.substr(0, 4), "\x89PNG");
  EXPECT_EQ(AttachmentPart(m, 3).FileName, "evil.txt") << "no directory from a remote name";
  EXPECT_EQ(AttachmentPart(m, 3).Content, "not a path");
}

TEST_F(MessageTest, NestedMultipartsFlattenInPartOrder) {
  TIdMessage m;
  m.LoadFromFile(kCorpus / "nested.eml");
  ASSERT_EQ(m.MessageParts.Count(), 4u);
  EXPECT_EQ(Joined(TextPart(m, 0).Body), "plain text\n");
  EXPECT_EQ(TextPart(m, 1).ContentType, "text/html");
  EXPECT_EQ(TextPart(m, 1).TextAsUtf8(), "<img src=\"cid:logo@x\"> café");
  EXPECT_EQ(AttachmentPart(m, 2).FileName, "logo.png");
  EXPECT_EQ(AttachmentPart(m, 2).ContentDisposition, "inline");
  EXPECT_EQ(AttachmentPart(m, 2).ContentID, "<logo@x>");
  EXPECT_EQ(AttachmentPart(m, 3).FileName, "message.eml");
  EXPECT_EQ(AttachmentPart(m, 3).Content,
            "From: inner@example.com\r\nSubject: forwarded\r\n\r\ninner body");
}

TEST_F(MessageTest, EncodedWordsInSeveralCharsetsDecodeToUtf8) {
  TIdMessage m;
  m.LoadFromFile(kCorpus / "charsets.eml");
  EXPECT_EQ(m.From.Text(), "Иван Петров <ivan@example.ru>");
  EXPECT_EQ(m.Recipients.Text(), "René Fañé <rene@example.fr>, “Smart” Quotes <q@example.com>");
  EXPECT_EQ(m.CCList.Text(), "山田太郎 <yamada@example.jp>");
  EXPECT_EQ(m.BccList.Text(), "鈴木 <suzuki@example.jp>");
  EXPECT_EQ(m.Subject, "Привет мир and 日本語");
  EXPECT_EQ(m.Organization, "株式会社");
  EXPECT_EQ(m.CharSet, "KOI8-R");
  ASSERT_EQ(m.Body.size(), 1u);
  EXPECT_EQ(m.Body[0], "\xf0\xd2\xc9\xd7\xc5\xd4, \xcd\xc9\xd2!") << "body keeps its charset";
}

TEST_F(MessageTest, UuencodedBlockBecomesAnAttachment) {
  TIdMessage m;
  m.LoadFromFile(kCorpus / "uuencode.eml");
  EXPECT_EQ(Joined(m.Body),
            "Text before the block.\nText after the block.\nbegin this is just a sentence\n");
  ASSERT_EQ(m.MessageParts.Count(), 1u);
  EXPECT_EQ(AttachmentPart(m, 0).FileName, "hello.txt");
  EXPECT_EQ(AttachmentPart(m, 0).Content, "Hello, uuencoded world!\nSecond line.\n");
  EXPECT_EQ(DecodeDateValue(m.Date).year, 1996);
}

TEST_F(MessageTest, DotLinesSurviveReadingAndWriting) {
  TIdMessage m;
  m.LoadFromFile(kCorpus / "single_dot.eml");
  EXPECT_EQ(Joined(m.Body), "first\n.\n.hidden\n..two\nlast\n");
  m.SaveToFile(dir_ / "dots.eml");
  std::string file = ReadFile(dir_ / "dots.eml");
  EXPECT_NE(file.find("\r\n\r\nfirst\r\n..\r\n..hidden\r\n...two\r\nlast\r\n.\r\n"),
            std::string::npos)
      << file;
  TIdMessage again;
  again.LoadFromFile(dir_ / "dots.eml");
  EXPECT_EQ(again.Body, m.Body);
}

TEST_F(MessageTest, MissingDateIsZeroAndWrittenAsTheTimeOfWriting) {
  TIdMessage m;
  m.LoadFromFile(kCorpus / "no_date.eml");
  EXPECT_EQ(m.Date, 0);
  DateValue before = NowAsDateValue();
  m.SaveToFile(dir_ / "dated.eml");
  TIdMessage again;
  again.LoadFromFile(dir_ / "dated.eml");
  EXPECT_GE(again.Date, before - 2.0 / 86400);
  EXPECT_LE(again.Date, NowAsDateValue() + 2.0 / 86400);
}

TEST_F(MessageTest, BoundaryThatNeverAppearsLeavesTheBodyReadable) {
  TIdMessage m;
  m.LoadFromFile(kCorpus / "malformed_boundary.eml");
  EXPECT_TRUE(m.MessageParts.Empty());
  EXPECT_EQ(Joined(m.Body), "--other\nContent-Type: text/plain\n\ntext\n--other--\n");
}

TEST_F(MessageTest, NestedMultipartWithoutBoundaryReadsAsTheTextItHolds) {
  // Other readers show such a part as text; refusing the whole message would hide it.
  TIdMessage m;
  m.LoadFromFile(kCorpus / "nested_no_boundary.eml");
  ASSERT_EQ(m.MessageParts.Count(), 1u);
  EXPECT_EQ(Joined(TextPart(m, 0).Body), "lost\n");
  m.NoDecode = true;  // the raw message can still be stored
  m.LoadFromFile(kCorpus / "nested_no_boundary.eml");
  EXPECT_EQ(m.Body.size(), 5u);
}

TEST_F(MessageTest, TruncatedMessageKeepsWhatArrived) {
  TIdMessage m;
  m.LoadFromFile(kCorpus / "truncated.eml");
  ASSERT_EQ(m.MessageParts.Count(), 2u);
  EXPECT_EQ(Joined(TextPart(m, 0).Body), "intro\n");
  EXPECT_EQ(AttachmentPart(m, 1).FileName, "data.bin");
  EXPECT_EQ(AttachmentPart(m, 1).Content, std::string("\0\1\2\3\4\5\6\7\x08\x09", 10));
}

TEST_F(MessageTest, SinglePartBodiesAreDecoded) {
  TIdMessage pdf;
  pdf.LoadFromFile(kCorpus / "single_part_base64.eml");
  ASSERT_EQ(pdf.MessageParts.Count(), 1u);
  EXPECT_EQ(AttachmentPart(pdf, 0).FileName, "scan.pdf");
  EXPECT_EQ(AttachmentPart(pdf, 0).Content.substr(0, 8), "%PDF-1.4");

  TIdMessage qp;
  qp.LoadFromFile(kCorpus / "quoted_printable_body.eml");
  EXPECT_EQ(qp.From.Text(), "Jörg <joerg@example.de>");
  EXPECT_EQ(qp.Subject, "Übung");
  EXPECT_EQ(Joined(qp.Body),
            "\xdc"
            "bung macht den Meister = wahr.\nZweite Zeile mit weichem Umbruch, der hier "
            "endet.\n");
  // Written back, the decoded body goes into quoted-printable again.
  std::string text = qp.Text();
  EXPECT_NE(text.find("Content-Type: text/plain; format=\"flowed\"; charset=\"iso-8859-1\"\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\r\n\r\n=DCbung macht den Meister =3D wahr.\r\n"), std::string::npos);
}

// Every corpus message that loads: saved and loaded again, it yields the same parts;
// stored raw (as the fetch engine stores it) and then decoded, it yields what decoding
// the received message yields.
TEST_F(MessageTest, CorpusRoundTrips) {
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(kCorpus)) {
    if (entry.path().extension() != ".eml") continue;
    SCOPED_TRACE(entry.path().filename().string());
    std::string original = ReadFile(entry.path());
    TIdMessage received;
    try {
      received.LoadFromText(original);
    } catch (const MessageError&) {
      continue;  // asserted in its own test
    }
    fs::path saved = dir_ / "saved.eml";
    received.SaveToFile(saved);
    TIdMessage reloaded;
    reloaded.LoadFromFile(saved);
    EXPECT_EQ(Summary(reloaded), Summary(received));
    EXPECT_EQ(reloaded.Subject, received.Subject);
    EXPECT_EQ(reloaded.From.Text(), received.From.Text());
    EXPECT_EQ(reloaded.Recipients.Text(), received.Recipients.Text());
    EXPECT_EQ(reloaded.CCList.Text(), received.CCList.Text());
    EXPECT_EQ(reloaded.BccList.Text(), received.BccList.Text());
    EXPECT_EQ(reloaded.Organization, received.Organization);

    TIdMessage raw;
    raw.NoDecode = true;
    raw.LoadFromText(original);
    fs::path stored = dir_ / "stored.eml";
    raw.SaveToFile(stored);
    TIdMessage decoded;
    decoded.LoadFromFile(stored);
    EXPECT_EQ(Summary(decoded), Summary(received));
    EXPECT_EQ(decoded.Subject, received.Subject);
    EXPECT_EQ(decoded.Recipients.Text(), received.Recipients.Text());
    EXPECT_EQ(decoded.BccList.Text(), received.BccList.Text());
    if (received.Date != 0) {
      EXPECT_NEAR(decoded.Date, received.Date, 0.5 / 86400);
    }
    ++checked;
  }
  EXPECT_EQ(checked, 12);
}

// The message the compose page stores when files are attached, byte for byte.
TEST_F(MessageTest, ComposedMessageWithAttachmentIsWrittenInTheMixedLayout) {
  TIdMessage m;
  m.From = {"Jane Roe", "jane@example.com"};
  m.Recipients.Add().Address = "a@x.com, b@y.com";
  m.BccList.SetText("hidden@z.com");
  m.Subject = "Hello";
  m.ContentType = "multipart/related";
  m.Date = EncodeDateValue({2024, 3, 5, 14, 3, 9, 0});
  m.MessageParts.AddText("text/plain").Body = {""};
  m.MessageParts.AddText("text/html").Body = {"<p>Hi</p>"};
  m.MessageParts.AddAttachment("uploads/a.txt", "hello").ContentDisposition = "inline";
  const std::string mixed(TMimeWriter::kMixedBoundary);
  const std::string alt(TMimeWriter::kAlternativeBoundary);
  const std::string expected =
      "From: Jane Roe <jane@example.com>\r\n"
      "Subject: Hello\r\n"
      "To: a@x.com, b@y.com\r\n"
      "Content-Type: multipart/mixed; boundary=\"" +
      mixed +
      "\"\r\n"
      "MIME-Version: 1.0\r\n"
      "Date: Tue, 5 Mar 2024 14:03:09 +0100\r\n"
      "Bcc: hidden@z.com\r\n"
      "\r\n"
      "This is a multi-part message in MIME format\r\n"
      "\r\n"
      "--" +
      mixed +
      "\r\n"
      "Content-Type: multipart/alternative; \r\n"
      "        boundary=\"" +
      alt +
      "\"\r\n"
      "\r\n"
      "--" +
      alt +
      "\r\n"
      "Content-Type: text/plain\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n"
      "\r\n"
      "\r\n"
      "--" +
      alt +
      "\r\n"
      "Content-Type: text/html\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n"
      "\r\n"
      "<p>Hi</p>\r\n"
      "--" +
      alt +
      "--\r\n"
      "--" +
      mixed +
      "\r\n"
      "Content-Type: application/octet-stream;\r\n"
      "        name=\"a.txt\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "Content-Disposition: inline;\r\n"
      "        filename=\"a.txt\"\r\n"
      "\r\n"
      "aGVsbG8=\r\n"
      "\r\n"
      "--" +
      mixed + "--\r\n";
  EXPECT_EQ(m.Text(THeaderTarget::kStore), expected);
  m.SaveToFile(dir_ / "out.eml");
  EXPECT_EQ(ReadFile(dir_ / "out.eml"), expected + ".\r\n");

  TIdMessage loaded;
  loaded.LoadFromFile(dir_ / "out.eml");
  ASSERT_EQ(loaded.Recipients.Count(), 2u) << "the To text with a comma gives two recipients";
  EXPECT_EQ(loaded.Recipients[1].Address, "b@y.com");
  EXPECT_EQ(loaded.BccList.Text(), "hidden@z.com");
  EXPECT_EQ(Summary(loaded), Summary(m));
}

TEST_F(MessageTest, ComposedHtmlMessageWithoutPartsKeepsItsBody) {
  TIdMessage m;
  m.From = {"", "jane@example.com"};
  m.Recipients.Add().Address = "bob@example.net";
  m.Subject = "Schöne Grüße, und noch ein recht langer Betreff, damit die Zeile umbrochen wird";
  m.ContentType = "text/html";
  m.Date = EncodeDateValue({2024, 7, 1, 8, 0, 0, 0});
  m.Body = {"<p>Grüße</p>", ".", "line\r\n.\r\nsmuggled"};
  std::string text = m.Text();
  EXPECT_EQ(text,
            "From: jane@example.com\r\n"
            "Subject: =?UTF-8?B?U2Now7ZuZSBHcsO8w59lLA==?= und noch ein recht langer\r\n"
            " Betreff, damit die Zeile umbrochen wird\r\n"
            "To: bob@example.net\r\n"
            "Content-Type: text/html; charset=\"utf-8\"\r\n"
            "Date: Mon, 1 Jul 2024 08:00:00 +0200\r\n"
            "\r\n"
            "<p>Grüße</p>\r\n"
            ".\r\n"
            "line\r\n"
            ".\r\n"
            "smuggled\r\n");
  // In the file every line starting with "." is stuffed, also those the CR LF split made.
  m.SaveToFile(dir_ / "html.eml");
  std::string file = ReadFile(dir_ / "html.eml");
  EXPECT_NE(file.find("\r\n..\r\nline\r\n..\r\nsmuggled\r\n.\r\n"), std::string::npos);
  TIdMessage loaded;
  loaded.LoadFromFile(dir_ / "html.eml");
  EXPECT_EQ(loaded.Subject, m.Subject);
  EXPECT_EQ(Joined(loaded.Body), "<p>Grüße</p>\n.\nline\n.\nsmuggled\n");
}

TEST_F(MessageTest, HeaderValuesCannotInjectFields) {
  TIdMessage m;
  m.From = {"Eve\r\nBcc: victim@example.com", "eve@example.com"};
  m.Recipients.Add().Address = "bob@example.net\r\nX-Injected: 1";
  m.Subject = "Hi\nBcc: victim@example.com";
  std::string text = m.Text();
  EXPECT_EQ(text.find("\r\nBcc:"), std::string::npos) << text;
  EXPECT_EQ(text.find("\r\nX-Injected:"), std::string::npos) << text;
  EXPECT_NE(text.find("To: bob@example.net  X-Injected: 1\r\n"), std::string::npos) << text;

  // A remote encoded word decoding to CR LF cannot add a field either.
  TIdMessage remote;
  remote.LoadFromText("Subject: =?utf-8?Q?a=0D=0ABcc:_x@y?=\r\n\r\nbody\r\n.\r\n");
  EXPECT_EQ(remote.Subject, "a  Bcc: x@y");
}

TEST_F(MessageTest, BccIsStoredButNeverTransmitted) {
  TIdMessage m;
  m.From = {"", "jane@example.com"};
  m.BccList.SetText("one@example.com; two@example.com;");
  m.Subject = "only bcc";
  m.ContentType = "text/html";
  m.Body = {"x"};
  m.SaveToFile(dir_ / "bcc.eml");
  EXPECT_NE(ReadFile(dir_ / "bcc.eml").find("\r\nBcc: one@example.com, two@example.com\r\n"),
            std::string::npos);
  EXPECT_EQ(m.Text(THeaderTarget::kTransmit).find("Bcc"), std::string::npos);

  // Re-encoded send (console) and as-stored send (session) both leave Bcc out.
  for (bool as_stored : {false, true}) {
    TIdMessage sent;
    sent.NoDecode = as_stored;
    sent.NoEncode = as_stored;
    sent.LoadFromFile(dir_ / "bcc.eml");
    ASSERT_EQ(sent.BccList.Count(), 2u);
    EXPECT_EQ(sent.BccList[1].Address, "two@example.com");
    std::string data = sent.Text(THeaderTarget::kTransmit);
    EXPECT_EQ(data.find("Bcc"), std::string::npos) << data;
    EXPECT_NE(data.find("Subject: only bcc\r\n"), std::string::npos);
  }
}

TEST_F(MessageTest, AsStoredSendWritesHeadersAndBodyAsHeld) {
  TIdMessage m;
  m.NoDecode = true;
  m.NoEncode = true;
  m.LoadFromFile(kCorpus / "alternative.eml");
  std::string data = m.Text();
  EXPECT_EQ(data.rfind("Return-Path: <anna@example.org>\r\nReceived: from mx", 0), 0u);
  EXPECT_NE(data.find("Content-Type: multipart/alternative;\r\n boundary=\"----=_Part_1\"\r\n\r\n"
                      "This is a multi-part message in MIME format.\r\n"),
            std::string::npos);
}

TEST_F(MessageTest, SizeLimitAppliesToReadingAndWriting) {
  TIdMessage m;
  m.SetMaxMessageSize(1000);
  std::string big = "Subject: big\r\n\r\n" + std::string(2000, 'a') + "\r\n.\r\n";
  try {
    m.LoadFromText(big);
    FAIL() << "no error";
  } catch (const MessageError& e) {
    EXPECT_STREQ(e.what(), "Message exceeds the maximum size of 1000 bytes.");
  }
  // The reader drains to the terminator, so the line after it is left for the caller.
  std::vector<std::string> lines = {"Subject: big", "", std::string(2000, 'a'), ".", "NEXT"};
  std::size_t next = 0;
  EXPECT_THROW(m.ReadFromLines([&]() -> std::optional<std::string> {
    if (next >= lines.size()) return std::nullopt;
    return lines[next++];
  }),
               MessageError);
  EXPECT_EQ(next, 4u);

  m.Clear();
  m.Body = {std::string(2000, 'b')};
  EXPECT_THROW(m.Text(), MessageError);
  EXPECT_THROW(m.SaveToFile(dir_ / "big.eml"), MessageError);
  EXPECT_THROW(m.MessageParts.AddAttachmentFromFile(kCorpus / "mixed_attachments.eml", "", 100),
               MessageError);
}

// Inputs the fuzzer found: what is read and written again must read back the same way.
TEST_F(MessageTest, WrittenMessagesStayReadable) {
  // A mangled top-level Content-Type reads as absent, not as a type without boundary.
  TIdMessage mangled;
  mangled.LoadFromText(
      "Content-Type: \x01\x01multipart/mixed; boundary=b\r\n\r\n"
      "--b\r\n\r\ntext\r\n--b--\r\n.\r\n");
  EXPECT_EQ(mangled.ContentType, "");
  TIdMessage again;
  again.LoadFromText(mangled.FileText());
  EXPECT_EQ(again.Body, mangled.Body);
  // NUL in a field value reads as the blank it is written as.
  TIdMessage nul_value;
  nul_value.LoadFromText(
      std::string("Content-Type: \0\0multipart/mixed; boundary=b\r\n\r\n"
                  "--b\r\n\r\ntext\r\n--b--\r\n.\r\n",
                  60));
  EXPECT_EQ(nul_value.ContentType, "multipart/mixed");
  again.LoadFromText(nul_value.FileText());
  ASSERT_EQ(again.MessageParts.Count(), 1u);
  EXPECT_EQ(static_cast<const TIdText&>(again.MessageParts[0]).Body,
            (std::vector<std::string>{"text"}));

  // Control characters in a line that starts no field keep it from starting one (or
  // continuing the field before it) when written.
  for (std::string_view header :
       {std::string_view("Content-Type\0\0: multipart/mixed; boundary=\"b1\"\r\n", 48),
        std::string_view("Content-Type: multipart/mixed\r\n\0boundary=\"b1\"\r\n", 47)}) {
    TIdMessage nameless;
    nameless.LoadFromText("From: a@example.com\r\n" + std::string(header) +
                          "\r\n--b1\r\nContent-Type: multipart/alternative\r\n\r\nx\r\n"
                          "--b1--\r\n.\r\n");
    EXPECT_TRUE(nameless.MessageParts.Empty());
    std::string file = nameless.FileText();
    TIdMessage reread;
    EXPECT_NO_THROW(reread.LoadFromText(file)) << file;
    EXPECT_EQ(reread.Body, nameless.Body);
  }

  // A NUL after a boundary is padding, as the blank it is written as; of two boundary
  // parameters the first counts, before a save and after.
  TIdMessage padded;
  padded.LoadFromText(
      std::string("Content-Type: multipart/mixed; boundary=b\r\n\r\n"
                  "--b\0\0\r\n\r\ninside\r\n--b--\0\r\n.\r\n",
                  73));
  ASSERT_EQ(padded.MessageParts.Count(), 1u);
  EXPECT_EQ(static_cast<const TIdText&>(padded.MessageParts[0]).Body,
            (std::vector<std::string>{"inside"}));
  TIdMessage repeated;
  repeated.LoadFromText(
      "Content-Type: multipart/mixed; boundary=\"\x1f\"; boundary=\"b1\"\r\n\r\n"
      "--b1\r\nContent-Type: multipart/alternative\r\n\r\nx\r\n--b1--\r\n.\r\n");
  EXPECT_TRUE(repeated.MessageParts.Empty());
  again.LoadFromText(repeated.FileText());
  EXPECT_TRUE(again.MessageParts.Empty()) << repeated.FileText();
  EXPECT_EQ(again.ContentType, repeated.ContentType);
  EXPECT_EQ(again.Body, repeated.Body) << repeated.FileText();

  // A bare CR is not a line break to the reader, so the writer must not make it one.
  TIdMessage bare_cr;
  bare_cr.LoadFromText(
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\rX\r\ntext\r\n.\r\n");
  EXPECT_EQ(bare_cr.Body, (std::vector<std::string>{"--b\rX", "text"}));
  std::string file = bare_cr.FileText();
  EXPECT_NE(file.find("\r\n\r\n--b X\r\ntext\r\n.\r\n"), std::string::npos) << file;
  again.LoadFromText(file);
  EXPECT_TRUE(again.MessageParts.Empty());
  EXPECT_EQ(again.Body, (std::vector<std::string>{"--b X", "text"}));

  // A part given a multipart type is still written as a leaf.
  TIdMessage leaf;
  leaf.MessageParts.AddAttachment("x.bin", "x").ContentType = "multipart/mixed";
  again.LoadFromText(leaf.FileText());
  ASSERT_EQ(again.MessageParts.Count(), 1u);
  EXPECT_EQ(again.MessageParts[0].ContentType, "application/octet-stream");

  // Dates far in the future keep their instant.
  TIdMessage future;
  future.LoadFromText("Date: Thu, 2 Aug 9492 12:00:00 +0000\r\n\r\n.\r\n");
  EXPECT_EQ(future.GenerateHeader().Value("Date"), "Tue, 2 Aug 9492 14:00:00 +0200");
}

TEST_F(MessageTest, WordsTooLongForAHeaderLineAreWrittenAsEncodedWords) {
  const std::string long_word(2000, 'x');
  TIdMessage m;
  m.Subject = "see " + long_word + " now";
  m.From = {"Name" + long_word, "me@example.com"};
  m.Recipients.Add().Address = "you@example.com";
  std::string text = m.Text(THeaderTarget::kTransmit);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_LE(end - start, 998u) << text.substr(start, 80);
    start = end + 2;
  }
  TIdMessage loaded;
  loaded.LoadFromText(text);
  EXPECT_EQ(loaded.Subject, m.Subject);
  EXPECT_EQ(loaded.From.Name, m.From.Name);
  EXPECT_EQ(loaded.From.Address, "me@example.com");
  EXPECT_EQ(EncodeHeaderWords(std::string(900, 'y')), std::string(900, 'y'))
      << "a word that fits a line stays as it is";
}

TEST_F(MessageTest, QuotedPrintableAttachmentKeepsItsExactBytesThroughAFile) {
  TIdMessage m;
  m.LoadFromText(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
      "--b\r\nContent-Type: application/octet-stream; name=x.bin\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
      "a=0Ab=0D=0Ac=0D\r\n"
      "--b--\r\n.\r\n");
  ASSERT_EQ(m.MessageParts.Count(), 1u);
  const std::string bytes = "a\nb\r\nc\r";
  ASSERT_EQ(AttachmentPart(m, 0).Content, bytes);
  TIdMessage loaded;
  loaded.LoadFromText(m.FileText());
  ASSERT_EQ(loaded.MessageParts.Count(), 1u);
  EXPECT_EQ(AttachmentPart(loaded, 0).Content, bytes);
}

TEST_F(MessageTest, NulInBodyLinesNeverReachesTheWire) {
  // NUL may not appear in mail data in any transfer encoding but base64.
  const std::string nul_line("a\0b", 3);
  TIdMessage plain;
  plain.Body = {nul_line};
  EXPECT_EQ(plain.Text(THeaderTarget::kTransmit).find('\0'), std::string::npos);
  EXPECT_NE(plain.Text(THeaderTarget::kTransmit).find("\r\n\r\na b\r\n"), std::string::npos);

  TIdMessage mixed;
  mixed.Body = {nul_line};
  mixed.MessageParts.AddAttachment("x.bin", "x");
  EXPECT_EQ(mixed.Text(THeaderTarget::kTransmit).find('\0'), std::string::npos);

  TIdMessage raw;
  raw.NoDecode = true;
  raw.NoEncode = true;
  raw.LoadFromText("Subject: s\r\n\r\n" + nul_line + "\r\n.\r\n");
  EXPECT_EQ(raw.Text(THeaderTarget::kTransmit), "Subject: s\r\n\r\na b\r\n");
}

TEST_F(MessageTest, AttachmentsFromFilesRoundTripToFiles) {
  std::string bytes;
  for (int i = 0; i < 5000; ++i) bytes += static_cast<char>(i * 7);
  { std::ofstream(dir_ / "upload.bin", std::ios::binary) << bytes; }
  TIdMessage m;
  m.MessageParts.AddText("text/html").Body = {"<b>x</b>"};
  TIdAttachment& part = m.MessageParts.AddAttachmentFromFile(dir_ / "upload.bin", "", 1 << 20);
  EXPECT_EQ(part.FileName, "upload.bin");
  m.SaveToFile(dir_ / "m.eml");
  TIdMessage loaded;
  loaded.LoadFromFile(dir_ / "m.eml");
  ASSERT_EQ(loaded.MessageParts.Count(), 2u);
  ASSERT_TRUE(AttachmentPart(loaded, 1).SaveToFile(dir_ / "out.bin"));
  EXPECT_EQ(ReadFile(dir_ / "out.bin"), bytes);
  EXPECT_FALSE(AttachmentPart(loaded, 1).SaveToFile(dir_ / "missing" / "out.bin"));

  EXPECT_EQ(SafeAttachmentFileName("C:\\x\\..\\a.txt"), "a.txt");
  EXPECT_EQ(SafeAttachmentFileName("../"), "attachment");
  EXPECT_EQ(SafeAttachmentFileName(".."), "attachment");
  EXPECT_EQ(SafeAttachmentFileName(" a\tb\n.txt "), "ab.txt");
}

TEST_F(MessageTest, AttachmentNamesFitTheFileSystemAndAreUtf8) {
  // A name longer than a file name may be is cut to 255 bytes, keeping its extension
  // and whole characters.
  EXPECT_EQ(SafeAttachmentFileName(std::string(300, 'a') + ".pdf"), std::string(251, 'a') + ".pdf");
  std::string accented;
  for (int i = 0; i < 200; ++i) accented += "é";
  EXPECT_EQ(SafeAttachmentFileName(accented + ".txt"), accented.substr(0, 250) + ".txt");
  EXPECT_EQ(SafeAttachmentFileName("a." + std::string(300, 'b')), "a." + std::string(253, 'b'))
      << "no extension worth keeping";
  std::string long_name = std::string(400, 'n') + ".zip";
  TIdMessage m;
  m.MessageParts.AddAttachment(long_name, "data");
  TIdMessage loaded;
  loaded.LoadFromText(m.FileText());
  ASSERT_EQ(loaded.MessageParts.Count(), 1u);
  EXPECT_EQ(AttachmentPart(loaded, 0).FileName, std::string(251, 'n') + ".zip");

  // A uuencoded block's name in 8-bit bytes is read like any header text.
  loaded.LoadFromText("Subject: u\r\n\r\nbegin 644 caf\xe9.txt\r\n#0V%T\r\n`\r\nend\r\n.\r\n");
  ASSERT_EQ(loaded.MessageParts.Count(), 1u);
  EXPECT_EQ(AttachmentPart(loaded, 0).FileName, "café.txt");
  EXPECT_EQ(AttachmentPart(loaded, 0).Content, "Cat");
}

TEST_F(MessageTest, ClearKeepsTheDecodingSwitches) {
  TIdMessage m;
  m.NoDecode = true;
  m.NoEncode = true;
  m.LoadFromFile(kCorpus / "nested.eml");
  m.Priority = TIdMessagePriority::mpLow;
  m.Clear();
  EXPECT_TRUE(m.NoDecode);
  EXPECT_TRUE(m.NoEncode);
  EXPECT_TRUE(m.Headers.Empty());
  EXPECT_TRUE(m.Body.empty());
  EXPECT_EQ(m.Priority, TIdMessagePriority::mpNormal);
  EXPECT_EQ(m.Date, 0);
}

}  // namespace
}  // namespace kestrune
