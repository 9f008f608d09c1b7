// The message view page over HTTP, on a mail store built by each test: what it shows of a
// message (as data), attachment and message downloads, delete and save on the record it
// showed, the print copy in the session's cache and remote content on request.
#include "web/pages/view_page.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/ascii.h"
#include "store/email_db.h"
#include "web/app/language_pack.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/template_processor.h"
#include "web_app_fixture.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;

// A stand-in for a folder page: opens the message its two fields name.
class OpeningPage : public TIWAppForm {
 public:
  OpeningPage(TIWApplication& session, std::string name, std::string class_name)
      : TIWAppForm(session, std::move(name), std::move(class_name)),
        index_(AddControl<TIWEdit>("IWIndex")),
        file_(AddControl<TIWEdit>("IWFile")) {
    TemplateProcessor.Enabled = false;  // the real folder's template lacks these fields
    auto& open = AddControl<TIWLink>("IWOpen");
    open.Caption = "open";
    open.OnClick = [this](TIWBaseControl&) {
      ShowMessageInViewPage(*this, ShownMessage{std::atoi(index_.Text.c_str()), file_.Text});
    };
  }

 private:
  TIWEdit& index_;
  TIWEdit& file_;
};

constexpr const char* kPlainMessage =
    "From: \"Eve <script>\" <eve@x.test>\r\n"
    "To: Bob <bob@x.test>, carol@x.test\r\n"
    "Subject: <b>Hi</b> & \"quoted\"\r\n"
    "\r\n"
    "a<b\r\n"
    "..dot line\r\n"
    "last\r\n"
    ".\r\n";

class ViewPageTest : public WebAppTest {
 protected:
  ViewPageTest() {
    // Ahead of the program's own Inbox, so the Inbox link leads here.
    pages_.Others.insert(pages_.Others.begin(), PageClassOf<OpeningPage>("TIWInbox", "IWInbox"));
    store_ = config_.UserDirectories + "Admin/";
  }

  // Adds a message file and its record; returns the index number.
  int AddMessage(const std::string& text, std::int32_t status, bool has_attachment = false,
                 const std::string& subject = "s") {
    const std::string file = "m" + std::to_string(++files_) + ".eml";
    std::ofstream(store_ + file, std::ios::binary) << text;
    TUserEmailDB index;
    EXPECT_TRUE(index.Open(store_));
    TEmailRecord record;
    record.Subject = subject;
    record.FileName = file;
    record.Status = status;
    record.HasAttachment = has_attachment;
    EXPECT_TRUE(index.AddEmail(record));
    index.Save(store_);
    return index.GetCount();
  }

  TEmailRecord Record(int n) {
    TUserEmailDB index;
    EXPECT_TRUE(index.Open(store_));
    TEmailRecord record;
    EXPECT_TRUE(index.GetEmail(n, record));
    return record;
  }

  void SetStatus(int n, std::int32_t status) {
    TUserEmailDB index;
    ASSERT_TRUE(index.Open(store_));
    TEmailRecord record;
    ASSERT_TRUE(index.GetEmail(n, record));
    record.Status = status;
    ASSERT_TRUE(index.SetEmail(n, record));
    index.Save(store_);
  }

  // Signs in (once) and opens message n from the stand-in folder page.
  Answer Open(int n) {
    if (!browser_) {
      Start();
      browser_ = std::make_unique<TestBrowser>(NewBrowser());
      browser_->Get("/");
      LogIn(*browser_, "admin", "secretpw");
    }
    browser_->Post(browser_page_.empty() ? "IWMain" : browser_page_, "IWINBOXLINK");
    const Answer view = browser_->Post(
        "IWInbox", "IWOPEN",
        {{"IWINDEX", std::to_string(n)}, {"IWFILE", "m" + std::to_string(n) + ".eml"}});
    browser_page_ = view.PageName();
    return view;
  }

  Answer Click(const std::string& control,
               const std::vector<std::pair<std::string, std::string>>& fields = {}) {
    const Answer answer = browser_->Post("IWViewMail", control, fields);
    if (!answer.PageName().empty()) browser_page_ = answer.PageName();
    return answer;
  }

  // Downloads the attachment of list row `item` (a click on its name).
  Answer DownloadItem(int item) {
    return browser_->Post("IWViewMail", "IWATTACHLIST", {}, std::to_string(item) + "_1");
  }

