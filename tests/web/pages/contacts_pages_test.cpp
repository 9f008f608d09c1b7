// The contacts page and the recipient picker over HTTP on a Contacts.Dat built here: the
// list as data, add with its refusals, edit and update of the contact shown even after
// another save moved it, delete of several at once, and the picker's To, Cc and Bcc.
#include "web/pages/contacts_pages.h"

#include <gtest/gtest.h>

#include <regex>

#include "compose_probe.h"
#include "store/contacts_db.h"
#include "web_app_fixture.h"

namespace kestrune::testing {
namespace {

struct ContactRow {
  std::vector<std::string> boxes;  // the check boxes' field names
  std::string name;
  std::string address;
};

class ContactsPagesTest : public WebAppTest {
 protected:
  ContactsPagesTest() { pages_ = ComposeProbe::With(pages_); }

  std::string Store() const { return config_.UserDirectories + "Admin/"; }
  ComposeState& Compose() const { return ComposeProbe::Last()->Compose; }

  void AddContacts(const std::vector<std::pair<std::string, std::string>>& contacts) {
    TContactsDB db;
    ASSERT_TRUE(db.Open(Store()));
    for (const auto& [name, address] : contacts) ASSERT_TRUE(db.AddContact(name, address));
    db.Save(Store());
  }
  // The file's contacts as "name <address>", in file order.
  std::vector<std::string> Saved() const {
    TContactsDB db;
    EXPECT_TRUE(db.Open(Store()));
    std::vector<std::string> all;
    for (int i = 1; i <= db.GetCount(); ++i) {
      TContactRecord contact;
      if (db.GetContact(i, contact)) {
        all.push_back(contact.ContactName + " <" + contact.ContactEmail + ">");
      }
    }
    return all;
  }

  Answer LogInHome() {
    Start();
    browser_ = std::make_unique<TestBrowser>(NewBrowser());
    browser_->Get("/");
    const Answer home = LogIn(*browser_, "admin", "secretpw");
    EXPECT_EQ(home.PageName(), "IWMain");
    return home;
  }
  Answer OpenContacts() {
    LogInHome();
    return browser_->Post("IWMain", "IWEDITCONTACTS");
  }
  Answer OpenPicker() {
    LogInHome();
    EXPECT_EQ(browser_->Post("IWMain", "IWFINDMSG").PageName(), "IWFind");
    return browser_->Post("IWFind", "IWOPENPICKER");
  }
  Answer Post(const std::string& action,
              const std::vector<std::pair<std::string, std::string>>& fields = {},
              const std::string& param = {}) {
    return browser_->Post("IWEditContacts", action, fields, param);
  }
  Answer Submit(const std::string& name, const std::string& address) {
    return Post("IWCONTACTMETH", {{"IWCONTACTNAME", name}, {"IWCONTACTADDRESS", address}});
  }
  // Posts the page with the given boxes (row, box number from 0) checked.
  Answer Tick(const Answer& shown, const std::string& grid, const std::string& page,
              const std::string& action, std::initializer_list<std::pair<int, int>> boxes) {
    const std::vector<ContactRow> rows = Rows(shown, grid);
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& [row, box] : boxes) {
      fields.emplace_back(rows.at(static_cast<std::size_t>(row - 1)).boxes.at(box), "On");
    }
    return browser_->Post(page, action, fields);
  }

