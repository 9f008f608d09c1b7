// The compose page over HTTP on a mail store built by each test: Send with its checks,
// the stored message file and Outbox record, recipient lists, header injection, the
// suggestions message held on the server, reply and forward from the view page with the
// source's state at Send, attachments that must exist, and no state carried between
// openers.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "mail/id_message.h"
#include "platform/ascii.h"
#include "store/contacts_db.h"
#include "store/email_db.h"
#include "web_app_fixture.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kWithAttachments =
    "From: \"Eve <b>\" <eve@x.test>\r\n"
    "To: admin@home.test\r\n"
    "Subject: Files & \"more\"\r\n"
    "Message-Id: <orig-1@x.test>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
    "\r\n"
    "--b1\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "see <attached>\r\n"
    "--b1\r\n"
    "Content-Type: text/plain\r\n"
    "Content-Disposition: attachment; filename=\"report (final).txt\"\r\n"
    "\r\n"
    "first file\r\n"
    "--b1\r\n"
    "Content-Type: text/plain\r\n"
    "Content-Disposition: attachment; filename=\"report (final).txt\"\r\n"
    "\r\n"
    "second file\r\n"
    "--b1--\r\n"
    ".\r\n";

constexpr const char* kPlain =
    "From: Ann <ann@x.test>\r\n"
    "To: admin@home.test\r\n"
    "Subject: Lunch\r\n"
    "Message-Id: <lunch-7@x.test>\r\n"
    "References: <older@x.test>\r\n"
    "\r\n"
    "Noon?\r\n"
    ".\r\n";

class ComposePageTest : public WebAppTest {
 protected:
  ComposePageTest() {
    store_ = config_.UserDirectories + "Admin/";
    TUserList users;
    EXPECT_TRUE(users.Open(config_.UserDirectories));
    TUserRecord user;
    EXPECT_TRUE(users.FindUser("Admin", user));
    user.EmailAddress = "admin@home.test";
    user.EmailDisplayName = "The Admin";
    user.AutoAddContacts = true;
    EXPECT_TRUE(users.UpdateUser("Admin", user));
    users.Save();
  }

  void SignIn() {
    Start();
    browser_ = std::make_unique<TestBrowser>(NewBrowser());
    browser_->Get("/");
    LogIn(*browser_, "admin", "SecretPw");
  }

  // A new message from the home page's toolbar.
  Answer NewMessage() { return browser_->Post("IWMain", "IWCREATEEMAIL"); }

  Answer Send(const std::vector<std::pair<std::string, std::string>>& fields) {
    return browser_->Post("IWNewEmail", "IWSEND", fields);
  }

  int AddMessage(const std::string& text, std::int32_t status) {
    const std::string file = "m" + std::to_string(++files_) + ".eml";
    std::ofstream(store_ + file, std::ios::binary) << text;
    TUserEmailDB index;
    EXPECT_TRUE(index.Open(store_));
    TEmailRecord record;
    record.Subject = "s";
    record.FileName = file;
    record.Status = status;
    record.DateText = "01/02/2024 10:00:00";
    EXPECT_TRUE(index.AddEmail(record));
    index.Save(store_);
    return index.GetCount();
  }

  // Opens the only Inbox message (row 1) in the view page from `page`.
  Answer OpenFirstInboxMessage(const std::string& page) {
    browser_->Post(page, "IWINBOXLINK");
    return browser_->Post("IWInbox", "IWINBOX", {}, "1_2");
  }

  std::vector<TEmailRecord> Records() {
    TUserEmailDB index;
    EXPECT_TRUE(index.Open(store_));
    std::vector<TEmailRecord> records;
    for (int i = 1; i <= index.GetCount(); ++i) {
      TEmailRecord record;
      EXPECT_TRUE(index.GetEmail(i, record));
      records.push_back(record);
    }
    return records;
  }

  // The Outbox messages' records.
  std::vector<TEmailRecord> Outbox() {
    std::vector<TEmailRecord> out;
    for (const TEmailRecord& record : Records()) {
      if (record.Status == email_status::kOutbox) out.push_back(record);
    }
    return out;
  }