  // The attachment list as written (the table).
  static std::string AttachList(const Answer& answer) {
    const auto at = answer.body.find("ID=\"IWATTACHLIST\"");
    if (at == std::string::npos) return {};
    return answer.body.substr(at, answer.body.find("</table>", at) - at);
  }

  static std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
  }

  // The element written for a control, from its opening tag to the first closing tag.
  static std::string Element(const Answer& answer, const std::string& id) {
    const auto at = answer.body.find("ID=\"" + id + "\"");
    if (at == std::string::npos) return {};
    const auto start = answer.body.rfind('<', at);
    return answer.body.substr(start, answer.body.find("</", at) + 2 - start);
  }

  // The srcdoc of the body frame as the browser reads it (attribute entities undone).
  static std::string FrameDocument(const Answer& answer) {
    const std::string mark = "srcdoc=\"";
    const auto at = answer.body.find(mark);
    if (at == std::string::npos) return {};
    const auto start = at + mark.size();
    return DecodeAttributeText(answer.body.substr(start, answer.body.find('"', start) - start));
  }

  std::string store_;
  int files_ = 0;
  std::unique_ptr<TestBrowser> browser_;
  std::string browser_page_;
};

TEST_F(ViewPageTest, PlainMessageIsShownAsDataWithItsLineBreaks) {
  const int n = AddMessage(kPlainMessage, 0);
  const Answer view = Open(n);
  ASSERT_EQ(view.PageName(), "IWViewMail") << view.body;
  EXPECT_NE(Element(view, "IWFROM").find(">Eve &lt;script&gt; &lt;eve@x.test&gt;<"),
            std::string::npos)
      << Element(view, "IWFROM");
  EXPECT_NE(Element(view, "IWTO").find(">Bob &lt;bob@x.test&gt;, carol@x.test<"), std::string::npos)
      << Element(view, "IWTO");
  EXPECT_NE(Element(view, "IWSUBJECT").find(">&lt;b&gt;Hi&lt;/b&gt; &amp; &quot;quoted&quot;<"),
            std::string::npos)
      << Element(view, "IWSUBJECT");
  const auto body_at = view.body.find("ID=\"IWEMAILBODY\"");
  ASSERT_NE(body_at, std::string::npos);
  const std::string body = view.body.substr(body_at, 400);
  EXPECT_NE(body.find("a&lt;b<br>"), std::string::npos) << body;
  EXPECT_NE(body.find(".dot line"), std::string::npos) << body;
  EXPECT_EQ(body.find("..dot"), std::string::npos) << body;
  EXPECT_EQ(view.body.find("<script>\" <"), std::string::npos);
  EXPECT_EQ(view.body.find("<iframe"), std::string::npos);  // plain text needs no frame
  // Opening marks the message read; no attachment controls for a message without any.
  EXPECT_EQ(Record(n).Status, 1);
  EXPECT_EQ(view.body.find("ID=\"IWATTACHMENTS\""), std::string::npos);
  EXPECT_EQ(view.body.find("ID=\"IWSHOWREMOTE\""), std::string::npos);
  // The program's compose page makes reply and forward available.
  EXPECT_NE(view.body.find("ID=\"IWREPLY\""), std::string::npos);
  EXPECT_NE(view.body.find("ID=\"IWFORWARD\""), std::string::npos);
  EXPECT_NE(view.body.find("ID=\"IWPRINT\""), std::string::npos);
  EXPECT_NE(view.body.find("tick();"), std::string::npos);
}

TEST_F(ViewPageTest, HtmlBodyGoesIntoTheSandboxedFrameWithoutScript) {
  const int n = AddMessage(
      "From: a@x.test\r\nSubject: html\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/alternative; boundary=\"b1\"\r\n\r\n"
      "--b1\r\nContent-Type: text/plain\r\n\r\nplain version\r\n"
      "--b1\r\nContent-Type: text/html\r\n\r\n"
      "<p onclick=\"steal()\">Hello <b>there</b></p><script>alert(1)</script>\r\n"
      "--b1--\r\n.\r\n",
      0);
  const Answer view = Open(n);
  ASSERT_EQ(view.PageName(), "IWViewMail");
  EXPECT_NE(view.body.find("<iframe class=\"kst-mail-frame\" title=\"Message text\" "
                           "sandbox=\"allow-popups allow-popups-to-escape-sandbox\""),
            std::string::npos);
  const std::string document = FrameDocument(view);
  EXPECT_NE(document.find("Hello <b>there</b>"), std::string::npos) << document;
  EXPECT_EQ(document.find("<script"), std::string::npos) << document;
  EXPECT_EQ(document.find("onclick"), std::string::npos) << document;
  EXPECT_EQ(document.find("plain version"), std::string::npos);  // the HTML part wins
  // Nothing of the message is markup of the page itself.
  EXPECT_EQ(view.body.find("<p onclick"), std::string::npos);
  EXPECT_EQ(view.body.find("<script>alert(1)"), std::string::npos);
}