  static std::string Grid(const Answer& answer, const std::string& id) {
    const auto at = answer.body.find("ID=\"" + id + "\"");
    if (at == std::string::npos) return {};
    const auto start = answer.body.rfind("<table", at);
    return answer.body.substr(start, answer.body.find("</table>", at) + 8 - start);
  }
  static std::string Text(const std::string& html) {
    std::string text = std::regex_replace(html, std::regex("<[^>]*>"), "");
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") + 1 - first);
  }
  static std::vector<ContactRow> Rows(const Answer& answer, const std::string& id) {
    std::vector<ContactRow> rows;
    const std::string grid = Grid(answer, id);
    const std::regex tr("<tr>([\\s\\S]*?)</tr>");
    const std::regex td("<td[^>]*>([\\s\\S]*?)</td>");
    const std::regex box("NAME=\"([A-Z0-9]+)\"");
    bool header = true;
    for (auto r = std::sregex_iterator(grid.begin(), grid.end(), tr); r != std::sregex_iterator();
         ++r) {
      if (std::exchange(header, false)) continue;
      const std::string row_html = (*r)[1];
      std::vector<std::string> cells;
      for (auto c = std::sregex_iterator(row_html.begin(), row_html.end(), td);
           c != std::sregex_iterator(); ++c) {
        cells.push_back((*c)[1]);
      }
      ContactRow row;
      for (std::size_t c = 1; c + 2 < cells.size(); ++c) {
        std::smatch name;
        if (std::regex_search(cells[c], name, box)) row.boxes.push_back(name[1]);
      }
      if (cells.size() >= 2) {
        row.name = Text(cells[cells.size() - 2]);
        row.address = Text(cells.back());
      }
      rows.push_back(row);
    }
    return rows;
  }
  static std::string Value(const Answer& answer, const std::string& id) {
    std::smatch m;
    const std::regex value("<input[^>]*NAME=\"" + id + "\"[^>]*VALUE=\"([^\"]*)\"");
    if (std::regex_search(answer.body, m, value)) return m[1];
    return {};
  }
  static std::string Button(const Answer& answer, const std::string& id) {
    std::smatch m;
    const std::regex button("<input[^>]*VALUE=\"([^\"]*)\"[^>]*NAME=\"" + id + "\"");
    if (std::regex_search(answer.body, m, button)) return m[1];
    const std::regex other("NAME=\"" + id + "\"[^>]*VALUE=\"([^\"]*)\"");
    if (std::regex_search(answer.body, m, other)) return m[1];
    return {};
  }

  std::unique_ptr<TestBrowser> browser_;
};

TEST_F(ContactsPagesTest, TheListShowsEveryContactAsData) {
  AddContacts({{"<script>alert(1)</script>", "x@y.test"}, {"Bruno", "bruno@x.test"}});
  const Answer page = OpenContacts();
  ASSERT_EQ(page.PageName(), "IWEditContacts") << page.body;
  const std::vector<ContactRow> rows = Rows(page, "IWCONTACTSLIST");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].name, "&lt;script&gt;alert(1)&lt;/script&gt;");
  EXPECT_EQ(rows[1].name, "Bruno");
  EXPECT_EQ(rows[1].address, "bruno@x.test");
  EXPECT_EQ(rows[1].boxes.size(), 1u);
  EXPECT_EQ(page.body.find("<script>alert(1)"), std::string::npos);
  EXPECT_NE(Grid(page, "IWCONTACTSLIST").find(">Contact Email Address<"), std::string::npos);
  EXPECT_EQ(Button(page, "IWCONTACTMETH"), "Add");
  EXPECT_NE(page.body.find("tick();"), std::string::npos);
}

TEST_F(ContactsPagesTest, WithoutContactsTheListSaysSo) {
  const Answer page = OpenContacts();
  EXPECT_NE(
      page.body.find("There&nbsp;are&nbsp;currently&nbsp;no&nbsp;Contacts&nbsp;to&nbsp;display."),
      std::string::npos);
  EXPECT_EQ(Grid(page, "IWCONTACTSLIST"), "");
}

TEST_F(ContactsPagesTest, AddStoresANewContactAndRefusesDuplicates) {
  AddContacts({{"Bruno", "bruno@x.test"}});
  OpenContacts();
  const Answer added = Submit("Carla", "carla@x.test");
  EXPECT_EQ(Saved(), (std::vector<std::string>{"Bruno <bruno@x.test>", "Carla <carla@x.test>"}));
  EXPECT_EQ(Value(added, "IWCONTACTNAME"), "");
  EXPECT_EQ(Rows(added, "IWCONTACTSLIST").size(), 2u);

  const std::string name_exists =
      "A contact already exists with the same name, please choose a unique name for this "
      "contact.";
  EXPECT_TRUE(Submit("BRUNO", "other@x.test").HasAlert(name_exists));
  EXPECT_TRUE(Submit("carla@x.test", "other@x.test").HasAlert(name_exists));
  EXPECT_TRUE(Submit("Dora", "CARLA@x.test")
                  .HasAlert("A contact already exists with the same email address."));
  EXPECT_TRUE(
      Submit("", "").HasAlert("Please enter a name and an email address for this contact."));
  EXPECT_TRUE(Submit("Dora", "").HasAlert("Please enter an email address for this contact."));
  EXPECT_TRUE(Submit("", "dora@x.test").HasAlert("Please enter a name for this contact."));
  EXPECT_EQ(Saved().size(), 2u);
}

