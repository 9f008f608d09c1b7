// The attachments page over HTTP: uploads into the composition folder, the list with its
// sizes and total, removal, refused and reduced names, Okay and Cancel, and leaving the
// page; the compose state it leaves is read from the session.
#include "web/pages/attachments_page.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "compose_probe.h"
#include "web/app/compose_state.h"
#include "web_app_fixture.h"

namespace kestrune::testing {
namespace {
namespace fs = std::filesystem;

class AttachmentsPageTest : public WebAppTest {
 protected:
  AttachmentsPageTest() { pages_ = ComposeProbe::With(pages_); }

  std::string Store() const { return config_.UserDirectories + "Admin/"; }
  ComposeState& Compose() const { return ComposeProbe::Last()->Compose; }
  fs::path Folder() const { return fs::path(Store()) / "Uploads" / Compose().FolderName; }

  Answer Open() {
    Start();
    browser_ = std::make_unique<TestBrowser>(NewBrowser());
    browser_->Get("/");
    EXPECT_EQ(LogIn(*browser_, "admin", "secretpw").PageName(), "IWMain");
    EXPECT_EQ(browser_->Post("IWMain", "IWFINDMSG").PageName(), "IWFind");
    return browser_->Post("IWFind", "IWOPENATTACH");
  }
  Answer Upload(const std::string& name, const std::string& content) {
    return browser_->PostFile("IWAttachments", "IWATTACH", "IWFINDFILE", name, content);
  }
  Answer Remove(int item) {
    return browser_->Post("IWAttachments", "IWREMOVE", {{"IWATTACHMENTS", std::to_string(item)}});
  }

  // The list's options as the browser shows them.
  static std::vector<std::string> Items(const Answer& answer) {
    std::vector<std::string> items;
    const auto at = answer.body.find("NAME=\"IWATTACHMENTS\"");
    if (at == std::string::npos) return items;
    const std::string list = answer.body.substr(at, answer.body.find("</select>", at) - at);
    const std::regex option("<option[^>]*>([^<]*)</option>", std::regex::icase);
    for (auto m = std::sregex_iterator(list.begin(), list.end(), option);
         m != std::sregex_iterator(); ++m) {
      items.push_back((*m)[1]);
    }
    return items;
  }
  static std::string Total(const Answer& answer) {
    std::smatch m;
    if (!std::regex_search(answer.body, m, std::regex("ID=\"IWSIZE\"[^>]*>([^<]*)<"))) return {};
    return m[1];
  }
  static std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::unique_ptr<TestBrowser> browser_;
};

TEST_F(AttachmentsPageTest, UploadsAreListedWithTheirSizesAndTotal) {
  const Answer empty = Open();
  ASSERT_EQ(empty.PageName(), "IWAttachments") << empty.body;
  EXPECT_EQ(Items(empty), std::vector<std::string>{"-- Message Attachments --"});
  EXPECT_EQ(Total(empty), "0&nbsp;B");
  EXPECT_NE(empty.body.find("enctype=\"multipart/form-data\""), std::string::npos);
  EXPECT_NE(empty.body.find("id=\"Clock\""), std::string::npos);
  EXPECT_NE(empty.body.find("tick();"), std::string::npos);

  Upload("small.txt", std::string(1023, 's'));
  Upload("a.bin", std::string(1500, 'a'));
  const Answer listed = Upload("b.bin", std::string(1500, 'b'));
  EXPECT_EQ(Items(listed),
            (std::vector<std::string>{"-- Message Attachments --", "small.txt (1023 B)",
                                      "a.bin (1.5 KB)", "b.bin (1.5 KB)"}));
  // The exact sum (4023 bytes), not whole KB file by file (which read "2k").
  EXPECT_EQ(Total(listed), "3.9&nbsp;KB");
  EXPECT_EQ(ReadFile(Folder() / "a.bin"), std::string(1500, 'a'));
  ASSERT_EQ(Compose().Attachments.size(), 3u);
  EXPECT_EQ(Compose().Attachments[0].file_name, "small.txt");
  EXPECT_EQ(Compose().Attachments[0].size, 1023u);
}

TEST_F(AttachmentsPageTest, NamesAreRefusedOrReducedToAFileOfTheCompositionFolder) {
  Open();
  EXPECT_EQ(Items(Upload("a.txt", "1")).back(), "a.txt (1 B)");
  EXPECT_TRUE(
      Upload("a.txt", "2")
          .HasAlert("You have already uploaded a file with this name, file names must be unique."));
  EXPECT_TRUE(
      Upload("A.TXT", "3")
          .HasAlert("You have already uploaded a file with this name, file names must be unique."));
  EXPECT_EQ(ReadFile(Folder() / "a.txt"), "1");

  // A path as name stays inside the folder, under its last part.
  const Answer path = Upload("../../Users.Dat", "not the users");
  EXPECT_EQ(Items(path).back(), "Users.Dat (13 B)");
  EXPECT_EQ(ReadFile(Folder() / "Users.Dat"), "not the users");
  EXPECT_NE(ReadFile(fs::path(config_.UserDirectories) / "Users.Dat"), "not the users");
  EXPECT_EQ(Items(Upload("C:\\Docs\\win.doc", "w")).back(), "win.doc (1 B)");

  // A name is the real name, not the list text up to " (".
  const Answer paren = Upload("report (final).pdf", "r");
  EXPECT_EQ(Items(paren).back(), "report (final).pdf (1 B)");
  EXPECT_EQ(Compose().Attachments.back().file_name, "report (final).pdf");

  // Control characters and characters a file name cannot hold are taken out.
  const Answer odd = Upload("we\x01ird:na*me?.txt", "o");
  EXPECT_EQ(Items(odd).back(), "weirdname.txt (1 B)");

  for (const char* bad : {"..", ".", "dir/..", "  "}) {
    const Answer refused = Upload(bad, "x");
    EXPECT_TRUE(refused.HasAlert("Please select a file to upload.")) << bad;
  }
  EXPECT_EQ(Compose().Attachments.size(), 5u);
  // Nothing but the listed files was written, and only in the composition folder.
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(Folder())) {
    files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"Users.Dat", "a.txt", "report (final).pdf",
                                             "weirdname.txt", "win.doc"}));
}

