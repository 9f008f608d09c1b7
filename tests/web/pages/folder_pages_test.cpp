// The five folder pages over HTTP on a real listener, on a mail store built here: rows,
// icons and columns, the actions on checked rows and the statuses they leave, select-all,
// permanent deletion and the files it may remove, counters, paging, and what happens
// when another session or holder changed a record between render and action.
#include "web/pages/folder_pages.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "store/email_db.h"
#include "web/app/mail_folders.h"
#include "web_app_fixture.h"

namespace kestrune::testing {
namespace {

struct Message {
  Message(std::int32_t status, std::string subject = {},
          std::string sender = "Anna Berg <anna@x.test>",
          std::string recipient = "Bruno <bruno@x.test>", bool attachment = false,
          std::string file = {})
      : status(status),
        subject(std::move(subject)),
        sender(std::move(sender)),
        recipient(std::move(recipient)),
        attachment(attachment),
        file(std::move(file)) {}

  std::int32_t status;
  std::string subject;  // these three follow the index number when empty
  std::string sender;
  std::string recipient;
  bool attachment;
  std::string file;
};

// One grid row as the browser gets it.
struct Row {
  std::string icon;  // the icon cell's markup
  std::string box;   // the check box's field name
  bool checked = false;
  std::string address;  // the link cell's text, tags removed
  std::string title;    // the link cell's tooltip (the full address text)
  std::string subject;
  std::string date;
  bool bold = false;  // the date cell is written bold
};

// The text of some markup: tags removed, surrounding white space too.
std::string WithoutTags(const std::string& html) {
  const std::string text = std::regex_replace(html, std::regex("<[^>]*>"), "");
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") + 1 - first);
}

// A control's click as the page writes it (the template merge writes quotes as &#39;).
std::string Click(const std::string& control, const std::string& param) {
  return "SubmitClickConfirm(&#39;" + control + "&#39;,&#39;" + param + "&#39;";
}

class FolderPagesTest : public WebAppTest {
 protected:
  std::string Store() const { return config_.UserDirectories + "Admin/"; }

  void AddMessages(const std::vector<Message>& messages) {
    TUserEmailDB index;
    ASSERT_TRUE(index.Open(Store()));
    for (const Message& message : messages) {
      // Subject, date and file name follow the index number unless given.
      const std::string number = std::to_string(index.GetCount() + 1);
      TEmailRecord record;
      record.Subject = message.subject.empty() ? "s" + number : message.subject;
      record.Sender = message.sender;
      record.Recipient = message.recipient;
      record.DateText = "01/02/2025 10:00:" + number;
      record.HasAttachment = message.attachment;
      record.FileName = message.file.empty() ? "m" + number + ".eml" : message.file;
      record.Status = message.status;
      ASSERT_TRUE(index.AddEmail(record));
      if (record.FileName.find('/') == std::string::npos) {
        std::ofstream(Store() + record.FileName)
            << "Subject: " << record.Subject << "\r\n\r\nx\r\n";
      }
    }
    index.Save(Store());
  }
  void AddStatuses(std::initializer_list<std::int32_t> statuses) {
    std::vector<Message> messages;
    for (std::int32_t status : statuses) messages.push_back({status});
    AddMessages(messages);
  }

  TEmailRecord Record(int n) const {
    TUserEmailDB index;
    EXPECT_TRUE(index.Open(Store()));
    TEmailRecord record;
    EXPECT_TRUE(index.GetEmail(n, record)) << n;
    return record;
  }
  std::int32_t Status(int n) const { return Record(n).Status; }
  // Another holder (a fetch, the command line) changes record n.
  void ChangeRecord(int n, const std::function<void(TEmailRecord&)>& change) {
    TUserEmailDB index;
    ASSERT_TRUE(index.Open(Store()));
    TEmailRecord record;
    ASSERT_TRUE(index.GetEmail(n, record));
    change(record);
    ASSERT_TRUE(index.SetEmail(n, record));
    index.Save(Store());
  }

  // Logs a new browser in and goes to the folder page behind the home page's link.
  Answer OpenFolder(TestBrowser& browser, const std::string& link) {
    browser.Get("/");
    EXPECT_EQ(LogIn(browser, "admin", "secretpw").PageName(), "IWMain");
    return browser.Post("IWMain", link);
  }
  Answer Inbox() {
    browser_ = std::make_unique<TestBrowser>(NewBrowser());
    return OpenFolder(*browser_, "IWINBOXLINK");
  }
  Answer Folder(const std::string& link) {
    browser_ = std::make_unique<TestBrowser>(NewBrowser());
    return OpenFolder(*browser_, link);
  }