TEST_F(ContactsPagesTest, NamesAndAddressesThatWouldSplitAListAreRefused) {
  OpenContacts();
  for (const auto& [name, address] :
       std::vector<std::pair<std::string, std::string>>{{"Berg, Anna", "anna@x.test"},
                                                        {"Anna", "anna@x.test; eve@y.test"},
                                                        {"Anna", "anna@x.test\r\nBcc: eve@y.test"},
                                                        {"Anna\nBerg", "anna@x.test"},
                                                        {std::string(256, 'a'), "anna@x.test"}}) {
    const Answer refused = Submit(name, address);
    EXPECT_NE(refused.body.find("cannot contain line breaks, commas or semicolons"),
              std::string::npos)
        << name << " " << address;
  }
  EXPECT_TRUE(Saved().empty());
}

TEST_F(ContactsPagesTest, UpdateChangesTheContactShownAfterAnotherSaveMovedIt) {
  AddContacts({{"Bruno", "bruno@x.test"}, {"Carla", "carla@x.test"}});
  OpenContacts();
  // A click on Carla's name (row 2) puts her into the boxes.
  const Answer editing = Post("IWCONTACTSLIST", {}, "2_2");
  EXPECT_EQ(Value(editing, "IWCONTACTNAME"), "Carla");
  EXPECT_EQ(Value(editing, "IWCONTACTADDRESS"), "carla@x.test");
  EXPECT_EQ(Button(editing, "IWCONTACTMETH"), "Update");

  // Another session adds a contact sorted first: Carla is now the third.
  AddContacts({{"Aaron", "aaron@x.test"}});
  const Answer updated = Submit("Carla Neu", "carla@neu.test");
  EXPECT_EQ(Saved(), (std::vector<std::string>{"Aaron <aaron@x.test>", "Bruno <bruno@x.test>",
                                               "Carla Neu <carla@neu.test>"}));
  EXPECT_EQ(Button(updated, "IWCONTACTMETH"), "Add");
  // Updating to another contact's name is allowed.
  Post("IWCONTACTSLIST", {}, "1_3");
  Submit("Bruno", "aaron@x.test");
  EXPECT_EQ(Saved().front(), "Bruno <aaron@x.test>");
}

TEST_F(ContactsPagesTest, UpdateOfAContactGoneMeanwhileIsRefused) {
  AddContacts({{"Bruno", "bruno@x.test"}, {"Carla", "carla@x.test"}});
  const Answer page = OpenContacts();
  Tick(page, "IWCONTACTSLIST", "IWEditContacts", "IWEDIT", {{1, 0}});
  {
    TContactsDB db;
    ASSERT_TRUE(db.Open(Store()));
    db.DeleteContact(1);
    db.Save(Store());
  }
  const Answer refused = Submit("Bruno B", "bruno@x.test");
  EXPECT_TRUE(refused.HasAlert("Unable to save contact with the index of: 1")) << refused.body;
  EXPECT_EQ(Saved(), std::vector<std::string>{"Carla <carla@x.test>"});
}

TEST_F(ContactsPagesTest, EditTakesTheFirstTickedContactAndSaysOnlyOne) {
  AddContacts({{"Bruno", "bruno@x.test"}, {"Carla", "carla@x.test"}, {"Dora", "dora@x.test"}});
  const Answer page = OpenContacts();
  const Answer both = Tick(page, "IWCONTACTSLIST", "IWEditContacts", "IWEDIT", {{2, 0}, {3, 0}});
  EXPECT_TRUE(both.HasAlert("You can only edit one contact at a time."));
  EXPECT_EQ(Value(both, "IWCONTACTNAME"), "Carla");
  // The new-contact image empties the boxes and goes back to Add.
  const Answer fresh = Post("IWADDCONTACT");
  EXPECT_EQ(Value(fresh, "IWCONTACTNAME"), "");
  EXPECT_EQ(Button(fresh, "IWCONTACTMETH"), "Add");
}

TEST_F(ContactsPagesTest, DeleteRemovesEveryTickedContactInOneSave) {
  AddContacts({{"Bruno", "bruno@x.test"}, {"Carla", "carla@x.test"}, {"Dora", "dora@x.test"}});
  const Answer page = OpenContacts();
  const Answer after = Tick(page, "IWCONTACTSLIST", "IWEditContacts", "IWDELETE", {{2, 0}, {3, 0}});
  EXPECT_EQ(Saved(), std::vector<std::string>{"Bruno <bruno@x.test>"});
  ASSERT_EQ(Rows(after, "IWCONTACTSLIST").size(), 1u);
  EXPECT_EQ(Rows(after, "IWCONTACTSLIST")[0].name, "Bruno");
}