TEST_F(AttachmentsPageTest, AttachWithoutAFileIsRefused) {
  Open();
  const Answer none = browser_->Post("IWAttachments", "IWATTACH");
  EXPECT_TRUE(none.HasAlert("Please select a file to upload.")) << none.body;
  EXPECT_TRUE(Compose().Attachments.empty());
}

// A logged-in user filling the disk: files of 20 MB one after the other, more files than
// any message can carry, and compositions left open in other sessions. What the send
// would refuse is refused at the upload, and nothing of a refused upload stays.
TEST_F(AttachmentsPageTest, UploadsAreCappedPerMessageAndForTheUsersUploads) {
  Open();
  const std::string mb20(20u << 20, 'x');
  ASSERT_EQ(Items(Upload("one.bin", mb20)).size(), 2u);
  const Answer second = Upload("two.bin", std::string(17u << 20, 'y'));
  EXPECT_TRUE(second.HasAlert("The attachments of a message can have at most 36 MB together."));
  EXPECT_EQ(Compose().Attachments.size(), 1u);
  EXPECT_FALSE(fs::exists(Folder() / "two.bin"));

  Remove(1);
  for (int i = 0; i < 100; ++i) Upload("f" + std::to_string(i) + ".txt", "x");
  const Answer many = Upload("f100.txt", "x");
  EXPECT_TRUE(many.HasAlert("A message can have at most 100 attachments."));
  EXPECT_EQ(Compose().Attachments.size(), 100u);

  Remove(1);
  // Another session's composition (sparse: the size counts, not the blocks).
  const fs::path other = fs::path(Store()) / "Uploads" / "cother";
  fs::create_directories(other);
  std::ofstream(other / "big.bin").close();
  fs::resize_file(other / "big.bin", (144u << 20) - 99);
  const Answer full = Upload("last.txt", "x");
  EXPECT_TRUE(
      full.HasAlert("Your uploaded files have reached 144 MB: send or cancel other "
                    "messages first."));
  EXPECT_FALSE(fs::exists(Folder() / "last.txt"));
}