  static std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // The value the compose page wrote into an input element.
  static std::string InputValue(const Answer& answer, const std::string& id) {
    const auto at = answer.body.find("ID=\"" + id + "\"");
    if (at == std::string::npos) return "(missing)";
    const auto start = answer.body.rfind('<', at);
    const std::string tag = answer.body.substr(start, answer.body.find('>', at) - start);
    const auto value = tag.find("VALUE=\"");
    if (value == std::string::npos) return {};
    return tag.substr(value + 7, tag.find('"', value + 7) - value - 7);
  }

  static std::size_t FilesIn(const fs::path& dir) {
    std::error_code error;
    if (!fs::exists(dir, error)) return 0;
    std::size_t n = 0;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
         ++it) {
      if (it->is_regular_file()) ++n;
    }
    return n;
  }

  std::string store_;
  int files_ = 0;
  std::unique_ptr<TestBrowser> browser_;
};

TEST_F(ComposePageTest, SendStoresTheOutboxRecordAndAMessageFileWithParsedRecipients) {
  SignIn();
  const Answer page = NewMessage();
  ASSERT_EQ(page.PageName(), "IWNewEmail");
  EXPECT_NE(page.body.find("admin@home.test"), std::string::npos);  // From
  EXPECT_NE(page.body.find("class=\"kst-editor\""), std::string::npos);
  EXPECT_NE(page.body.find("name=\"KstBodyIsHtml\" value=\"0\""), std::string::npos);
  EXPECT_NE(page.body.find("There are no Contacts in your Quick List.<br>"), std::string::npos);

  const Answer home = Send({{"IWTO", "a@x.test;b@y.test;"},
                            {"IWCCLIST", "\"Doe, Carol\" <c@z.test>"},
                            {"IWBCCLIST", "hidden@w.test"},
                            {"IWSUBJECT", "Grüße"},
                            {"IWEMAILBODY", "one <two>\r\nthree"},
                            {"KstBodyIsHtml", "0"}});
  EXPECT_EQ(home.PageName(), "IWMain");
  const std::vector<TEmailRecord> outbox = Outbox();
  ASSERT_EQ(outbox.size(), 1u);
  EXPECT_EQ(outbox[0].Recipient, "a@x.test;b@y.test;");  // as typed
  EXPECT_EQ(outbox[0].Subject, "Grüße");
  EXPECT_EQ(outbox[0].Sender, "admin@home.test");
  EXPECT_FALSE(outbox[0].HasAttachment);
  ASSERT_EQ(outbox[0].FileName.size(), 12u);  // 8 characters + ".eml"

  TIdMessage stored;
  stored.LoadFromFile(store_ + outbox[0].FileName);
  ASSERT_EQ(stored.Recipients.Count(), 2u);
  EXPECT_EQ(stored.Recipients[0].Address, "a@x.test");
  EXPECT_EQ(stored.Recipients[1].Address, "b@y.test");
  ASSERT_EQ(stored.CCList.Count(), 1u);
  EXPECT_EQ(stored.CCList[0].Name, "Doe, Carol");
  ASSERT_EQ(stored.BccList.Count(), 1u);
  EXPECT_EQ(stored.From.Text(), "The Admin <admin@home.test>");
  EXPECT_EQ(stored.Subject, "Grüße");
  EXPECT_EQ(stored.MsgId.rfind("<", 0), 0u);
  EXPECT_NE(stored.MsgId.find("@home.test>"), std::string::npos);
  EXPECT_EQ(stored.ContentType, "text/html");
  const std::string file = ReadFile(store_ + outbox[0].FileName);
  EXPECT_NE(file.find("one &lt;two&gt;<br>"), std::string::npos) << file;
  EXPECT_EQ(file.find("In-Reply-To"), std::string::npos);

  // Each parsed To address became a contact of its own.
  TContactsDB contacts;
  ASSERT_TRUE(contacts.Open(store_));
  TContactRecord contact;
  EXPECT_TRUE(contacts.FindContact("a@x.test", contact));
  EXPECT_TRUE(contacts.FindContact("b@y.test", contact));
  EXPECT_EQ(contacts.GetCount(), 2);

  // A second message gets another id.
  NewMessage();
  Send({{"IWTO", "a@x.test"}, {"IWSUBJECT", "again"}, {"IWEMAILBODY", "x"}});
  ASSERT_EQ(Outbox().size(), 2u);
  TIdMessage second;
  second.LoadFromFile(store_ + Outbox()[1].FileName);
  EXPECT_NE(second.MsgId, stored.MsgId);
}

