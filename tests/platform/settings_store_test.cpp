// The settings store: keys, typed values, type errors, atomic and merging writes.
#include "platform/settings_store.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace kestrune {
namespace {

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "settings-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    file_ = dir_ / "kestrune.toml";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string FileText() const {
    std::ifstream in(file_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void WriteFileText(const std::string& text) const {
    std::ofstream(file_, std::ios::binary) << text;
  }

  std::filesystem::path dir_;
  std::filesystem::path file_;
};

TEST_F(SettingsStoreTest, OpenKeyCreatesOnlyWhenAsked) {
  SettingsStore store(file_);
  EXPECT_FALSE(store.OpenKey("Software/Kestrune", false));
  EXPECT_FALSE(std::filesystem::exists(file_));
  ASSERT_TRUE(store.OpenKey("Software/Kestrune/WebServer", true));
  ASSERT_TRUE(std::filesystem::exists(file_));
  struct stat info {};
  ASSERT_EQ(stat(file_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  SettingsStore other(file_);
  EXPECT_TRUE(other.OpenKey("Software/Kestrune/WebServer", false));
  EXPECT_FALSE(other.ValueExists("Port"));
}

TEST_F(SettingsStoreTest, KeysOpenRelativeToTheOpenKey) {
  SettingsStore store(file_);
  ASSERT_TRUE(store.OpenKey("Software/Kestrune", true));
  store.WriteInteger("Depth", 2);
  store.CloseKey();
  ASSERT_TRUE(store.OpenKey("Software", false));
  ASSERT_TRUE(store.OpenKey("Kestrune", true));
  EXPECT_EQ(store.ReadInteger("Depth"), 2);
}

TEST_F(SettingsStoreTest, ValuesRoundTripThroughTheFile) {
  {
    SettingsStore store(file_);
    ASSERT_TRUE(store.OpenKey("Software/Kestrune", true));
    store.WriteString("UserDirectories", "/srv/kestrune/Users/");
    store.WriteInteger("MainWindowLeft", -1);
    store.WriteBool("TrayHint", true);
    store.WriteBool("LoginToQuit", false);
    store.WriteBinary("Secret", {0x00, 0xff, 0x41, 0x00});
    store.WriteString("Empty", "");
  }
  SettingsStore store(file_);
  ASSERT_TRUE(store.OpenKey("Software/Kestrune", false));
  EXPECT_EQ(store.ReadString("UserDirectories"), "/srv/kestrune/Users/");
  EXPECT_EQ(store.ReadInteger("MainWindowLeft"), -1);
  EXPECT_TRUE(store.ReadBool("TrayHint"));
  EXPECT_FALSE(store.ReadBool("LoginToQuit"));
  EXPECT_EQ(store.ReadBinary("Secret"), (std::vector<std::uint8_t>{0x00, 0xff, 0x41, 0x00}));
  EXPECT_EQ(store.ReadString("Empty"), "");
  EXPECT_EQ(store.GetDataType("Secret"), SettingsValueKind::kBinary);
  EXPECT_EQ(store.GetDataType("TrayHint"), SettingsValueKind::kInteger);
  EXPECT_EQ(store.GetDataType("Empty"), SettingsValueKind::kString);
  EXPECT_EQ(store.GetDataType("Missing"), SettingsValueKind::kNone);
}

TEST_F(SettingsStoreTest, FileIsPlainToml) {
  SettingsStore store(file_);
  ASSERT_TRUE(store.OpenKey("Software/Kestrune/WebServer", true));
  store.WriteInteger("Port", 8080);
  store.WriteString("BoundIP", "192.168.000.001");
  EXPECT_EQ(FileText(),
            "[Software.Kestrune.WebServer]\n"
            "BoundIP = '192.168.000.001'\n"
            "Port = 8080\n");
}

TEST_F(SettingsStoreTest, WrongTypeIsAnError) {
  WriteFileText(
      "[Software.Kestrune]\n"
      "Port = '80'\nName = 5\nFlag = true\nBig = 4294967296\nAllOnes = 4294967295\n"
      "Bytes = [1, 300]\nSub = { A = 1 }\n");
  SettingsStore store(file_);
  ASSERT_TRUE(store.OpenKey("Software/Kestrune", false));
  EXPECT_THROW(store.ReadInteger("Port"), SettingsError);
  EXPECT_THROW(store.ReadBool("Port"), SettingsError);
  EXPECT_THROW(store.ReadString("Name"), SettingsError);
  EXPECT_THROW(store.ReadBool("Flag"), SettingsError);
  EXPECT_THROW(store.ReadInteger("Big"), SettingsError);
  EXPECT_EQ(store.ReadInteger("AllOnes"), -1);
  EXPECT_THROW(store.ReadBinary("Bytes"), SettingsError);
  EXPECT_THROW(store.ReadBinary("Name"), SettingsError);
  EXPECT_THROW(store.ReadString("Missing"), SettingsError);
  // A table is a key, not a value; a value is not a key.
  EXPECT_FALSE(store.ValueExists("Sub"));
  EXPECT_FALSE(store.OpenKey("Name", true));
}

TEST_F(SettingsStoreTest, RefusesTextThatIsNotUtf8) {
  SettingsStore store(file_);
  ASSERT_TRUE(store.OpenKey("Software/Kestrune", true));
  EXPECT_THROW(store.WriteString("Bad", std::string("a\xff", 2)), SettingsError);
  EXPECT_THROW(store.WriteString("Bad", std::string("a\0b", 3)), SettingsError);
  EXPECT_FALSE(store.ValueExists("Bad"));
}

TEST_F(SettingsStoreTest, DamagedFileIsRefusedAndLeftAlone) {
  const std::string damaged = "[Software.Kestrune\nPort = \n";
  WriteFileText(damaged);
  EXPECT_THROW(SettingsStore store(file_), SettingsError);
  EXPECT_EQ(FileText(), damaged);
}

// A 0-byte kestrune.toml (a full disk, a failed copy) is damaged, not a first start:
// taking it as one would write the defaults over the SMTP server and its password.
TEST_F(SettingsStoreTest, AnEmptyFileIsRefusedAndLeftAlone) {
  for (const std::string empty : {"", "\n  \n"}) {
    WriteFileText(empty);
    EXPECT_THROW(SettingsStore store(file_), SettingsError);
    EXPECT_EQ(FileText(), empty);
  }
}

TEST_F(SettingsStoreTest, DeleteValue) {
  SettingsStore store(file_);
  ASSERT_TRUE(store.OpenKey("Software/Kestrune", true));
  store.WriteInteger("A", 1);
  EXPECT_TRUE(store.DeleteValue("A"));
  EXPECT_FALSE(store.DeleteValue("A"));
  EXPECT_FALSE(store.ValueExists("A"));
  SettingsStore reread(file_);
  ASSERT_TRUE(reread.OpenKey("Software/Kestrune", false));
  EXPECT_FALSE(reread.ValueExists("A"));
}

TEST_F(SettingsStoreTest, WritersDoNotUndoEachOther) {
  SettingsStore first(file_);
  SettingsStore second(file_);
  ASSERT_TRUE(first.OpenKey("Software/Kestrune", true));
  ASSERT_TRUE(second.OpenKey("Software/Kestrune", true));
  first.WriteInteger("FromFirst", 1);
  second.WriteInteger("FromSecond", 2);
  first.WriteInteger("AgainFirst", 3);
  SettingsStore reread(file_);
  ASSERT_TRUE(reread.OpenKey("Software/Kestrune", false));
  EXPECT_EQ(reread.ReadInteger("FromFirst"), 1);
  EXPECT_EQ(reread.ReadInteger("FromSecond"), 2);
  EXPECT_EQ(reread.ReadInteger("AgainFirst"), 3);
  // No temporary files are left behind.
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_)) ++entries;
  EXPECT_EQ(entries, 2);  // kestrune.toml and its lock file
}

TEST_F(SettingsStoreTest, FailedWriteLeavesFileAndValueUnchanged) {
  SettingsStore store(file_);
  ASSERT_TRUE(store.OpenKey("Software/Kestrune", true));
  store.WriteInteger("Port", 80);
  const std::string before = FileText();
  // A file-size limit makes the write of the new contents fail, as a full disk does.
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_THROW(store.WriteString("Long", std::string(200, 'x')), SettingsError);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(store.ValueExists("Long"));
  EXPECT_EQ(FileText(), before);
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_)) ++entries;
  EXPECT_EQ(entries, 2);
}

}  // namespace
}  // namespace kestrune