TEST_F(AttachmentsPageTest, AFileLeftInTheFolderIsNotWrittenOver) {
  Open();
  Upload("keep.txt", "listed");
  // A file of the folder the list does not hold (left by an earlier list).
  std::ofstream(Folder() / "old.txt") << "old";
  const Answer second = Upload("old.txt", "new");
  EXPECT_EQ(Items(second).back(), "old-2.txt (3 B)");
  EXPECT_EQ(ReadFile(Folder() / "old.txt"), "old");
  EXPECT_EQ(ReadFile(Folder() / "old-2.txt"), "new");
}

TEST_F(AttachmentsPageTest, RemoveTakesTheSelectedFileAndItsFile) {
  Open();
  Upload("one.txt", std::string(2048, '1'));
  Upload("two.txt", std::string(3072, '2'));
  EXPECT_TRUE(Remove(0).HasAlert("Please select a file to remove."));
  EXPECT_TRUE(Remove(-1).HasAlert("Please select a file to remove."));
  EXPECT_TRUE(Remove(7).HasAlert("Please select a file to remove."));

  const Answer one_left = Remove(1);
  EXPECT_EQ(Items(one_left),
            (std::vector<std::string>{"-- Message Attachments --", "two.txt (3.0 KB)"}));
  EXPECT_EQ(Total(one_left), "3.0&nbsp;KB");
  EXPECT_FALSE(fs::exists(Folder() / "one.txt"));
  const Answer none_left = Remove(1);
  EXPECT_EQ(Total(none_left), "0&nbsp;B");
  EXPECT_FALSE(fs::exists(Folder() / "two.txt"));
  EXPECT_TRUE(Compose().Attachments.empty());
}

TEST_F(AttachmentsPageTest, OkayWithTheHeadingAloneLeavesTheMessageWithoutFiles) {
  Open();
  browser_->Post("IWAttachments", "IWOKAY");
  EXPECT_FALSE(Compose().AttachmentsFlag);
  EXPECT_TRUE(Compose().Attachments.empty());
}

TEST_F(AttachmentsPageTest, OkayKeepsTheListForTheMessage) {
  Open();
  Upload("a.txt", "a");
  Upload("b.txt", "b");
  const Answer compose = browser_->Post("IWAttachments", "IWOKAY");
  EXPECT_EQ(compose.PageName(), "IWNewEmail");
  const std::string list = compose.body.substr(compose.body.find("ID=\"IWFILELIST\""), 1500);
  EXPECT_NE(list.find(">a.txt<"), std::string::npos) << list;
  EXPECT_NE(list.find(">b.txt<"), std::string::npos) << list;
  EXPECT_NE(list.find(">1 B<"), std::string::npos) << list;
  EXPECT_TRUE(Compose().AttachmentsFlag);
  ASSERT_EQ(Compose().Attachments.size(), 2u);
  EXPECT_EQ(Compose().Attachments[1].file_name, "b.txt");
  EXPECT_TRUE(fs::exists(Folder() / "a.txt"));
}

TEST_F(AttachmentsPageTest, CancelKeepsAnAcceptedList) {
  Open();
  Upload("a.txt", "a");
  Compose().AttachmentsFlag = true;  // as an earlier Okay left it
  browser_->Post("IWAttachments", "IWCANCEL");
  EXPECT_TRUE(Compose().AttachmentsFlag);
  EXPECT_EQ(Compose().Attachments.size(), 1u);
  EXPECT_TRUE(fs::exists(Folder() / "a.txt"));
}