TEST_F(ComposePageTest, ChecksRefuseWithTheirTextsAndFocusTheField) {
  SignIn();
  NewMessage();
  Answer page = Send({{"IWSUBJECT", "s"}});
  EXPECT_TRUE(page.HasAlert(
      "Please enter the email address of the person who you wish to send this message to."));
  EXPECT_NE(page.body.find("IWFocus(\"IWTO\")"), std::string::npos);

  page = Send({{"IWTO", "a@x.test"},
               {"IWCCLIST", "ok@x.test; not an address"},
               {"IWSUBJECT", "s"},
               {"IWEMAILBODY", "kept text"}});
  EXPECT_TRUE(page.HasAlert(
      "Please enter the email address of the person who you wish to send this message to."));
  EXPECT_NE(page.body.find("IWFocus(\"IWCCLIST\")"), std::string::npos);
  EXPECT_EQ(InputValue(page, "IWCCLIST"), "ok@x.test; not an address");  // the page kept it
  EXPECT_NE(page.body.find(">\nkept text</textarea>"), std::string::npos) << page.body;

  page = Send({{"IWTO", "a@x.test"}, {"IWBCCLIST", "x@"}, {"IWSUBJECT", "s"}});
  EXPECT_NE(page.body.find("IWFocus(\"IWBCCLIST\")"), std::string::npos);

  page = Send({{"IWTO", "a@x.test"}, {"IWSUBJECT", ""}});
  EXPECT_TRUE(page.HasAlert("Please enter a subject for this message."));
  EXPECT_NE(page.body.find("IWFocus(\"IWSUBJECT\")"), std::string::npos);
  EXPECT_TRUE(Outbox().empty());

  // Only a Bcc recipient: stored, with "None" as the record's recipient.
  Send({{"IWBCCLIST", "only@x.test"}, {"IWSUBJECT", "s"}});
  ASSERT_EQ(Outbox().size(), 1u);
  EXPECT_EQ(Outbox()[0].Recipient, "None");
}

TEST_F(ComposePageTest, ControlCharactersNeverLeaveTheirField) {
  SignIn();
  NewMessage();
  // The browser posts "%0d%0aBcc: x@y" inside the subject.
  Send({{"IWTO", "a@x.test\r\nBcc: evil@x.test"},
        {"IWSUBJECT", "Hi\r\nBcc: x@y.test"},
        {"IWEMAILBODY", "b"}});
  ASSERT_EQ(Outbox().size(), 0u);  // "a@x.test Bcc: evil@x.test" is no address

  Send({{"IWTO", "a@x.test"}, {"IWSUBJECT", "Hi\r\nBcc: x@y.test\x01"}, {"IWEMAILBODY", "b"}});
  ASSERT_EQ(Outbox().size(), 1u);
  EXPECT_EQ(Outbox()[0].Subject, "Hi  Bcc: x@y.test");
  TIdMessage stored;
  stored.LoadFromFile(store_ + Outbox()[0].FileName);
  EXPECT_EQ(stored.Subject, "Hi  Bcc: x@y.test");
  EXPECT_TRUE(stored.BccList.Empty());
  const std::string file = ReadFile(store_ + Outbox()[0].FileName);
  EXPECT_EQ(file.find("\r\nBcc:"), std::string::npos) << file;
}

TEST_F(ComposePageTest, HtmlBodyIsSanitisedBeforeItIsStored) {
  SignIn();
  NewMessage();
  Send({{"IWTO", "a@x.test"},
        {"IWSUBJECT", "s"},
        {"IWEMAILBODY", "<p onclick=\"x()\">Hello <b>you</b></p><script>alert(1)</script>"},
        {"KstBodyIsHtml", "1"}});
  ASSERT_EQ(Outbox().size(), 1u);
  const std::string file = ReadFile(store_ + Outbox()[0].FileName);
  EXPECT_NE(file.find("<b>you</b>"), std::string::npos) << file;
  EXPECT_EQ(file.find("onclick"), std::string::npos) << file;
  EXPECT_EQ(file.find("<script"), std::string::npos) << file;
}