  static std::string Grid(const Answer& answer, const std::string& id) {
    const auto at = answer.body.find("ID=\"" + id + "\"");
    if (at == std::string::npos) return {};
    const auto start = answer.body.rfind("<table", at);
    return answer.body.substr(start, answer.body.find("</table>", at) + 8 - start);
  }
  static std::vector<Row> Rows(const Answer& answer, const std::string& id) {
    std::vector<Row> rows;
    const std::string grid = Grid(answer, id);
    const std::regex tr("<tr>([\\s\\S]*?)</tr>");
    const std::regex td("<td[^>]*>([\\s\\S]*?)</td>");
    const std::regex box("NAME=\"([A-Z0-9]+)\"");
    bool header = true;
    for (auto r = std::sregex_iterator(grid.begin(), grid.end(), tr); r != std::sregex_iterator();
         ++r) {
      if (header) {
        header = false;
        continue;
      }
      const std::string row_html = (*r)[1];
      std::vector<std::string> cells;
      for (auto c = std::sregex_iterator(row_html.begin(), row_html.end(), td);
           c != std::sregex_iterator(); ++c) {
        cells.push_back((*c)[1]);
      }
      if (cells.size() != 5) {
        ADD_FAILURE() << row_html;
        continue;
      }
      Row row;
      std::smatch icon;
      if (std::regex_search(cells[0], icon, std::regex("<div[\\s\\S]*</div>"))) row.icon = icon[0];
      std::smatch name;
      if (std::regex_search(cells[1], name, box)) row.box = name[1];
      row.checked = cells[1].find("CHECKED") != std::string::npos;
      row.address = WithoutTags(cells[2]);
      std::smatch title;
      if (std::regex_search(cells[2], title, std::regex("TITLE=\"([^\"]*)\"")))
        row.title = title[1];
      row.subject = WithoutTags(cells[3]);
      row.date = WithoutTags(cells[4]);
      row.bold = cells[4].find("font-weight:bold") != std::string::npos;
      rows.push_back(row);
    }
    return rows;
  }
  static std::vector<std::string> Subjects(const Answer& answer, const std::string& id) {
    std::vector<std::string> subjects;
    for (const Row& row : Rows(answer, id)) subjects.push_back(row.subject);
    return subjects;
  }
  // Posts the page with the check boxes of the given rows (1-based) checked.
  Answer Act(const Answer& shown, const std::string& page, const std::string& action,
             std::initializer_list<int> rows, TestBrowser* browser = nullptr) {
    const std::vector<Row> all = Rows(shown, AsciiUpper(page));
    std::vector<std::pair<std::string, std::string>> fields;
    for (int row : rows) fields.emplace_back(all.at(static_cast<std::size_t>(row - 1)).box, "On");
    return (browser ? *browser : *browser_).Post(page, action, fields);
  }
  static std::string AsciiUpper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
  }
  // The element written for a control, from its tag to the first closing tag.
  static std::string Element(const Answer& answer, const std::string& id) {
    const auto at = answer.body.find("ID=\"" + id + "\"");
    if (at == std::string::npos) return {};
    const auto start = answer.body.rfind('<', at);
    return answer.body.substr(start, answer.body.find("</", at) + 2 - start);
  }

  std::string Icon(const char* image, const char* alt) {
    return std::string("<img border=\"0\" src=\"/Files/") + image +
           "\" width=\"16\" height=\"16\" alt=\"" + alt + "\">";
  }

  std::unique_ptr<TestBrowser> browser_;
};

constexpr const char* kNoMessages =
    ">The&nbsp;are&nbsp;currently&nbsp;no&nbsp;mail&nbsp;messages&nbsp;to&nbsp;view.<";

TEST_F(FolderPagesTest, InboxListsItsOwnRecordsInIndexOrderWithIconsAndUnreadInBold) {
  AddMessages({{0, "unread with file", "Anna <anna@x.test>", "", true},
               {1, "read"},
               {99, "purged"},
               {4, "deleted"},
               {2, "replied"},
               {3, "forwarded"},
               {7, "saved"},
               {42, "unknown status"}});
  Start();
  const Answer inbox = Inbox();
  ASSERT_EQ(inbox.PageName(), "IWInbox");
  const std::vector<Row> rows = Rows(inbox, "IWINBOX");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(Subjects(inbox, "IWINBOX"),
            (std::vector<std::string>{"unread with file", "read", "replied", "forwarded"}));
  EXPECT_EQ(rows[0].icon, "<div valign=\"middle\">" + Icon("atm.gif", "Attachment") +
                              Icon("ue.gif", "Unread") + "</div>");
  EXPECT_EQ(rows[1].icon, "<div valign=\"middle\">" + Icon("re.gif", "Read") + "</div>");
  EXPECT_EQ(rows[2].icon, "<div valign=\"middle\">" + Icon("rpe.gif", "Replied") + "</div>");
  EXPECT_EQ(rows[3].icon, "<div valign=\"middle\">" + Icon("rpe.gif", "Forwarded") + "</div>");
  // The sender by name, the address as its tooltip.
  EXPECT_EQ(rows[0].address, "Anna");
  EXPECT_EQ(rows[0].title, "Anna &lt;anna@x.test&gt;");
  EXPECT_TRUE(rows[0].bold);
  EXPECT_FALSE(rows[1].bold);
  EXPECT_EQ(rows[1].date, "01/02/2025 10:00:2");
  // The sender and the subject both open the message of their row.
  EXPECT_NE(inbox.body.find(Click("IWINBOX", "1_2")), std::string::npos);
  EXPECT_NE(inbox.body.find(Click("IWINBOX", "1_3")), std::string::npos);

  const std::string header = WithoutTags(Grid(inbox, "IWINBOX").substr(0, 2000));
  EXPECT_NE(header.find("Select&nbsp;All"), std::string::npos) << header;
  EXPECT_NE(header.find("From"), std::string::npos);
  EXPECT_NE(header.find("Received"), std::string::npos);
  EXPECT_NE(Grid(inbox, "IWINBOX").find("BGColor=\"#ECE9D8\""), std::string::npos);
  EXPECT_EQ(inbox.body.find(kNoMessages), std::string::npos);
  // Its own entry is a label with the counter; the others are links.
  EXPECT_EQ(Element(inbox, "IWINBOXLINK").substr(0, 5), "<span");
  EXPECT_NE(Element(inbox, "IWINBOXLINK").find(">Inbox&nbsp;(1)<"), std::string::npos);
  EXPECT_NE(Element(inbox, "IWSAVEDLINK").find(">Saved (1)<"), std::string::npos);
  EXPECT_EQ(Element(inbox, "IWDELLINK").substr(0, 2), "<a");
  EXPECT_NE(inbox.body.find("ID=\"IWSAVE\""), std::string::npos);
  EXPECT_NE(inbox.body.find("ID=\"IWDELETE\""), std::string::npos);
  EXPECT_EQ(inbox.body.find("ID=\"IWUNDELETE\""), std::string::npos);
  EXPECT_NE(inbox.body.find("id=\"Clock\""), std::string::npos);
  EXPECT_NE(inbox.body.find("tick();"), std::string::npos);
  EXPECT_NE(Element(inbox, "IWUSERNAME").find(">Admin<"), std::string::npos);
}

TEST_F(FolderPagesTest, EmptyFolderShowsTheHeaderAndTheNoMessagesLabel) {
  AddStatuses({0, 1});
  Start();
  const Answer sent = Folder("IWSENTLINK");
  ASSERT_EQ(sent.PageName(), "IWSent");
  EXPECT_TRUE(Rows(sent, "IWSENT").empty());
  EXPECT_NE(Grid(sent, "IWSENT").find("Select&nbsp;All"), std::string::npos);
  EXPECT_NE(sent.body.find(kNoMessages), std::string::npos);
  EXPECT_EQ(sent.body.find("ID=\"IWSAVE\""), std::string::npos);
}

TEST_F(FolderPagesTest, OutboxAndSentShowTheRecipientAndTheirOwnIcons) {
  AddMessages({{5, "waiting", "me@x.test", "Carla <carla@x.test>"},
               {6, "gone", "me@x.test", "Dan <dan@x.test>", true}});
  Start();
  const Answer outbox = Folder("IWOUTBOXLINK");
  ASSERT_EQ(outbox.PageName(), "IWOutbox");
  const std::string header = WithoutTags(Grid(outbox, "IWOUTBOX").substr(0, 2000));
  EXPECT_NE(header.find("To"), std::string::npos);
  EXPECT_NE(header.find("Sent"), std::string::npos);
  EXPECT_EQ(header.find("From"), std::string::npos);
  std::vector<Row> rows = Rows(outbox, "IWOUTBOX");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].address, "Carla");
  EXPECT_EQ(rows[0].title, "Carla &lt;carla@x.test&gt;");
  EXPECT_EQ(rows[0].icon,
            "<div valign=\"middle\">" + Icon("re.gif", "Waiting to be sent") + "</div>");
  EXPECT_NE(Element(outbox, "IWOUTBOXLINK").find(">Outbox&nbsp;(1)<"), std::string::npos);

  const Answer sent = browser_->Post("IWOutbox", "IWSENTLINK");
  rows = Rows(sent, "IWSENT");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].address, "Dan");
  EXPECT_EQ(rows[0].icon, "<div valign=\"middle\">" + Icon("atm.gif", "Attachment") +
                              Icon("re.gif", "Sent") + "</div>");
}