TEST_F(ViewPageTest, RemoteContentIsBlockedUntilTheUserAllowsItForThatMessage) {
  const std::string html =
      "From: a@x.test\r\nSubject: news\r\nContent-Type: text/html\r\n\r\n"
      "<p>News</p><img src=\"https://remote.test/pixel.png\" alt=\"p\">\r\n.\r\n";
  const int first = AddMessage(html, 0);
  const int second = AddMessage(html, 0);
  Answer view = Open(first);
  EXPECT_EQ(FrameDocument(view).find("https://remote.test/pixel.png"), std::string::npos);
  ASSERT_NE(view.body.find("ID=\"IWSHOWREMOTE\""), std::string::npos);
  view = Click("IWSHOWREMOTE");
  EXPECT_NE(FrameDocument(view).find("https://remote.test/pixel.png"), std::string::npos)
      << FrameDocument(view);
  EXPECT_EQ(view.body.find("ID=\"IWSHOWREMOTE\""), std::string::npos);
  // The next message starts blocked again.
  view = Open(second);
  EXPECT_EQ(FrameDocument(view).find("https://remote.test/pixel.png"), std::string::npos);
  EXPECT_NE(view.body.find("ID=\"IWSHOWREMOTE\""), std::string::npos);
}

constexpr const char* kAttachments =
    "From: a@x.test\r\nSubject: files\r\nMIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b2\"\r\n\r\n"
    "--b2\r\nContent-Type: text/plain\r\n\r\nsee attached\r\n"
    "--b2\r\nContent-Type: text/plain; name=\"same.txt\"\r\n"
    "Content-Disposition: attachment; filename=\"same.txt\"\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nZmlyc3Q=\r\n"
    "--b2\r\nContent-Type: application/pdf\r\n"
    "Content-Disposition: attachment; filename=\"same.txt\"\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nc2Vjb25k\r\n"
    "--b2\r\nContent-Type: application/octet-stream\r\n"
    "Content-Disposition: attachment\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nbmFtZWxlc3M=\r\n"
    "--b2\r\nContent-Type: text/html\r\n"
    "Content-Disposition: attachment; filename=\"../../x\"\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nZXNjYXBl\r\n"
    "--b2--\r\n.\r\n";