TEST_F(ComposePageTest, SuggestionsMessageCannotBeRedirected) {
  config_.ShowSuggestions = true;
  SignIn();
  const Answer page = browser_->Post("IWMain", "IWSUGGEST");
  ASSERT_EQ(page.PageName(), "IWNewEmail");
  EXPECT_EQ(InputValue(page, "IWTO"), "suggestions@kestrune.org");
  EXPECT_EQ(InputValue(page, "IWSUBJECT"), "Comments and Suggestions");
  EXPECT_NE(page.body.find("READONLY"), std::string::npos);
  // A crafted post changes the fields and asks for the attachments page.
  Send({{"IWTO", "victim@x.test"},
        {"IWCCLIST", "cc@x.test"},
        {"IWBCCLIST", "bcc@x.test"},
        {"IWSUBJECT", "changed"},
        {"IWEMAILBODY", "my idea"}});
  ASSERT_EQ(Outbox().size(), 1u);
  EXPECT_EQ(Outbox()[0].Recipient, "suggestions@kestrune.org");
  EXPECT_EQ(Outbox()[0].Subject, "Comments and Suggestions");
  TIdMessage stored;
  stored.LoadFromFile(store_ + Outbox()[0].FileName);
  ASSERT_EQ(stored.Recipients.Count(), 1u);
  EXPECT_TRUE(stored.CCList.Empty());
  EXPECT_TRUE(stored.BccList.Empty());
  // The next new message is editable and empty again.
  const Answer fresh = NewMessage();
  EXPECT_EQ(InputValue(fresh, "IWTO"), "");
  EXPECT_EQ(fresh.body.find("READONLY"), std::string::npos);
}

TEST_F(ComposePageTest, ReplyQuotesEscapedAndMarksTheSourceRepliedWithThreading) {
  const int n = AddMessage(kPlain, email_status::kInboxUnread);
  SignIn();
  OpenFirstInboxMessage("IWMain");
  const Answer page = browser_->Post("IWViewMail", "IWREPLY");
  ASSERT_EQ(page.PageName(), "IWNewEmail");
  EXPECT_EQ(InputValue(page, "IWTO"), "ann@x.test");
  EXPECT_EQ(InputValue(page, "IWSUBJECT"), "Re: Lunch");
  EXPECT_NE(page.body.find("name=\"KstBodyIsHtml\" value=\"1\""), std::string::npos);
  // The quote block as the text area holds it (its markup escaped once more).
  EXPECT_NE(
      page.body.find(
          "&lt;A title=&quot;ann@x.test&quot; href=&quot;mailto:ann@x.test&quot;&gt;Ann&lt;/A&gt;"),
      std::string::npos)
      << page.body;
  EXPECT_NE(page.body.find("Sent:&amp;nbsp;&lt;/B&gt;01/02/2024 10:00:00"), std::string::npos);
  EXPECT_EQ(Records()[n - 1].Status, email_status::kInboxRead);  // opened, not replied yet

  Send({{"IWTO", "ann@x.test"},
        {"IWSUBJECT", "Re: Lunch"},
        {"IWEMAILBODY", "Yes<br>"},
        {"KstBodyIsHtml", "1"}});
  EXPECT_EQ(Records()[n - 1].Status, 2);
  ASSERT_EQ(Outbox().size(), 1u);
  const std::string file = ReadFile(store_ + Outbox()[0].FileName);
  EXPECT_NE(file.find("In-Reply-To: <lunch-7@x.test>\r\n"), std::string::npos) << file;
  EXPECT_NE(file.find("References: <older@x.test> <lunch-7@x.test>\r\n"), std::string::npos);
}

TEST_F(ComposePageTest, ReplyToAHostileSenderKeepsTheQuoteAsData) {
  AddMessage(
      "From: \"<img src=x onerror=alert(1)>\" <a\"b@x.test>\r\nSubject: "
      "<i>s</i>\r\n\r\nbody\r\n.\r\n",
      email_status::kInboxUnread);
  SignIn();
  OpenFirstInboxMessage("IWMain");
  browser_->Post("IWViewMail", "IWREPLY");
  Send({{"IWTO", "ok@x.test"}, {"IWSUBJECT", "Re"}, {"IWEMAILBODY", ""}, {"KstBodyIsHtml", "1"}});
  ASSERT_EQ(Outbox().size(), 1u);
  // The posted body was empty; fill it from a fresh reply instead to see the quote.
  browser_->Post("IWMain", "IWINBOXLINK");
  browser_->Post("IWInbox", "IWINBOX", {}, "1_2");
  const Answer page = browser_->Post("IWViewMail", "IWREPLY");
  EXPECT_EQ(page.body.find("<img src=x"), std::string::npos);
  EXPECT_EQ(page.body.find("&lt;img src=x"), std::string::npos);  // escaped twice over
  EXPECT_NE(page.body.find("&amp;lt;img src=x onerror=alert(1)&amp;gt;"), std::string::npos)
      << page.body;
  EXPECT_NE(page.body.find("&amp;lt;i&amp;gt;s&amp;lt;/i&amp;gt;"), std::string::npos);
}

