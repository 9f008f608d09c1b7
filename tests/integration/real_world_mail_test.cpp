// Mail of other mailers' habits (tests/data/realworld) on the whole road: delivered into
// Dovecot, fetched by `kestrune mail receive`, filed in the index, and read back as the
// view page reads it (the body it shows and the attachments it offers, byte for byte).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "mail/message_display.h"
#include "mail_fixture.h"
#include "platform/base64.h"

namespace kestrune::testing {
namespace {

const fs::path kRealWorld = fs::path(KESTRUNE_TEST_DATA) / "realworld";

int RunKestrune(const TestHome& home, std::vector<std::string> args) {
  std::vector<std::string> all = {std::string(KESTRUNE_BINARY_DIR) + "/kestrune", "--home",
                                  home.Root().string()};
  all.insert(all.end(), args.begin(), args.end());
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::freopen("/dev/null", "w", stdout);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string WriteSecret(const TestHome& home, const std::string& name, const std::string& text) {
  const fs::path file = home.Root() / name;
  std::ofstream(file) << text << "\n";
  return file.string();
}

using Files = std::vector<std::pair<std::string, std::string>>;

struct Expected {
  std::string subject;
  std::string sender;              // the record's Sender: From as the view shows it
  std::vector<std::string> shown;  // pieces of the view's body, in order
  Files attachments;               // name and bytes, in order
};

std::string Table() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes + "end of the binary file\n";
}

const std::string kGif =
    Base64Decode("R0lGODlhAQABAIAAAP///wAAACH5BAEAAAAALAAAAAABAAEAAAICRAEAOw==");
const std::string kSender = "Sender <sender@mailer.test>";

const std::map<std::string, Expected>& Expectations() {
  static const std::map<std::string, Expected> expected = {
      {"address_comments.eml", {"Comments everywhere", "Pete <pete@silly.test>", {"Testing."}, {}}},
      {"apple_mail_inline_named_text.eml",
       {"Inline text file",
        kSender,
        {"Notes below.", "First note.", "Second note."},
        {{"notes.txt", "First note.\r\nSecond note.\r\n"}}}},
      {"boundary_with_trailing_blanks.eml",
       {"Blanks after boundaries",
        kSender,
        {"Blanks follow every delimiter."},
        {{"extra.txt", "extra file"}}}},
      {"bounce_keeps_enclosed_message.eml",
       {"Undelivered Mail Returned to Sender",
        "Mail Delivery System <MAILER-DAEMON@mx.mailer.test>",
        {"I could not deliver your message."},
        {{"message.eml",
          "From: box@kestrune.test\r\nTo: gone@nowhere.test\r\nSubject: hello\r\n\r\n"
          "lost words\r\n"}}}},
      {"content_type_without_subtype.eml",
       {"Type without subtype", kSender, {"Plain words, naïve."}, {}}},
      {"duplicated_header_fields.eml",
       {"The first subject",
        "First <first@mailer.test>",
        {"Duplicated fields: the first ones count. £5"},
        {}}},
      {"eight_bit_headers.eml",
       {"Grüße aus Köln", "Jörg Müller <joerg@mailer.test>", {"Grüße."}, {{"résumé.txt", "cv"}}}},
      {"eudora_x_uuencode_part.eml",
       {"Eudora uuencoded part", kSender, {"The picture is attached."}, {{"pixel.gif", kGif}}}},
      {"forwarded_message_is_the_body.eml",
       {"Fwd: Cafe meeting",
        kSender,
        {"From: Original Author &lt;author@origin.test&gt;", "To: list@origin.test",
         "Subject: Café meeting", "Meet at the café at ten."},
        {{"agenda.csv", "item,minutes\r\nbudget,10"}}}},
      {"gb2312_label_on_gbk_text.eml", {"中文", kSender, {"你好，這個字是GBK：昄。"}, {}}},
      {"iso2022jp_invalid_character.eml",
       {"日本語", kSender, {"日本\xEF\xBF\xBD語のテキスト ok"}, {}}},
      {"latin1_label_on_windows1252_text.eml",
       {"“Smart” quotes", kSender, {"“Smart quotes” cost €20 – really."}, {}}},
      {"missing_closing_boundary.eml",
       {"Cut off before the end",
        kSender,
        {"Text of a message whose last boundary never came."},
        {{"tail.bin", std::string("tail bytes\0\1", 12)}}}},
      {"nested_part_reuses_boundary.eml",
       {"Same boundary twice",
        kSender,
        {"Readable despite the boundary."},
        {{"doc.pdf", "%PDF-1.4\n%minimal\n"}}}},
      {"no_blank_line_after_header.eml",
       {"No separator", kSender, {"This line starts the body.", "And this one continues it."}, {}}},
      {"oe_uuencode_in_plain_body.eml",
       {"OE plain text with uuencode",
        kSender,
        {"Here is the report.", "Regards, Sender"},
        {{"report.txt", "Quarterly report\r\nAll is well.\r\n"}}}},
      {"outlook2000_alternative_related.eml",
       {"Outlook 2000 stationery",
        kSender,
        {"Greetings from Outlook 2000 été."},
        {{"spacer.gif", kGif}}}},
      {"qp_bad_escapes.eml",
       {"Quoted-printable mistakes",
        kSender,
        {"Discount = 50% =ZZ off, café and naïve.", "A soft break."},
        {}}},
      {"sloppy_base64.eml",
       {"Base64 without padding",
        kSender,
        {"sloppy base64 text"},
        {{"odd.bin", std::string("\0\1\2\3\4", 5)}}}},
      {"x_uue_part_named_by_begin.eml",
       {"Part in x-uue", kSender, {"Binary follows."}, {{"table.bin", Table()}}}},
      {"xxencode_in_text_part.eml",
       {"xxencoded block",
        kSender,
        {"An xxencoded file:", "That was it."},
        {{"notes.dat", "xx data: 0123456789 and more bytes\n"}}}},
  };
  return expected;
}

TEST(RealWorldMail, EveryMessageOfOtherMailersIsFetchedShownAndDownloaded) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(kRealWorld)) {
    if (entry.path().extension() == ".eml") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), Expectations().size());

  TestHome home;
  PopMailbox box;
  for (const fs::path& file : files) box.Deliver(FileText(file));
  ASSERT_EQ(RunKestrune(
                home, {"users", "add", "Ann", "--password-file", WriteSecret(home, "pw", "secret"),
                       "--auto-check", "--pop-server", "127.0.0.1", "--pop-port",
                       std::to_string(Peers::Get().Port("POP3_PORT")), "--pop-user", box.User(),
                       "--pop-password-file", WriteSecret(home, "pop", box.Password())}),
            0);
  ASSERT_EQ(RunKestrune(home, {"settings", "set", "PopTls", "0"}), 0);
  ASSERT_EQ(RunKestrune(home, {"mail", "receive"}), 0);
  EXPECT_EQ(box.MessageCount(), 0u);

  const std::vector<TEmailRecord> records = home.Records("Ann");
  ASSERT_EQ(records.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string name = files[i].filename().string();
    SCOPED_TRACE(name);
    const Expected& expected = Expectations().at(name);
    const TEmailRecord& record = records[i];
    EXPECT_EQ(record.Subject, expected.subject);
    EXPECT_EQ(record.Sender, expected.sender);
    EXPECT_EQ(record.HasAttachment, !expected.attachments.empty());

    // As the view page opens it: the stored file loaded with decoding.
    TIdMessage message;
    ASSERT_NO_THROW(message.LoadFromFile(home.StoreOf("Ann") / record.FileName));
    const std::string body = BuildDisplayedBody(message, {}).html;
    std::size_t at = 0;
    for (const std::string& piece : expected.shown) {
      const std::size_t found = body.find(piece, at);
      EXPECT_NE(found, std::string::npos) << "\"" << piece << "\" not shown in: " << body;
      if (found != std::string::npos) at = found;
    }
    Files offered;
    for (const AttachmentEntry& entry : ListAttachments(message)) {
      offered.emplace_back(
          entry.file_name,
          static_cast<const TIdAttachment&>(message.MessageParts[entry.part_index]).Content);
    }
    EXPECT_EQ(offered, expected.attachments);
  }
}

}  // namespace
}  // namespace kestrune::testing