TEST_F(FolderPagesTest, DeletingRowsOneAndTwoMovesBothToDeleted) {
  AddStatuses({0, 1, 2});
  Start();
  const Answer inbox = Inbox();
  const Answer after = Act(inbox, "IWInbox", "IWDELETE", {1, 2});
  EXPECT_EQ(after.PageName(), "IWInbox");
  EXPECT_EQ(Status(1), 4);
  EXPECT_EQ(Status(2), 4);
  EXPECT_EQ(Status(3), 2);
  EXPECT_EQ(Subjects(after, "IWINBOX"), std::vector<std::string>{"s3"});
  EXPECT_NE(Element(after, "IWINBOXLINK").find(">Inbox<"), std::string::npos);

  const Answer deleted = browser_->Post("IWInbox", "IWDELLINK");
  ASSERT_EQ(deleted.PageName(), "IWDeleted");
  const std::vector<Row> rows = Rows(deleted, "IWDELETED");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].icon, "<div valign=\"middle\">" + Icon("re.gif", "Deleted") + "</div>");
  EXPECT_NE(deleted.body.find("ID=\"IWUNDELETE\""), std::string::npos);
  EXPECT_FALSE(rows[0].bold);  // unread before deletion, but Deleted shows no state
}

TEST_F(FolderPagesTest, SavingKeepsTheReadStateAndSavedFromDeletedIsRead) {
  AddStatuses({2, 0, 4, 1});
  Start();
  const Answer inbox = Inbox();
  const Answer after = Act(inbox, "IWInbox", "IWSAVE", {1, 2});
  EXPECT_EQ(Status(1), 9);
  EXPECT_EQ(Status(2), 7);
  EXPECT_EQ(Subjects(after, "IWINBOX"), std::vector<std::string>{"s4"});
  EXPECT_NE(Element(after, "IWSAVEDLINK").find(">Saved (1)<"), std::string::npos);

  const Answer deleted = browser_->Post("IWInbox", "IWDELLINK");
  Act(deleted, "IWDeleted", "IWSAVE", {1});
  EXPECT_EQ(Status(3), 8);

  const Answer saved = browser_->Post("IWDeleted", "IWSAVEDLINK");
  ASSERT_EQ(saved.PageName(), "IWSaved");
  const std::vector<Row> rows = Rows(saved, "IWSAVED");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].icon, "<div valign=\"middle\">" + Icon("rpe.gif", "Replied") + "</div>");
  EXPECT_EQ(rows[1].icon, "<div valign=\"middle\">" + Icon("ue.gif", "Unread") + "</div>");
  EXPECT_TRUE(rows[1].bold);
  EXPECT_EQ(rows[2].icon, "<div valign=\"middle\">" + Icon("re.gif", "Read") + "</div>");
  EXPECT_EQ(saved.body.find("ID=\"IWSAVE\""), std::string::npos);
  // Saved's Delete goes to Deleted.
  Act(saved, "IWSaved", "IWDELETE", {2});
  EXPECT_EQ(Status(2), 4);
}

TEST_F(FolderPagesTest, UndeleteReturnsAMessageToTheInboxAsRead) {
  AddStatuses({6, 0});
  Start();
  Answer sent = Folder("IWSENTLINK");
  Act(sent, "IWSent", "IWDELETE", {1});
  ASSERT_EQ(Status(1), 4);
  const Answer deleted = browser_->Post("IWSent", "IWDELLINK");
  const Answer after = Act(deleted, "IWDeleted", "IWUNDELETE", {1});
  EXPECT_EQ(Status(1), 1);
  EXPECT_TRUE(Rows(after, "IWDELETED").empty());
  EXPECT_NE(after.body.find(kNoMessages), std::string::npos);
  const Answer inbox = browser_->Post("IWDeleted", "IWINBOXLINK");
  EXPECT_EQ(Subjects(inbox, "IWINBOX"), (std::vector<std::string>{"s1", "s2"}));
}