TEST_F(ComposePageTest, ForwardCarriesTheAttachmentsAndMarksTheSourceForwarded) {
  const int n = AddMessage(kWithAttachments, 7);  // Saved, unread
  SignIn();
  browser_->Post("IWMain", "IWSAVEDLINK");
  browser_->Post("IWSaved", "IWSAVED", {}, "1_2");
  const Answer page = browser_->Post("IWViewMail", "IWFORWARD");
  ASSERT_EQ(page.PageName(), "IWNewEmail");
  EXPECT_EQ(InputValue(page, "IWTO"), "");
  EXPECT_EQ(InputValue(page, "IWSUBJECT"), "Fwd: Files &amp; &quot;more&quot;");
  // Both files listed on the page with their sizes, each with its remove button.
  const std::string list = page.body.substr(page.body.find("ID=\"IWFILELIST\""), 2000);
  EXPECT_NE(list.find(">report (final).txt<"), std::string::npos) << list;
  EXPECT_NE(list.find(">report (final)-2.txt<"), std::string::npos) << list;
  const auto remove = list.find("Remove<span");
  EXPECT_NE(remove, std::string::npos) << list;
  EXPECT_NE(list.find("Remove<span", remove + 1), std::string::npos) << list;
  EXPECT_EQ(FilesIn(fs::path(store_) / "Uploads"), 2u);

  Send({{"IWTO", "friend@x.test"},
        {"IWSUBJECT", "Fwd: Files"},
        {"IWEMAILBODY", "<p>see <b>below</b></p>"},
        {"KstBodyIsHtml", "1"}});
  EXPECT_EQ(Records()[n - 1].Status, 10);
  ASSERT_EQ(Outbox().size(), 1u);
  EXPECT_TRUE(Outbox()[0].HasAttachment);
  TIdMessage stored;
  stored.LoadFromFile(store_ + Outbox()[0].FileName);
  ASSERT_EQ(stored.MessageParts.AttachmentCount(), 2u);
  ASSERT_GE(stored.MessageParts.Count(), 4u);
  const auto& plain = dynamic_cast<const TIdText&>(stored.MessageParts[0]);
  EXPECT_EQ(plain.ContentType, "text/plain");
  ASSERT_FALSE(plain.Body.empty());
  EXPECT_EQ(plain.Body[0], "see below");
  const auto& first = dynamic_cast<const TIdAttachment&>(stored.MessageParts[2]);
  const auto& second = dynamic_cast<const TIdAttachment&>(stored.MessageParts[3]);
  EXPECT_EQ(first.FileName, "report (final).txt");
  EXPECT_EQ(first.Content, "first file");
  EXPECT_EQ(second.FileName, "report (final)-2.txt");
  EXPECT_EQ(second.Content, "second file");
  EXPECT_EQ(FilesIn(fs::path(store_) / "Uploads"), 0u);  // the composition folder went
}

TEST_F(ComposePageTest, MissingAttachmentStopsTheSend) {
  AddMessage(kWithAttachments, email_status::kInboxRead);
  SignIn();
  OpenFirstInboxMessage("IWMain");
  browser_->Post("IWViewMail", "IWFORWARD");
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(store_) / "Uploads")) {
    if (entry.is_regular_file() && entry.path().filename() == "report (final)-2.txt") {
      fs::remove(entry.path());
      break;
    }
  }
  const Answer page = Send({{"IWTO", "friend@x.test"}, {"IWSUBJECT", "Fwd"}});
  EXPECT_TRUE(page.HasAlert("Unable to locate file for transmission."));
  EXPECT_EQ(page.PageName(), "IWNewEmail");
  EXPECT_TRUE(Outbox().empty());
  EXPECT_EQ(Records()[0].Status, email_status::kInboxRead);
}