TEST_F(ContactsPagesTest, DeleteActsOnTheContactShownNotOnItsOldPosition) {
  AddContacts({{"Bruno", "bruno@x.test"}, {"Carla", "carla@x.test"}});
  const Answer page = OpenContacts();
  AddContacts({{"Aaron", "aaron@x.test"}});  // Bruno is now the second
  Tick(page, "IWCONTACTSLIST", "IWEditContacts", "IWDELCONTACT", {{1, 0}});
  EXPECT_EQ(Saved(), (std::vector<std::string>{"Aaron <aaron@x.test>", "Carla <carla@x.test>"}));
}

TEST_F(ContactsPagesTest, SendMailStartsAMessageToTheTickedContacts) {
  AddContacts({{"Bruno", "bruno@x.test"}, {"Carla", "carla@x.test"}, {"Dora", "dora@x.test"}});
  const Answer page = OpenContacts();
  const Answer none = Post("IWSENDEMAIL");
  EXPECT_EQ(none.PageName(), "IWEditContacts");
  const Answer compose =
      Tick(none, "IWCONTACTSLIST", "IWEditContacts", "IWSENDEMAIL", {{1, 0}, {3, 0}});
  EXPECT_EQ(compose.PageName(), "IWNewEmail");
  EXPECT_EQ(Value(compose, "IWTO"), "bruno@x.test; dora@x.test");
}

TEST_F(ContactsPagesTest, ThePickerFillsToCcAndBcc) {
  AddContacts({{"Anna", "anna@x.test"}, {"Bruno", "bruno@x.test"}});
  const Answer picker = OpenPicker();
  ASSERT_EQ(picker.PageName(), "IWSelContacts") << picker.body;
  const std::vector<ContactRow> rows = Rows(picker, "IWREPLIST");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].boxes.size(), 3u);
  EXPECT_EQ(rows[1].address, "bruno@x.test");
  Compose().To = "old@x.test";
  Compose().Bcc = "old@x.test";
  const Answer compose =
      Tick(picker, "IWREPLIST", "IWSelContacts", "IWOKAY", {{1, 0}, {1, 1}, {2, 1}});
  EXPECT_EQ(compose.PageName(), "IWNewEmail");
  EXPECT_EQ(Compose().To, "Anna <anna@x.test>");
  EXPECT_EQ(Compose().Cc, "Anna <anna@x.test>; Bruno <bruno@x.test>");
  EXPECT_EQ(Compose().Bcc, "");
}

TEST_F(ContactsPagesTest, ThePickerWithoutTicksOrOnTheSuggestionsMessageChangesNothing) {
  AddContacts({{"Anna", "anna@x.test"}});
  const Answer picker = OpenPicker();
  Compose().To = "kept@x.test";
  const Answer back = browser_->Post("IWSelContacts", "IWOKAY");
  EXPECT_EQ(back.PageName(), "IWNewEmail");
  EXPECT_EQ(Compose().To, "kept@x.test");

  // The suggestions message keeps its recipient whatever is ticked.
  browser_->Post("IWNewEmail", "IWFIND");
  const Answer again = browser_->Post("IWFind", "IWOPENPICKER");
  ASSERT_EQ(again.PageName(), "IWSelContacts");
  Compose().To = "kept@x.test";
  Compose().ReadOnly = true;
  Tick(again, "IWREPLIST", "IWSelContacts", "IWOKAY", {{1, 0}});
  EXPECT_EQ(Compose().To, "kept@x.test");
}

TEST_F(ContactsPagesTest, ThePickerSkipsAContactGoneMeanwhile) {
  AddContacts({{"Anna", "anna@x.test"}, {"Bruno", "bruno@x.test"}});
  const Answer picker = OpenPicker();
  {
    TContactsDB db;
    ASSERT_TRUE(db.Open(Store()));
    db.DeleteContact(1);
    db.Save(Store());
  }
  Tick(picker, "IWREPLIST", "IWSelContacts", "IWOKAY", {{1, 2}, {2, 2}});
  EXPECT_EQ(Compose().Bcc, "Bruno <bruno@x.test>");
}

}  // namespace
}  // namespace kestrune::testing