TEST_F(FolderPagesTest, SelectAllChecksEveryRowUntilClickedAgainOrAnActionRuns) {
  AddStatuses({0, 1, 1});
  Start();
  Answer inbox = Inbox();
  for (const Row& row : Rows(inbox, "IWINBOX")) EXPECT_FALSE(row.checked);
  inbox = browser_->Post("IWInbox", "IWSELECTALL", {{"IWSELECTALL", "On"}});
  std::vector<Row> rows = Rows(inbox, "IWINBOX");
  ASSERT_EQ(rows.size(), 3u);
  for (const Row& row : rows) EXPECT_TRUE(row.checked);
  EXPECT_NE(Element(inbox, "IWSELECTALL").find("CHECKED"), std::string::npos);

  inbox = browser_->Post("IWInbox", "IWSELECTALL");
  for (const Row& row : Rows(inbox, "IWINBOX")) EXPECT_FALSE(row.checked);

  inbox = browser_->Post("IWInbox", "IWSELECTALL", {{"IWSELECTALL", "On"}});
  // The browser posts every box it shows checked; the user unchecked the last.
  const Answer after = Act(inbox, "IWInbox", "IWSAVE", {1, 2});
  EXPECT_EQ(Status(1), 7);
  EXPECT_EQ(Status(2), 8);
  EXPECT_EQ(Status(3), 1);
  rows = Rows(after, "IWINBOX");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_FALSE(rows[0].checked);
  EXPECT_EQ(Element(after, "IWSELECTALL").find("CHECKED"), std::string::npos);
}

TEST_F(FolderPagesTest, SelectAllIsOffWhenThePageIsVisitedAgain) {
  AddStatuses({0});
  Start();
  Inbox();
  browser_->Post("IWInbox", "IWSELECTALL", {{"IWSELECTALL", "On"}});
  // A new message leaves the folder page, and the flag goes off with it.
  EXPECT_EQ(browser_->Post("IWInbox", "IWCREATEEMAIL").PageName(), "IWNewEmail");
  const Answer back = browser_->Post("IWNewEmail", "IWINBOXLINK");
  ASSERT_EQ(Rows(back, "IWINBOX").size(), 1u);
  EXPECT_FALSE(Rows(back, "IWINBOX")[0].checked);
  browser_->Post("IWInbox", "IWSELECTALL", {{"IWSELECTALL", "On"}});
  // The settings page leaves the folder page too.
  EXPECT_EQ(browser_->Post("IWInbox", "IWSETTINGS").PageName(), "IWAdminSettings");
  EXPECT_EQ(browser_->Post("IWAdminSettings", "IWHOMELINK").PageName(), "IWMain");
  const Answer inbox = browser_->Post("IWMain", "IWINBOXLINK");
  ASSERT_EQ(Rows(inbox, "IWINBOX").size(), 1u);
  EXPECT_FALSE(Rows(inbox, "IWINBOX")[0].checked);
}

TEST_F(FolderPagesTest, PurgeRemovesOnlyFilesNoLiveRecordNeedsAndThatTheProgramNamed) {
  const std::filesystem::path outside = std::filesystem::path(config_.UserDirectories) / "x.eml";
  std::ofstream(outside) << "not a message of this store";
  AddMessages({{4, "own file", "", "", false, "a1.eml"},
               {4, "shared file", "", "", false, "shared.eml"},
               {1, "still in the inbox", "", "", false, "shared.eml"},
               {4, "foreign name", "", "", false, "../x.eml"},
               {0, "unread"}});
  Start();
  const Answer deleted = Folder("IWDELLINK");
  ASSERT_EQ(Rows(deleted, "IWDELETED").size(), 3u);
  ASSERT_EQ(Act(deleted, "IWDeleted", "IWDELETE", {1, 2, 3}).PageName(), "IWDeleted");
  const Answer after = browser_->Post("IWDeleted", "IWCONFIRMPURGE");
  EXPECT_EQ(after.PageName(), "IWDeleted");
  EXPECT_EQ(Status(1), 99);
  EXPECT_EQ(Status(2), 99);
  EXPECT_EQ(Status(3), 1);
  EXPECT_EQ(Status(4), 99);
  EXPECT_EQ(Record(1).FileName, "a1.eml");  // the record stays
  EXPECT_FALSE(std::filesystem::exists(Store() + "a1.eml"));
  EXPECT_TRUE(std::filesystem::exists(Store() + "shared.eml"));
  EXPECT_TRUE(std::filesystem::exists(outside));
  EXPECT_TRUE(Rows(after, "IWDELETED").empty());
  EXPECT_NE(after.body.find(kNoMessages), std::string::npos);
  // No folder lists or counts the purged records.
  const Answer inbox = browser_->Post("IWDeleted", "IWINBOXLINK");
  EXPECT_EQ(Subjects(inbox, "IWINBOX"), (std::vector<std::string>{"still in the inbox", "unread"}));
  EXPECT_NE(Element(inbox, "IWINBOXLINK").find(">Inbox&nbsp;(1)<"), std::string::npos);
}

TEST_F(FolderPagesTest, ActionsWithNothingCheckedChangeNothing) {
  AddStatuses({0, 4});
  Start();
  Inbox();
  const auto before = std::filesystem::last_write_time(Store() + "Emails.Dat");
  const Answer after = browser_->Post("IWInbox", "IWDELETE");
  EXPECT_EQ(after.PageName(), "IWInbox");
  EXPECT_EQ(Status(1), 0);
  EXPECT_EQ(std::filesystem::last_write_time(Store() + "Emails.Dat"), before);
  ASSERT_EQ(browser_->Post("IWInbox", "IWDELLINK").PageName(), "IWDeleted");
  browser_->Post("IWDeleted", "IWDELETE");
  EXPECT_EQ(Status(2), 4);
  EXPECT_TRUE(std::filesystem::exists(Store() + "m2.eml"));
}