TEST_F(ComposePageTest, NoStateLeaksBetweenOpeners) {
  AddMessage(kWithAttachments, email_status::kInboxRead);
  SignIn();
  OpenFirstInboxMessage("IWMain");
  browser_->Post("IWViewMail", "IWFORWARD");
  EXPECT_EQ(FilesIn(fs::path(store_) / "Uploads"), 2u);
  // A reply right after the forward carries none of its attachments.
  browser_->Post("IWNewEmail", "IWINBOXLINK");
  EXPECT_EQ(FilesIn(fs::path(store_) / "Uploads"), 0u);  // leaving dropped the composition
  browser_->Post("IWInbox", "IWINBOX", {}, "1_2");
  Answer page = browser_->Post("IWViewMail", "IWREPLY");
  EXPECT_EQ(page.body.find("report (final)"), std::string::npos);
  Send({{"IWTO", "eve@x.test"}, {"IWSUBJECT", "Re"}, {"IWEMAILBODY", "ok"}});
  ASSERT_EQ(Outbox().size(), 1u);
  EXPECT_FALSE(Outbox()[0].HasAttachment);
  EXPECT_EQ(Records()[0].Status, 2);

  // Typed, cancelled, started again: empty.
  NewMessage();
  browser_->Post("IWNewEmail", "IWSENDRECV",
                 {{"IWTO", "typed@x.test"}, {"IWSUBJECT", "draft"}, {"IWEMAILBODY", "t"}});
  page = browser_->Post("IWNewEmail", "IWCANCEL");
  EXPECT_EQ(page.PageName(), "IWMain");
  page = NewMessage();
  EXPECT_EQ(InputValue(page, "IWTO"), "");
  EXPECT_EQ(InputValue(page, "IWSUBJECT"), "");
  // After a reply, a new message is no reply: sending it marks nothing.
  Send({{"IWTO", "x@x.test"}, {"IWSUBJECT", "plain"}});
  const std::string file = ReadFile(store_ + Outbox()[1].FileName);
  EXPECT_EQ(file.find("In-Reply-To"), std::string::npos);
}

TEST_F(ComposePageTest, SeveralFilesAttachOnThePageKeepingTheDraftAndEachCanBeRemoved) {
  {
    TContactsDB contacts;
    ASSERT_TRUE(contacts.Open(store_));
    contacts.AddContact("Doe, Jane", "jane@x.test");
    contacts.AddContact("Bob", "bob@x.test");
    contacts.Save(store_);
  }
  SignIn();
  const Answer fresh = NewMessage();
  // The recipient boxes complete from the contacts, written as the picker writes them.
  EXPECT_NE(
      fresh.body.find("<datalist id=\"kst-contacts\"><option value=\"Bob &lt;bob@x.test&gt;\">"
                      "<option value=\"&quot;Doe, Jane&quot; &lt;jane@x.test&gt;\">"),
      std::string::npos);
  EXPECT_NE(fresh.body.find("list=\"kst-contacts\""), std::string::npos);
  EXPECT_NE(fresh.body.find("multiple"), std::string::npos);

  const Answer page = browser_->PostFiles(
      "IWNewEmail", "IWATTACHFILES", "IWCOMPOSEFILES",
      {{"notes.txt", std::string(45, 'n')},
       {"..\\..\\photo.jpg", std::string(3000, 'p')},
       {"notes.txt", "again"}},
      {{"IWTO", "Bob <bob@x.test>"}, {"IWSUBJECT", "draft"}, {"IWEMAILBODY", "typed"}});
  EXPECT_EQ(page.PageName(), "IWNewEmail");
  EXPECT_EQ(InputValue(page, "IWTO"), "Bob &lt;bob@x.test&gt;");
  EXPECT_EQ(InputValue(page, "IWSUBJECT"), "draft");
  EXPECT_NE(page.body.find("typed</textarea>"), std::string::npos);
  // The same name twice is refused as on the attachments page; the others are attached.
  EXPECT_TRUE(
      page.HasAlert("notes.txt: You have already uploaded a file with this name, file "
                    "names must be unique.\\n"))
      << page.body.substr(0, 300);
  const std::string list = page.body.substr(page.body.find("ID=\"IWFILELIST\""), 2000);
  EXPECT_NE(list.find(">notes.txt<"), std::string::npos) << list;
  EXPECT_NE(list.find(">45 B<"), std::string::npos) << list;
  EXPECT_NE(list.find(">photo.jpg<"), std::string::npos) << list;
  EXPECT_NE(list.find(">2.9 KB<"), std::string::npos) << list;
  EXPECT_EQ(FilesIn(fs::path(store_) / "Uploads"), 2u);

  // The first row's remove button takes that file away, with its copy in the store.
  const Answer removed =
      browser_->Post("IWNewEmail", "IWFILELIST", {{"IWTO", "Bob <bob@x.test>"}}, "0_2");
  EXPECT_EQ(removed.body.find(">notes.txt<"), std::string::npos);
  EXPECT_EQ(FilesIn(fs::path(store_) / "Uploads"), 1u);

  Send({{"IWTO", "Bob <bob@x.test>"}, {"IWSUBJECT", "draft"}, {"IWEMAILBODY", "typed"}});
  const std::vector<TEmailRecord> out = Outbox();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(out[0].HasAttachment);
  const std::string stored = ReadFile(store_ + out[0].FileName);
  EXPECT_NE(stored.find("filename=\"photo.jpg\""), std::string::npos);
  EXPECT_EQ(stored.find("notes.txt"), std::string::npos);
}