TEST_F(ViewPageTest, AttachmentsAreDownloadedByPositionFromMemory) {
  // Where a name "../../x" could land; something of that name may be there already (the
  // temporary directory's parent is shared), so what counts is that nothing new appears.
  const std::vector<fs::path> outside = {home_ / "x", home_.parent_path() / "x",
                                         fs::path(store_).parent_path().parent_path() / "x"};
  std::vector<bool> existed;
  for (const fs::path& place : outside) existed.push_back(fs::exists(place));
  const int n = AddMessage(kAttachments, 1, true);
  const Answer view = Open(n);
  const std::string list = AttachList(view);
  ASSERT_FALSE(list.empty()) << view.body.substr(0, 400);
  EXPECT_EQ(list.find("Attachment Not Found"), std::string::npos);
  EXPECT_EQ(Count(list, ">same.txt</a>"), 2u) << list;
  EXPECT_EQ(list.find("../"), std::string::npos) << list;
  // The one-line drop-down is gone: every file is a link of the list.
  EXPECT_EQ(view.body.find("ID=\"IWATTACHMENTS\""), std::string::npos);

  const auto download = [&](int item) { return DownloadItem(item); };
  Answer first = download(0);
  EXPECT_EQ(first.body, "first");
  EXPECT_EQ(first.Header("Content-Disposition"),
            "attachment;filename=\"same.txt\"; filename*=UTF-8''same.txt");
  EXPECT_EQ(first.Header("Content-Type"), "text/plain");
  EXPECT_EQ(first.Header("X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(first.Header("Content-Security-Policy"), "sandbox; default-src 'none'");
  Answer second = download(1);
  EXPECT_EQ(second.body, "second");
  EXPECT_EQ(second.Header("Content-Type"), "application/pdf");
  Answer nameless = download(2);
  EXPECT_EQ(nameless.body, "nameless");
  EXPECT_NE(nameless.Header("Content-Disposition").find("filename=\"attachment"), std::string::npos)
      << nameless.Header("Content-Disposition");
  Answer escape = download(3);
  EXPECT_EQ(escape.body, "escape");
  const std::string disposition = escape.Header("Content-Disposition");
  EXPECT_EQ(disposition.find('/'), std::string::npos) << disposition;
  EXPECT_EQ(disposition.find(".."), std::string::npos) << disposition;
  EXPECT_EQ(escape.Header("Content-Security-Policy"), "sandbox; default-src 'none'");

  // Nothing was written for any of them, under the files tree or next to the store.
  EXPECT_FALSE(fs::exists(home_ / "Files" / "Attachments"));
  for (std::size_t i = 0; i < outside.size(); ++i) {
    EXPECT_EQ(fs::exists(outside[i]), existed[i]) << outside[i];
  }
  // A posted item beyond the list downloads nothing.
  const Answer none = download(9);
  EXPECT_EQ(none.PageName(), "IWViewMail");
  EXPECT_EQ(none.Header("Content-Disposition"), "");
}

// Messages of other mailers' habits (tests/data/realworld) as the page shows them: the
// text that is there, and the file a uuencoded part holds rather than its encoding.
TEST_F(ViewPageTest, MessagesOfOtherMailersShowTheirTextAndOfferTheirFiles) {
  const auto add = [this](const std::string& name) {
    std::ifstream in(fs::path(KESTRUNE_TEST_DATA) / "realworld" / name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return AddMessage(text.str(), 1, true);
  };
  const int outlook = add("outlook2000_alternative_related.eml");
  const int enclosed = add("forwarded_message_is_the_body.eml");
  const int eudora = add("eudora_x_uuencode_part.eml");

  const std::string frame = FrameDocument(Open(outlook));
  EXPECT_NE(frame.find("Greetings from Outlook 2000 \u00e9t\u00e9."), std::string::npos) << frame;
  EXPECT_NE(frame.find("src=\"data:image/gif;base64,"), std::string::npos) << frame;

  const Answer view = Open(enclosed);
  const auto body_at = view.body.find("ID=\"IWEMAILBODY\"");
  ASSERT_NE(body_at, std::string::npos);
  const std::string body = view.body.substr(body_at, 800);
  EXPECT_NE(body.find("From: Original Author &lt;author@origin.test&gt;"), std::string::npos)
      << body;
  EXPECT_NE(body.find("Meet at the caf\u00e9 at ten."), std::string::npos) << body;
  EXPECT_NE(AttachList(view).find("agenda.csv"), std::string::npos);

  Open(eudora);
  const Answer file = DownloadItem(0);
  EXPECT_EQ(file.body.substr(0, 6), "GIF89a");
  EXPECT_EQ(file.body.size(), 43u);
}

// A message as a reader sees it: Cc and its own date in the head, every file of it in a
// visible list with size and type, a picture as a thumbnail and "Open" for the types a
// browser shows safely, served from the session's private cache alone.
constexpr const char* kCcDateAndFiles =
    "From: Ann <ann@x.test>\r\nTo: bob@x.test\r\nCc: Carol <carol@x.test>, dave@x.test\r\n"
    "Date: Tue, 5 Mar 2024 14:03:09 +0000\r\nSubject: photos\r\nMIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b3\"\r\n\r\n"
    "--b3\r\nContent-Type: text/plain\r\n\r\nsee attached\r\n"
    "--b3\r\nContent-Type: image/png\r\nContent-Disposition: attachment; filename=\"dot.png\"\r\n"
    "Content-Transfer-Encoding: "
    "base64\r\n\r\niVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR4nGP4z8DwHwAFAAH/"
    "iZk9HQAAAABJRU5ErkJggg==\r\n"
    "--b3\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment; "
    "filename=\"r.pdf\"\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQKJXRlc3QK\r\n"
    "--b3\r\nContent-Type: image/png\r\nContent-Disposition: attachment; filename=\"trap.png\"\r\n"
    "Content-Transfer-Encoding: "
    "base64\r\n\r\nPGh0bWw+PHNjcmlwdD5hbGVydChkb2N1bWVudC5jb29raWUpPC9zY3JpcHQ+PC9odG1sPg==\r\n"
    "--b3--\r\n.\r\n";

TEST_F(ViewPageTest, CcDateAndAPictureThumbnailThatOnlyThisSessionCanFetch) {
  const int n = AddMessage(kCcDateAndFiles, 1, true);
  const Answer view = Open(n);
  EXPECT_NE(Element(view, "IWCC").find("Carol &lt;carol@x.test&gt;, dave@x.test"),
            std::string::npos)
      << Element(view, "IWCC");
  EXPECT_NE(view.body.find("<time class=\"kst-local-time\" datetime=\"2024-03-05T14:03:09Z\">"),
            std::string::npos);
  const std::string list = AttachList(view);
  for (const char* shown : {">dot.png</a>", ">70 B<", ">image/png<", ">r.pdf</a>", ">15 B<",
                            ">application/pdf<", ">trap.png</a>"}) {
    EXPECT_NE(list.find(shown), std::string::npos) << shown << "\n" << list;
  }
  const auto thumb = list.find("<img class=\"kst-thumb\" src=\"");
  ASSERT_NE(thumb, std::string::npos) << list;
  const auto url_at = thumb + std::string("<img class=\"kst-thumb\" src=\"").size();
  const std::string url = list.substr(url_at, list.find('"', url_at) - url_at);
  ASSERT_TRUE(url.starts_with("/cache/user/") && url.ends_with(".png")) << url;
  // Two files open (the picture and the PDF); the page disguised as a picture does not.
  EXPECT_EQ(Count(list, "class=\"kst-open\""), 2u) << list;
  EXPECT_EQ(Count(list, "kst-thumb"), 1u) << list;

  const Answer picture = browser_->Get(url);
  ASSERT_EQ(picture.status, 200);
  EXPECT_EQ(picture.body.substr(1, 3), "PNG");
  EXPECT_EQ(picture.Header("Content-Type"), "image/png");
  EXPECT_EQ(picture.Header("X-Content-Type-Options"), "nosniff");
  EXPECT_NE(picture.Header("Content-Security-Policy").find("sandbox"), std::string::npos);
  EXPECT_TRUE(picture.Header("Content-Disposition").starts_with("inline"))
      << picture.Header("Content-Disposition");
  EXPECT_EQ(NewBrowser().Get(url).status, 404);  // no session gets nothing
  TestBrowser other = NewBrowser();              // nor another session of the same user
  other.Get("/");
  LogIn(other, "admin", "secretpw");
  EXPECT_EQ(other.Get(url).status, 404);
  EXPECT_EQ(browser_->Get(url).status, 200);

  // The disguised page still downloads, as an attachment that runs nothing.
  const Answer trap = DownloadItem(2);
  EXPECT_TRUE(trap.Header("Content-Disposition").starts_with("attachment"))
      << trap.Header("Content-Disposition");
  EXPECT_EQ(trap.Header("Content-Security-Policy"), "sandbox; default-src 'none'");

  // Showing another message takes the copies of this one away.
  Open(AddMessage(kPlainMessage, 1));
  EXPECT_EQ(browser_->Get(url).status, 404);
}

TEST_F(ViewPageTest, PlainQuotesAreSetApartByLevelAndTheThirdIsFolded) {
  const int n = AddMessage(
      "From: a@x.test\r\nSubject: thread\r\n\r\nOk.\r\n> Sure?\r\n>> Lunch?\r\n>>> Who "
      "pays?\r\n.\r\n",
      1);
  const Answer view = Open(n);
  const std::string body = view.body.substr(view.body.find("ID=\"IWEMAILBODY\""), 1000);
  EXPECT_NE(body.find("<blockquote class=\"kst-quote kst-quote-1\">Sure?"), std::string::npos)
      << body;
  EXPECT_NE(body.find("<blockquote class=\"kst-quote kst-quote-2\">Lunch?"), std::string::npos);
  EXPECT_NE(body.find("<details class=\"kst-quote-fold\"><summary>Show quoted text</summary>"
                      "<blockquote class=\"kst-quote kst-quote-3\">Who pays?"),
            std::string::npos);
}

TEST_F(ViewPageTest, FlaggedMessageWithoutAttachmentsSaysSoWithTheButtonDisabled) {
  const int n = AddMessage(kPlainMessage, 1, true);
  const Answer view = Open(n);
  const std::string list = AttachList(view);
  EXPECT_NE(list.find(">Attachment Not Found</"), std::string::npos) << list;
  EXPECT_EQ(list.find("<a"), std::string::npos) << list;  // nothing to download
}

TEST_F(ViewPageTest, DeleteMovesToDeletedAndAgainPurges) {
  const int n = AddMessage(kPlainMessage, 1);
  Open(n);
  Answer after = Click("IWDELETE");
  EXPECT_EQ(after.PageName(), "IWMain");
  EXPECT_EQ(Record(n).Status, 4);
  EXPECT_TRUE(fs::exists(store_ + "m1.eml"));
  Open(n);
  after = Click("IWDELETE");
  EXPECT_EQ(after.PageName(), "IWMain");
  EXPECT_EQ(Record(n).Status, 99);
  EXPECT_FALSE(fs::exists(store_ + "m1.eml"));
}

TEST_F(ViewPageTest, SaveFromSentGivesSavedAndReadAndLandsHome) {
  const int n = AddMessage(kPlainMessage, 6);
  const Answer view = Open(n);
  EXPECT_NE(view.body.find("ID=\"IWSAVE\""), std::string::npos);
  EXPECT_EQ(Click("IWSAVE").PageName(), "IWMain");
  EXPECT_EQ(Record(n).Status, 8);
}

TEST_F(ViewPageTest, SaveIsHiddenForASavedMessageHoweverItWasOpened) {
  const int n = AddMessage(kPlainMessage, 7);
  const Answer view = Open(n);
  EXPECT_EQ(view.body.find("ID=\"IWSAVE\""), std::string::npos);
  EXPECT_EQ(Record(n).Status, 8);  // opened: saved and read
  // Saved meanwhile by another holder: the next render hides it too.
  const int other = AddMessage(kPlainMessage, 1);
  EXPECT_NE(Open(other).body.find("ID=\"IWSAVE\""), std::string::npos);
  SetStatus(other, 9);
  EXPECT_EQ(browser_->Get("/index").body.find("ID=\"IWSAVE\""), std::string::npos);
}

TEST_F(ViewPageTest, APurgedMessageCanNeitherBeSavedNorDeletedAgain) {
  const int n = AddMessage(kPlainMessage, 4);
  Open(n);
  SetStatus(n, 99);  // purged from another session meanwhile
  Answer after = Click("IWSAVE");
  EXPECT_EQ(after.PageName(), "IWViewMail");
  EXPECT_TRUE(after.HasAlert("Unable to save email with the index of: 1")) << after.body;
  after = Click("IWDELETE");
  EXPECT_EQ(after.PageName(), "IWViewMail");
  EXPECT_TRUE(after.HasAlert("Unable to delete email with the index of: 1"));
  EXPECT_EQ(Record(n).Status, 99);
}

TEST_F(ViewPageTest, OpeningARecordThatNamesAnotherFileStaysOnTheFolder) {
  AddMessage(kPlainMessage, 0);
  Start();
  browser_ = std::make_unique<TestBrowser>(NewBrowser());
  browser_->Get("/");
  LogIn(*browser_, "admin", "secretpw");
  browser_->Post("IWMain", "IWINBOXLINK");
  const Answer stays =
      browser_->Post("IWInbox", "IWOPEN", {{"IWINDEX", "1"}, {"IWFILE", "other.eml"}});
  EXPECT_EQ(stays.PageName(), "IWInbox");
  EXPECT_TRUE(stays.HasAlert("Unable to view email with the index of: 1"));
  EXPECT_EQ(Record(1).Status, 0);
}

// An imported or damaged Emails.Dat whose records name another user's mail or a file
// anywhere on the server: the view never opens them.
TEST_F(ViewPageTest, IndexRecordsNamingFilesOutsideTheMailStoreAreNeverOpened) {
  std::filesystem::create_directories(config_.UserDirectories + "bob");
  std::ofstream(config_.UserDirectories + "bob/x.eml") << "Subject: bob's\r\n\r\nBOB SECRET\r\n";
  const std::string outside = (home_ / "outside.eml").string();
  std::ofstream(outside) << "Subject: outside\r\n\r\nSERVER SECRET\r\n";
  Start();
  browser_ = std::make_unique<TestBrowser>(NewBrowser());
  browser_->Get("/");
  LogIn(*browser_, "admin", "secretpw");
  browser_->Post("IWMain", "IWINBOXLINK");
  for (const std::string name : {std::string("../bob/x.eml"), outside}) {
    TUserEmailDB index;
    ASSERT_TRUE(index.Open(store_));
    TEmailRecord record;
    record.FileName = name;
    ASSERT_TRUE(index.AddEmail(record));
    index.Save(store_);
    const std::string n = std::to_string(index.GetCount());
    const Answer refused = browser_->Post("IWInbox", "IWOPEN", {{"IWINDEX", n}, {"IWFILE", name}});
    EXPECT_EQ(refused.body.find("SECRET"), std::string::npos) << name;
    EXPECT_EQ(refused.PageName(), "IWInbox") << name;
    EXPECT_TRUE(refused.HasAlert("Unable to view email with the index of: " + n)) << name;
  }
}

// The URL the page's start-up script opens.
std::string PrintURL(const Answer& answer) {
  const std::string mark = "NewWindow(\"";
  const auto at = answer.body.find(mark);
  if (at == std::string::npos) return {};
  const auto start = at + mark.size();
  return answer.body.substr(start, answer.body.find('"', start) - start);
}

TEST_F(ViewPageTest, PrintCopyIsEscapedPrivateToTheSessionAndGoesWithIt) {
  const int n = AddMessage(kPlainMessage, 1);
  Open(n);
  const Answer printed = Click("IWPRINT");
  EXPECT_EQ(printed.PageName(), "IWViewMail");
  const std::string url = PrintURL(printed);
  ASSERT_TRUE(url.starts_with("/cache/user/")) << url;
  EXPECT_NE(printed.body.find("\",\"\",\"menubar=no,toolbar=no\");"), std::string::npos);
  const std::string name = url.substr(url.rfind('/') + 1);
  EXPECT_EQ(name.size(), std::string("print").size() + 32 + 4) << name;  // 128 random bits

  const Answer copy = browser_->Get(url);
  ASSERT_EQ(copy.status, 200);
  EXPECT_EQ(copy.Header("Cache-Control"), "private, no-store");
  EXPECT_NE(copy.Header("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
  // The quote in the subject is text of the copy, not the end of a template value.
  EXPECT_NE(copy.body.find("<h1>&lt;b&gt;Hi&lt;/b&gt; &amp; &quot;quoted&quot;</h1>"),
            std::string::npos)
      << copy.body;
  EXPECT_NE(copy.body.find("<td>Eve &lt;script&gt; &lt;eve@x.test&gt;</td>"), std::string::npos);
  EXPECT_NE(copy.body.find("<td>Bob &lt;bob@x.test&gt;, carol@x.test</td>"), std::string::npos);
  EXPECT_NE(copy.body.find("a&lt;b<br>"), std::string::npos);
  EXPECT_EQ(copy.body.find("<script"), std::string::npos);
  EXPECT_EQ(copy.body.find("[EMAILBODY]"), std::string::npos);

  // Another browser (no session cookie) gets nothing, and nothing lies under /files/.
  TestBrowser stranger = NewBrowser();
  EXPECT_EQ(stranger.Get(url).status, 404);
  EXPECT_FALSE(fs::exists(home_ / "Files" / "Prints"));
  // Logging out ends the session and takes the copy with it.
  fs::path on_disk;
  for (const auto& entry : fs::recursive_directory_iterator(home_ / "Cache")) {
    if (entry.path().filename() == name) on_disk = entry.path();
  }
  ASSERT_FALSE(on_disk.empty());
  browser_->Post("IWViewMail", "IWLOGOUT");
  EXPECT_FALSE(fs::exists(on_disk));
  EXPECT_EQ(browser_->Get(url).status, 404);
}

TEST_F(ViewPageTest, APrintCopyKeepsNoStyleOfTheMessageThatCouldHideOrFakeItsFields) {
  const int n = AddMessage(
      "From: a@x.test\r\nTo: b@x.test\r\nSubject: Styled\r\nContent-Type: text/html\r\n\r\n"
      "<style>td { color: rgb(1, 2, 3) }</style>"
      "<div style=\"position: fixed; top: 0\">From: bank@example.test</div><p>Body text</p>\r\n",
      1);
  Open(n);
  const Answer copy = browser_->Get(PrintURL(Click("IWPRINT")));
  ASSERT_EQ(copy.status, 200);
  EXPECT_NE(copy.body.find("Body text"), std::string::npos) << copy.body;
  EXPECT_EQ(copy.body.find("rgb(1, 2, 3)"), std::string::npos) << copy.body;
  EXPECT_EQ(copy.body.find("position"), std::string::npos) << copy.body;
}

TEST(PrintTemplate, EachTagOnceInALineAndValuesNeverReadAsTags) {
  const std::vector<std::string> lines = {
      "<p>[To] and [to]</p>",
      "<h1>[Subject]</h1><div>[emailbody]</div>",
      "[From][From][EMAILBODY][EMAILBODY]",
  };
  const std::string filled =
      FillPrintTemplate(lines, "Bob <b@x>", "\"[EMAILBODY]\"", "Re: \"[To]\" [From]", "<p>B</p>");
  EXPECT_EQ(filled,
            "<p>Bob &lt;b@x&gt; and [to]</p>\r\n"
            "<h1>Re: &quot;[To]&quot; [From]</h1><div><p>B</p></div>\r\n"
            "&quot;[EMAILBODY]&quot;[From]<p>B</p>[EMAILBODY]\r\n");
}

// A German user's printable copy labels its fields in German; a header value that looks
// like such a tag stays the user's text.
TEST(PrintTemplate, OwnWordsComeInTheUsersLanguageAndValuesStayText) {
  std::vector<std::string> texts;
  for (const LanguageText& text : DefaultLanguageTexts()) {
    texts.emplace_back(text.section == kTemplateStrings && text.key == "From" ? "Von <&>"
                                                                              : text.english);
  }
  const LanguagePack german(std::move(texts), "Deu", {});
  const std::vector<std::string> lines = {"<th>{%=From%}</th><td>[From]</td>",
                                          "<th>{%=To%}</th><td>[To]</td>"};
  EXPECT_EQ(FillPrintTemplate(lines, "{%=From%}", "a@x", "s", "", &german),
            "<th>Von &lt;&amp;&gt;</th><td>a@x</td>\r\n<th>To</th><td>{%=From%}</td>\r\n");
  EXPECT_EQ(FillPrintTemplate(lines, "b@x", "a@x", "s", ""),
            "<th>From</th><td>a@x</td>\r\n<th>To</th><td>b@x</td>\r\n");
}

TEST_F(ViewPageTest, TheMessageDownloadsAsAMailFile) {
  const int n = AddMessage(kPlainMessage, 1);
  Open(n);
  const Answer eml = Click("IWDOWNLOADMESSAGE");
  EXPECT_EQ(eml.Header("Content-Type"), "message/rfc822");
  EXPECT_EQ(eml.Header("Content-Disposition"),
            "attachment;filename=\"_b_Hi__b_ & _quoted_.eml\"; "
            "filename*=UTF-8''_b_Hi__b_%20&%20_quoted_.eml");
  EXPECT_EQ(eml.Header("X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(eml.body,
            "From: \"Eve <script>\" <eve@x.test>\r\n"
            "To: Bob <bob@x.test>, carol@x.test\r\n"
            "Subject: <b>Hi</b> & \"quoted\"\r\n"
            "\r\n"
            "a<b\r\n"
            ".dot line\r\n"
            "last\r\n");
}

TEST(MessageDownloadName, SafeReadableAndNeverEmpty) {
  EXPECT_EQ(MessageDownloadName("Re: a/b\\c"), "Re_ a_b_c.eml");
  EXPECT_EQ(MessageDownloadName("  ..hidden\r\n"), "hidden.eml");
  EXPECT_EQ(MessageDownloadName(""), "message.eml");
  EXPECT_EQ(MessageDownloadName(std::string(100, 'x')), std::string(80, 'x') + ".eml");
  // Cut at a character boundary.
  std::string long_umlauts;
  for (int i = 0; i < 50; ++i) long_umlauts += "\xC3\xBC";
  EXPECT_EQ(MessageDownloadName(long_umlauts).size(), 80u + 4u);
}

}  // namespace
}  // namespace kestrune::testing
