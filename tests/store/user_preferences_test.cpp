// Preferences.toml: what a user chose comes back, and a file damaged or planted by
// someone else never breaks the folder pages: the defaults are used and the reason told.
#include "store/user_preferences.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/random.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

class UserPreferencesTest : public ::testing::Test {
 protected:
  UserPreferencesTest() : store_(fs::temp_directory_path() / ("kst-prefs-" + RandomHex(6))) {
    fs::create_directories(store_);
  }
  ~UserPreferencesTest() override {
    std::error_code ignored;
    fs::remove_all(store_, ignored);
  }
  void Write(const std::string& text) {
    std::ofstream(store_ / kPreferencesFileName, std::ios::binary) << text;
  }
  fs::path store_;
};

TEST_F(UserPreferencesTest, AMissingFileGivesTheDefaultsAndASavedChoiceComesBack) {
  LoadedPreferences loaded = LoadUserPreferences(store_);
  EXPECT_EQ(loaded.preferences, UserPreferences{});
  EXPECT_EQ(loaded.problem, "");

  SaveUserPreferences(store_, {true, 25});
  loaded = LoadUserPreferences(store_);
  EXPECT_EQ(loaded.problem, "");
  EXPECT_EQ(loaded.preferences, (UserPreferences{true, 25}));
  EXPECT_FALSE(fs::exists(store_ / (std::string(kPreferencesFileName) + ".tmp")));
}

TEST_F(UserPreferencesTest, DamagedOrHostileFilesGiveTheDefaultsWithAReason) {
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"not TOML", "[Folders\nNewestFirst = yes"},
      {"wrong type", "[Folders]\nNewestFirst = \"true\"\n"},
      {"negative page size", "[Folders]\nNewestFirst = true\nPageSize = -5\n"},
      {"page size of two billion rows", "[Folders]\nPageSize = 2000000000\n"},
      {"Folders not a table", "Folders = 3\n"},
      {"a megabyte of comments", "[Folders]\nNewestFirst = true\n" + std::string(1 << 20, '#')},
  };
  for (const auto& c : cases) {
    Write(c.text);
    const LoadedPreferences loaded = LoadUserPreferences(store_);
    EXPECT_EQ(loaded.preferences, UserPreferences{}) << c.name;
    EXPECT_NE(loaded.problem, "") << c.name;
  }
  fs::remove(store_ / kPreferencesFileName);
  fs::create_symlink("/etc/passwd", store_ / kPreferencesFileName);
  EXPECT_NE(LoadUserPreferences(store_).problem, "");
}

}  // namespace
}  // namespace kestrune