TEST_F(AttachmentsPageTest, OpeningTheListAgainKeepsItOnlyWhenAccepted) {
  Open();
  browser_->Post("IWAttachments", "IWHOMELINK");
  browser_->Post("IWMain", "IWFINDMSG");
  // A list as forwarding or an earlier Okay leaves it.
  std::ofstream(ComposeFolder(Compose(), Store()) / "f.txt") << std::string(2100, 'f');
  Compose().Attachments = {{"f.txt", 2100}};
  Compose().AttachmentsFlag = true;
  const Answer kept = browser_->Post("IWFind", "IWOPENATTACH");
  EXPECT_EQ(Items(kept), (std::vector<std::string>{"-- Message Attachments --", "f.txt (2.1 KB)"}));
  EXPECT_EQ(Total(kept), "2.1&nbsp;KB");

  browser_->Post("IWAttachments", "IWCANCEL");
  Compose().AttachmentsFlag = false;
  browser_->Post("IWAttachments", "IWHOMELINK");
  browser_->Post("IWMain", "IWFINDMSG");
  std::ofstream(ComposeFolder(Compose(), Store()) / "f.txt") << "f";
  Compose().Attachments = {{"f.txt", 1}};
  const Answer emptied = browser_->Post("IWFind", "IWOPENATTACH");
  EXPECT_EQ(Items(emptied), std::vector<std::string>{"-- Message Attachments --"});
  EXPECT_FALSE(fs::exists(Folder() / "f.txt"));
}

TEST_F(AttachmentsPageTest, CancelWithoutAnAcceptedListDropsTheFiles) {
  Open();
  Upload("a.txt", "a");
  browser_->Post("IWAttachments", "IWCANCEL");
  EXPECT_FALSE(Compose().AttachmentsFlag);
  EXPECT_TRUE(Compose().Attachments.empty());
  EXPECT_FALSE(fs::exists(Folder() / "a.txt"));
}

TEST_F(AttachmentsPageTest, LeavingThroughTheNavigationDiscardsTheList) {
  Open();
  Upload("a.txt", "a");
  const Answer home = browser_->Post("IWAttachments", "IWHOMELINK");
  EXPECT_EQ(home.PageName(), "IWMain");
  EXPECT_TRUE(Compose().Attachments.empty());
  EXPECT_FALSE(fs::exists(Folder() / "a.txt"));
  // Coming back shows an empty list.
  browser_->Post("IWMain", "IWFINDMSG");
  const Answer again = browser_->Post("IWFind", "IWOPENATTACH");
  EXPECT_EQ(Items(again), std::vector<std::string>{"-- Message Attachments --"});
}

TEST_F(AttachmentsPageTest, TheSuggestionsMessageTakesNoFiles) {
  Open();
  Compose().ReadOnly = true;
  const Answer shown = browser_->Post("IWAttachments", "IWREMOVE");
  EXPECT_EQ(shown.body.find("NAME=\"IWFINDFILE\""), std::string::npos);
  // A crafted post of the hidden button attaches nothing.
  Upload("x.txt", "x");
  EXPECT_TRUE(Compose().Attachments.empty());
}

TEST(AttachmentNames, ReducedToASafeLastPart) {
  EXPECT_EQ(SafeAttachmentName("/etc/passwd"), "passwd");
  EXPECT_EQ(SafeAttachmentName("a\\b\\c.txt"), "c.txt");
  EXPECT_EQ(SafeAttachmentName(" x\r\n.txt "), "x.txt");
  EXPECT_EQ(SafeAttachmentName("..\\.."), "");
  EXPECT_EQ(SafeAttachmentName("<>|"), "");
  const std::string longer = SafeAttachmentName(std::string(300, 'n') + ".pdf");
  EXPECT_EQ(longer, std::string(196, 'n') + ".pdf");
  // Cut at a whole character.
  std::string wide;
  for (int i = 0; i < 150; ++i) wide += "\xC3\xA9";
  EXPECT_EQ(SafeAttachmentName(wide).size(), 200u);
  EXPECT_EQ(SafeAttachmentName(wide + "x").size(), 200u);
}

}  // namespace
}  // namespace kestrune::testing