TEST_F(FolderPagesTest, TheSecondSessionOfAUserIsToldItsRowIsGone) {
  AddStatuses({0, 1});
  Start();
  TestBrowser first = NewBrowser();
  TestBrowser second = NewBrowser();
  const Answer first_inbox = OpenFolder(first, "IWINBOXLINK");
  const Answer second_inbox = OpenFolder(second, "IWINBOXLINK");
  ASSERT_EQ(Rows(second_inbox, "IWINBOX").size(), 2u);

  Act(first_inbox, "IWInbox", "IWDELETE", {1}, &first);
  ASSERT_EQ(Status(1), 4);
  // The second still shows the message in its Inbox and saves it: skipped, not saved
  // out of the Deleted folder.
  const Answer after = Act(second_inbox, "IWInbox", "IWSAVE", {1, 2}, &second);
  EXPECT_TRUE(after.HasAlert("Unable to save email with the index of: 1")) << after.body;
  EXPECT_EQ(Status(1), 4);
  EXPECT_EQ(Status(2), 8);
  EXPECT_TRUE(Rows(after, "IWINBOX").empty());

  // A purge in one session and a purge of the same row in the other.
  Answer first_deleted = first.Post("IWInbox", "IWDELLINK");
  Answer second_deleted = second.Post("IWInbox", "IWDELLINK");
  Act(first_deleted, "IWDeleted", "IWDELETE", {1}, &first);
  first.Post("IWDeleted", "IWCONFIRMPURGE");
  ASSERT_EQ(Status(1), 99);
  const Answer purged = Act(second_deleted, "IWDeleted", "IWUNDELETE", {1}, &second);
  EXPECT_TRUE(purged.HasAlert("Unable to restore email with the index of: 1"));
  EXPECT_EQ(Status(1), 99);
}

TEST_F(FolderPagesTest, ARecordChangedByAnotherHolderAfterTheRenderIsSkipped) {
  AddStatuses({0, 0, 1});
  Start();
  const Answer inbox = Inbox();
  // The command line or a fetch moves record 1 on and puts another file into record 2.
  ChangeRecord(1, [](TEmailRecord& record) { record.Status = 6; });
  ChangeRecord(2, [](TEmailRecord& record) { record.FileName = "other.eml"; });
  AddStatuses({0});  // and new mail arrives
  const Answer after = Act(inbox, "IWInbox", "IWDELETE", {1, 2, 3});
  EXPECT_TRUE(after.HasAlert("Unable to delete email with the index of: 1"));
  EXPECT_TRUE(after.HasAlert("Unable to delete email with the index of: 2"));
  EXPECT_FALSE(after.HasAlert("Unable to delete email with the index of: 3"));
  EXPECT_EQ(Status(1), 6);
  EXPECT_EQ(Status(2), 0);
  EXPECT_EQ(Status(3), 4);
  EXPECT_EQ(Status(4), 0);
  // The render after the action shows the index as it is now.
  EXPECT_EQ(Subjects(after, "IWINBOX"), (std::vector<std::string>{"s2", "s4"}));
}

TEST_F(FolderPagesTest, ARenderShowsMailAnotherHolderAddedSince) {
  AddStatuses({0});
  Start();
  ASSERT_EQ(Rows(Inbox(), "IWINBOX").size(), 1u);
  AddStatuses({0, 6});
  const Answer again = browser_->Get("/index");
  EXPECT_EQ(Subjects(again, "IWINBOX"), (std::vector<std::string>{"s1", "s2"}));
  EXPECT_NE(Element(again, "IWINBOXLINK").find(">Inbox&nbsp;(2)<"), std::string::npos);
}

TEST_F(FolderPagesTest, MessageTextsAreDataInEveryCell) {
  AddMessages({{0, "<script>alert(1)</script>", "<img src=x onerror=alert(2)>", "", false}});
  ChangeRecord(1, [](TEmailRecord& record) { record.DateText = "<b>today</b>"; });
  AddMessages({{5, "\" onmouseover=\"alert(3)", "me", "<i>Eve</i> & co"}});
  Start();
  const Answer inbox = Inbox();
  EXPECT_EQ(inbox.body.find("<script>alert(1)"), std::string::npos);
  EXPECT_EQ(inbox.body.find("<img src=x"), std::string::npos);
  EXPECT_EQ(inbox.body.find("<b>today"), std::string::npos);
  const std::vector<Row> rows = Rows(inbox, "IWINBOX");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].subject, "&lt;script&gt;alert(1)&lt;/script&gt;");
  EXPECT_EQ(rows[0].title, "&lt;img src=x onerror=alert(2)&gt;");
  EXPECT_EQ(rows[0].date, "&lt;b&gt;today&lt;/b&gt;");
  // The check box's label is an attribute value and escaped as one.
  EXPECT_NE(Grid(inbox, "IWINBOX").find("aria-label=\"&lt;script&gt;alert(1)&lt;/script&gt;\""),
            std::string::npos)
      << Grid(inbox, "IWINBOX");

  const Answer outbox = browser_->Post("IWInbox", "IWOUTBOXLINK");
  EXPECT_EQ(outbox.body.find("\" onmouseover=\"alert(3)"), std::string::npos);
  EXPECT_EQ(outbox.body.find("<i>Eve"), std::string::npos);
  ASSERT_EQ(Rows(outbox, "IWOUTBOX").size(), 1u);
  EXPECT_EQ(Rows(outbox, "IWOUTBOX")[0].title, "&lt;i&gt;Eve&lt;/i&gt; &amp; co");
}

