// Program directory choice, installation file lookup, the autostart entry's text and
// the single-instance lock.
#include "platform/program_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "platform/autostart.h"
#include "platform/instance_lock.h"

namespace kestrune {
namespace {

class ProgramDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "progdir-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    unsetenv("KESTRUNE_HOME");
    std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_;
};

TEST_F(ProgramDirTest, HomeOptionThenEnvironmentThenExecutableDirectory) {
  setenv("KESTRUNE_HOME", (dir_ / "env").c_str(), 1);
  EXPECT_EQ(ResolveProgramDirectory(dir_ / "opt" / ""), dir_ / "opt");
  EXPECT_EQ(ResolveProgramDirectory(std::nullopt), dir_ / "env");
  setenv("KESTRUNE_HOME", "", 1);
  EXPECT_EQ(ResolveProgramDirectory(std::nullopt), ExecutablePath().parent_path());
  // A relative --home is taken from the current directory.
  EXPECT_EQ(ResolveProgramDirectory(std::filesystem::path("rel/./x")),
            std::filesystem::current_path() / "rel" / "x");
}

TEST_F(ProgramDirTest, InstallationFilesProgramDirectoryFirstThenSourceTree) {
  const auto in_source = std::filesystem::path(KESTRUNE_SOURCE_DIR) / "res" / "js";
  ASSERT_TRUE(std::filesystem::is_directory(in_source));
  EXPECT_EQ(FindInstallationFile(dir_, "js"), in_source);
  std::filesystem::create_directory(dir_ / "js");
  EXPECT_EQ(FindInstallationFile(dir_, "js"), dir_ / "js");
  EXPECT_EQ(FindInstallationFile(dir_, "../etc/passwd"), std::nullopt);
  EXPECT_EQ(FindInstallationFile(dir_, "/etc/passwd"), std::nullopt);
  EXPECT_EQ(FindInstallationFile(dir_, "js/../../x"), std::nullopt);
  EXPECT_EQ(FindInstallationFile(dir_, "NoSuchFile"), std::nullopt);
}

TEST(AutostartEntryTest, ExecLineIsQuotedAndKeepsTheProgramDirectory) {
  EXPECT_EQ(AutostartEntry::Contents("/opt/my apps/kestrune", std::string("/srv/100%\"k$")),
            "[Desktop Entry]\nType=Application\nName=Kestrune\n"
            "Comment=Kestrune web-mail gateway console\n"
            "Exec=\"/opt/my apps/kestrune\" --home \"/srv/100%%\\\\\"k\\\\$\"\n"
            "Terminal=false\nX-GNOME-Autostart-enabled=true\n");
  EXPECT_THROW(AutostartEntry::Contents("/opt/a\nb", std::nullopt), std::invalid_argument);
}

TEST_F(ProgramDirTest, AutostartEntryWriteAndRemove) {
  AutostartEntry entry(dir_ / "config" / "autostart" / "kestrune.desktop");
  EXPECT_FALSE(entry.Exists());
  entry.Write("/opt/kestrune", std::nullopt);
  EXPECT_TRUE(entry.Exists());
  entry.Remove();
  EXPECT_FALSE(entry.Exists());
  entry.Remove();  // removing a missing entry is not an error
}

TEST_F(ProgramDirTest, InstanceLockAdmitsOneHolder) {
  const auto file = dir_ / "kestrune.lock";
  {
    InstanceLock first(file);
    EXPECT_TRUE(first.Acquired());
    InstanceLock second(file);
    EXPECT_FALSE(second.Acquired());
  }
  InstanceLock after(file);
  EXPECT_TRUE(after.Acquired());
  EXPECT_THROW(InstanceLock(dir_ / "missing" / "kestrune.lock"), std::system_error);
}

}  // namespace
}  // namespace kestrune