TEST_F(ComposePageTest, TypedTextSurvivesAnActionThatKeepsThePage) {
  SignIn();
  NewMessage();
  const Answer page = browser_->Post(
      "IWNewEmail", "IWHIDECONTACTS",
      {{"IWTO", "a@x.test"}, {"IWSUBJECT", "kept"}, {"IWEMAILBODY", "a < b\r\nnext"}});
  EXPECT_EQ(page.PageName(), "IWNewEmail");
  EXPECT_EQ(InputValue(page, "IWTO"), "a@x.test");
  EXPECT_EQ(InputValue(page, "IWSUBJECT"), "kept");
  // A script-less browser's text comes back as typed, still marked plain.
  EXPECT_NE(page.body.find("a &lt; b\r\nnext</textarea>"), std::string::npos) << page.body;
  EXPECT_NE(page.body.find("name=\"KstBodyIsHtml\" value=\"0\""), std::string::npos);
}

TEST_F(ComposePageTest, TheQuickListShowsTheMostUsedFirstAndAClickAddressesThatContact) {
  {
    TContactsDB contacts;
    ASSERT_TRUE(contacts.Open(store_));
    for (int use = 1; use <= 6; ++use) {
      const std::string name(1, static_cast<char>('A' + use - 1));
      ASSERT_TRUE(contacts.AddContact(name + " Person", AsciiLower(name) + "@x.test"));
    }
    for (int i = 1; i <= contacts.GetCount(); ++i) {
      TContactRecord contact;
      ASSERT_TRUE(contacts.GetContact(i, contact));
      contact.UseCount = contact.ContactName[0] - 'A' + 1;  // A used once ... F six times
      ASSERT_TRUE(contacts.SetContact(i, contact));
    }
    contacts.Save(store_);
  }
  SignIn();
  const Answer compose = NewMessage();
  const auto grid_at = compose.body.find("ID=\"IWQUICKLIST\"");
  ASSERT_NE(grid_at, std::string::npos);
  const std::string grid =
      compose.body.substr(grid_at, compose.body.find("</table>", grid_at) - grid_at);
  std::vector<std::size_t> at;
  for (const char* name : {">F Person<", ">E Person<", ">D Person<", ">C Person<", ">B Person<"}) {
    at.push_back(grid.find(name));
    ASSERT_NE(at.back(), std::string::npos) << name;
  }
  EXPECT_TRUE(std::is_sorted(at.begin(), at.end())) << "most used first";
  EXPECT_EQ(grid.find(">A Person<"), std::string::npos) << "five rows only";

  const Answer picked = browser_->Post("IWNewEmail", "IWQUICKLIST", {}, "1_1");
  EXPECT_EQ(InputValue(picked, "IWTO"), "e@x.test");
  TContactsDB contacts;
  ASSERT_TRUE(contacts.Open(store_));
  TContactRecord contact;
  for (int i = 1; contacts.GetContact(i, contact); ++i) {
    if (contact.ContactEmail == "e@x.test") EXPECT_EQ(contact.UseCount, 6);
  }
}

}  // namespace
}  // namespace kestrune::testing