TEST_F(FolderPagesTest, OpeningAMessageMarksOnlyUnreadOnesReadAndShowsTheViewPage) {
  AddStatuses({0, 0, 6, 7});
  Start();
  Inbox();
  const Answer view = browser_->Post("IWInbox", "IWINBOX", {}, "2_2");
  EXPECT_EQ(view.PageName(), "IWViewMail");
  EXPECT_EQ(Status(2), 1);
  EXPECT_EQ(Status(1), 0);
  const Answer inbox = browser_->Post("IWViewMail", "IWINBOXLINK");
  ASSERT_EQ(inbox.PageName(), "IWInbox");
  EXPECT_NE(Element(inbox, "IWINBOXLINK").find(">Inbox&nbsp;(1)<"), std::string::npos);
  EXPECT_NE(Rows(inbox, "IWINBOX")[1].icon.find("re.gif"), std::string::npos);

  browser_->Post("IWInbox", "IWSENTLINK");
  EXPECT_EQ(browser_->Post("IWSent", "IWSENT", {}, "1_2").PageName(), "IWViewMail");
  EXPECT_EQ(Status(3), 6);
  browser_->Post("IWViewMail", "IWSAVEDLINK");
  EXPECT_EQ(browser_->Post("IWSaved", "IWSAVED", {}, "1_2").PageName(), "IWViewMail");
  EXPECT_EQ(Status(4), 8);
}

TEST_F(FolderPagesTest, OpeningAMessageAnotherHolderReplacedSaysSoAndStays) {
  AddStatuses({0});
  Start();
  Inbox();
  ChangeRecord(1, [](TEmailRecord& record) { record.FileName = "other.eml"; });
  const Answer after = browser_->Post("IWInbox", "IWINBOX", {}, "1_2");
  EXPECT_EQ(after.PageName(), "IWInbox");
  EXPECT_TRUE(after.HasAlert("Unable to view email with the index of: 1"));
  EXPECT_EQ(Status(1), 0);
}

TEST_F(FolderPagesTest, AMessageWithoutAnAddressCanStillBeOpened) {
  AddMessages({{0, "no sender", ""}});
  Start();
  const Answer inbox = Inbox();
  ASSERT_EQ(Rows(inbox, "IWINBOX").size(), 1u);
  EXPECT_EQ(Rows(inbox, "IWINBOX")[0].address, "(unknown)");
  EXPECT_NE(inbox.body.find(Click("IWINBOX", "1_2")), std::string::npos);
}

class FolderPagingTest : public FolderPagesTest {
 protected:
  FolderPagingTest() { config_.FolderPageSize = 3; }

  // Eight Inbox messages i1..i8 with records of other folders in between.
  void AddEight() {
    std::vector<Message> messages;
    for (int i = 1; i <= 8; ++i) {
      messages.push_back({i % 2 == 0 ? 1 : 0, "i" + std::to_string(i)});
      if (i % 3 == 0) messages.push_back({6, "sent" + std::to_string(i)});
    }
    AddMessages(messages);
  }
  static std::string PageInfo(const Answer& answer) {
    const std::string element = Element(answer, "IWPAGEINFO");
    return WithoutTags(element.substr(0, element.rfind("</")));
  }
  // A link is written as an A element; a disabled one as a plain label.
  static bool IsLink(const Answer& answer, const std::string& id) {
    return Element(answer, id).substr(0, 2) == "<a";
  }
};

TEST_F(FolderPagingTest, TheNewestPageComesFirstAndOlderAndNewerTurnIt) {
  AddEight();
  Start();
  Answer inbox = Inbox();
  EXPECT_EQ(Subjects(inbox, "IWINBOX"), (std::vector<std::string>{"i6", "i7", "i8"}));
  EXPECT_EQ(PageInfo(inbox), "6-8&nbsp;of&nbsp;8");
  EXPECT_TRUE(IsLink(inbox, "IWOLDER"));
  EXPECT_FALSE(IsLink(inbox, "IWNEWER"));
  EXPECT_NE(Element(inbox, "IWOLDER").find(">Older<"), std::string::npos);

  inbox = browser_->Post("IWInbox", "IWOLDER");
  EXPECT_EQ(Subjects(inbox, "IWINBOX"), (std::vector<std::string>{"i3", "i4", "i5"}));
  EXPECT_EQ(PageInfo(inbox), "3-5&nbsp;of&nbsp;8");
  EXPECT_TRUE(IsLink(inbox, "IWOLDER"));
  EXPECT_TRUE(IsLink(inbox, "IWNEWER"));

  inbox = browser_->Post("IWInbox", "IWOLDER");
  EXPECT_EQ(Subjects(inbox, "IWINBOX"), (std::vector<std::string>{"i1", "i2"}));
  EXPECT_EQ(PageInfo(inbox), "1-2&nbsp;of&nbsp;8");
  EXPECT_FALSE(IsLink(inbox, "IWOLDER"));
  // The action reaches the rows of the page shown.
  inbox = Act(inbox, "IWInbox", "IWDELETE", {2});
  EXPECT_EQ(Record(2).Subject, "i2");
  EXPECT_EQ(Status(2), 4);
  // Seven left: the oldest page now holds one.
  EXPECT_EQ(Subjects(inbox, "IWINBOX"), std::vector<std::string>{"i1"});
  EXPECT_EQ(PageInfo(inbox), "1-1&nbsp;of&nbsp;7");

  inbox = browser_->Post("IWInbox", "IWNEWER");
  EXPECT_EQ(Subjects(inbox, "IWINBOX"), (std::vector<std::string>{"i3", "i4", "i5"}));
  EXPECT_EQ(PageInfo(inbox), "2-4&nbsp;of&nbsp;7");
  inbox = browser_->Post("IWInbox", "IWNEWER");
  EXPECT_EQ(Subjects(inbox, "IWINBOX"), (std::vector<std::string>{"i6", "i7", "i8"}));
  // The counter counts the whole folder.
  EXPECT_NE(Element(inbox, "IWINBOXLINK").find(">Inbox&nbsp;(4)<"), std::string::npos);
}

TEST_F(FolderPagingTest, AFolderThatFitsOnOnePageHasNoPager) {
  AddStatuses({0, 1, 1});
  Start();
  const Answer inbox = Inbox();
  EXPECT_EQ(Rows(inbox, "IWINBOX").size(), 3u);
  EXPECT_EQ(inbox.body.find("ID=\"IWOLDER\""), std::string::npos);
  EXPECT_EQ(inbox.body.find("ID=\"IWNEWER\""), std::string::npos);
  EXPECT_EQ(inbox.body.find("ID=\"IWPAGEINFO\""), std::string::npos);
}

TEST_F(FolderPagingTest, PageSizeZeroListsTheWholeFolder) {
  config_.FolderPageSize = 0;
  AddEight();
  Start();
  const Answer inbox = Inbox();
  EXPECT_EQ(Rows(inbox, "IWINBOX").size(), 8u);
  EXPECT_EQ(inbox.body.find("ID=\"IWOLDER\""), std::string::npos);
}

TEST_F(FolderPagingTest, AHugeFolderGivesAPageOfItsRowsOnly) {
  config_.FolderPageSize = 100;
  {
    TUserEmailDB index;
    ASSERT_TRUE(index.Open(Store()));
    TEmailRecord record;
    record.Sender = "Anna Berg <anna@x.test>";
    for (int i = 1; i <= 100000; ++i) {
      record.Subject = "message " + std::to_string(i);
      record.FileName = "m" + std::to_string(i) + ".eml";
      record.Status = i % 10 == 0 ? 6 : 1;
      ASSERT_TRUE(index.AddEmail(record));
    }
    index.Save(Store());
  }
  Start();
  const Answer inbox = Inbox();
  const std::vector<Row> rows = Rows(inbox, "IWINBOX");
  ASSERT_EQ(rows.size(), 100u);
  EXPECT_EQ(rows.front().subject, "message 99889");
  EXPECT_EQ(rows.back().subject, "message 99999");
  EXPECT_EQ(PageInfo(inbox), "89901-90000&nbsp;of&nbsp;90000");
  EXPECT_LT(inbox.body.size(), 200u * 1024u);
}

// What a page says after an action: its status region, tags removed.
std::string StatusLine(const Answer& answer) {
  const std::string mark = "role=\"status\" aria-live=\"polite\">";
  const auto at = answer.body.find(mark);
  if (at == std::string::npos) return "(no status region)";
  const auto start = at + mark.size();
  const std::string region = answer.body.substr(start, answer.body.find("</div>", start) - start);
  return std::regex_replace(WithoutTags(region), std::regex("\\s+"), " ");
}

TEST_F(FolderPagesTest, AnActionWithNothingTickedSaysTickAMessageFirst) {
  AddStatuses({0, 4});
  Start();
  Inbox();
  for (const char* action : {"IWDELETE", "IWSAVE"}) {
    const Answer after = browser_->Post("IWInbox", action);
    EXPECT_EQ(StatusLine(after), "Tick a message first.") << action;
    EXPECT_EQ(after.body.find("ID=\"IWUNDO\""), std::string::npos);
  }
  // Said once: the next render of the page has an empty status region.
  EXPECT_EQ(StatusLine(browser_->Get("/index")), "");
  ASSERT_EQ(browser_->Post("IWInbox", "IWDELLINK").PageName(), "IWDeleted");
  EXPECT_EQ(StatusLine(browser_->Post("IWDeleted", "IWUNDELETE")), "Tick a message first.");
}

TEST_F(FolderPagesTest, AMoveSaysHowManyAndItsUndoPutsBackExactlyThoseOnce) {
  AddStatuses({0, 1, 2});
  Start();
  const Answer after = Act(Inbox(), "IWInbox", "IWDELETE", {1, 3});
  EXPECT_EQ(StatusLine(after), "2 messages moved to Deleted.");
  EXPECT_NE(Element(after, "IWUNDO").find("VALUE=\"Undo\""), std::string::npos);
  ASSERT_EQ(Status(1), 4);
  ASSERT_EQ(Status(3), 4);

  const Answer undone = browser_->Post("IWInbox", "IWUNDO");
  EXPECT_EQ(StatusLine(undone), "2 messages moved back to Inbox.");
  EXPECT_EQ(Status(1), 0);  // unread again, as it was
  EXPECT_EQ(Status(2), 1);
  EXPECT_EQ(Status(3), 2);
  EXPECT_EQ(Subjects(undone, "IWINBOX"), (std::vector<std::string>{"s1", "s2", "s3"}));
  // One shot: the Undo is not offered again, and a replayed post of it moves nothing.
  EXPECT_EQ(undone.body.find("ID=\"IWUNDO\""), std::string::npos);
  Act(undone, "IWInbox", "IWDELETE", {2});
  browser_->Get("/index");
  browser_->Post("IWInbox", "IWUNDO");
  EXPECT_EQ(Status(2), 4);

  const Answer saved = Act(browser_->Get("/index"), "IWInbox", "IWSAVE", {1});
  EXPECT_EQ(StatusLine(saved), "1 message moved to Saved.");
}

TEST_F(FolderPagesTest, UndoLeavesAMessageAnotherHolderChangedSinceTheMove) {
  AddStatuses({0, 1, 1});
  Start();
  const Answer after = Act(Inbox(), "IWInbox", "IWDELETE", {1, 2, 3});
  ASSERT_EQ(StatusLine(after), "3 messages moved to Deleted.");
  // Meanwhile another session purges record 1 and saves record 2 out of Deleted.
  ChangeRecord(1, [](TEmailRecord& record) { record.Status = 99; });
  ChangeRecord(2, [](TEmailRecord& record) { record.Status = 8; });
  const Answer undone = browser_->Post("IWInbox", "IWUNDO");
  EXPECT_EQ(StatusLine(undone), "1 message moved back to Inbox.");
  EXPECT_EQ(Status(1), 99);
  EXPECT_EQ(Status(2), 8);
  EXPECT_EQ(Status(3), 1);
}

TEST_F(FolderPagesTest, PurgeWithoutItsConfirmationDestroysNothing) {
  AddStatuses({4, 4, 4});
  Start();
  const Answer deleted = Folder("IWDELLINK");
  // A forged confirmation before any question was asked.
  browser_->Post("IWDeleted", "IWCONFIRMPURGE");
  const Answer asked = Act(browser_->Get("/index"), "IWDeleted", "IWDELETE", {1, 3});
  EXPECT_EQ(Status(1), 4);
  EXPECT_EQ(Status(3), 4);
  EXPECT_TRUE(std::filesystem::exists(Store() + "m1.eml"));
  EXPECT_NE(asked.body.find("Delete 2 messages for good? They cannot be restored."),
            std::string::npos);
  EXPECT_NE(Element(asked, "IWCONFIRMPURGE").find("VALUE=\"Delete for good\""), std::string::npos);
  const std::vector<Row> rows = Rows(asked, "IWDELETED");
  EXPECT_TRUE(rows[0].checked && !rows[1].checked && rows[2].checked);

  // Keeping them, or doing anything else, forgets the question.
  const Answer kept = browser_->Post("IWDeleted", "IWCANCELPURGE");
  EXPECT_EQ(kept.body.find("ID=\"IWCONFIRMPURGE\""), std::string::npos);
  browser_->Post("IWDeleted", "IWCONFIRMPURGE");
  EXPECT_EQ(Status(1), 4);
  EXPECT_EQ(Status(3), 4);

  Act(browser_->Get("/index"), "IWDeleted", "IWDELETE", {2});
  const Answer purged = browser_->Post("IWDeleted", "IWCONFIRMPURGE");
  EXPECT_EQ(StatusLine(purged), "1 message deleted for good.");
  EXPECT_EQ(Status(2), 99);
  EXPECT_EQ(Status(1), 4);
  EXPECT_FALSE(std::filesystem::exists(Store() + "m2.eml"));
}

TEST_F(FolderPagingTest, NewestFirstRowsActOnTheMessagesTheUserSawOnEveryPage) {
  AddEight();  // i1..i8 are index numbers 1 2 3 5 6 7 9 10
  Start();
  Inbox();
  Answer inbox = browser_->Post("IWInbox", "IWSORTORDER");
  EXPECT_EQ(Subjects(inbox, "IWINBOX"), (std::vector<std::string>{"i8", "i7", "i6"}));
  EXPECT_NE(Element(inbox, "IWSORTORDER").find(">Show oldest first<"), std::string::npos);
  inbox = Act(inbox, "IWInbox", "IWDELETE", {1, 3});
  EXPECT_EQ(Status(10), 4);
  EXPECT_EQ(Status(9), 0);
  EXPECT_EQ(Status(7), 4);
  EXPECT_EQ(Subjects(inbox, "IWINBOX"), (std::vector<std::string>{"i7", "i5", "i4"}));
  inbox = browser_->Post("IWInbox", "IWOLDER");
  EXPECT_EQ(Subjects(inbox, "IWINBOX"), (std::vector<std::string>{"i3", "i2", "i1"}));
  Act(inbox, "IWInbox", "IWSAVE", {2});
  EXPECT_EQ(Status(2), 8);
  EXPECT_EQ(Status(1), 0);
  EXPECT_EQ(Status(3), 0);

  // The choice is the user's: a new session finds it in the mail store.
  EXPECT_TRUE(std::filesystem::exists(Store() + "Preferences.toml"));
  EXPECT_EQ(Subjects(Inbox(), "IWINBOX"), (std::vector<std::string>{"i7", "i5", "i4"}));
  inbox = browser_->Post("IWInbox", "IWSORTORDER");
  EXPECT_EQ(Subjects(inbox, "IWINBOX"), (std::vector<std::string>{"i4", "i5", "i7"}));
}

TEST_F(FolderPagingTest, ThePreferencesFileSetsThePageSizeAndADamagedOneGivesTheDefaults) {
  AddEight();
  std::ofstream(Store() + "Preferences.toml") << "[Folders]\nPageSize = 2\nNewestFirst = true\n";
  Start();
  EXPECT_EQ(Subjects(Inbox(), "IWINBOX"), (std::vector<std::string>{"i8", "i7"}));
  std::ofstream(Store() + "Preferences.toml") << "[Folders]\nPageSize = \"all of them\"\n";
  EXPECT_EQ(Subjects(Inbox(), "IWINBOX"), (std::vector<std::string>{"i6", "i7", "i8"}));
  EXPECT_TRUE(LogHas("Preferences.toml not used, defaults instead: PageSize is not"));
}

TEST_F(FolderPagingTest, ARowsPerPageChoiceIsKeptAndAForgedSizeIsIgnored) {
  AddEight();
  Start();
  Inbox();
  // A size the page never offered (a forged post) changes nothing.
  Answer inbox = browser_->Post("IWInbox", "IWPAGESIZE", {{"IWPAGESIZE", "1000000"}});
  EXPECT_EQ(Rows(inbox, "IWINBOX").size(), 3u);
  EXPECT_FALSE(std::filesystem::exists(Store() + "Preferences.toml"));
  // Offered: the server's 3, then 25, 50 ...; item 1 is 25.
  inbox = browser_->Post("IWInbox", "IWPAGESIZE", {{"IWPAGESIZE", "1"}});
  EXPECT_EQ(Rows(inbox, "IWINBOX").size(), 8u);
  EXPECT_NE(Element(inbox, "IWPAGESIZE").find("<option VALUE=\"0\" SELECTED>25<"),
            std::string::npos)
      << Element(inbox, "IWPAGESIZE");
  EXPECT_EQ(Rows(Inbox(), "IWINBOX").size(), 8u);  // the next session too
}

}  // namespace
}  // namespace kestrune::testing
