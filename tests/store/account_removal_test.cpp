// A deleted account's mail store moved aside: its name, a second deletion within the
// same second, and stores the program must not touch.
#include "store/account_removal.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

namespace kestrune {
namespace {

namespace fs = std::filesystem;

TEST(AccountRemovalTest, StoreIsMovedAsideOnceAndOutsidersAreLeftAlone) {
  std::string pattern = (fs::temp_directory_path() / "removal-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path users = fs::path(pattern) / "Users";
  const std::string users_dir = users.string() + "/";
  const std::time_t now = std::time(nullptr);
  const std::string expected = DeletedStoreName("ann", now);
  EXPECT_EQ(expected.size(), std::string("ann.deleted-YYYYMMDDTHHMMSS").size());
  EXPECT_TRUE(expected.starts_with("ann.deleted-2"));

  for (const char* suffix : {"", "-2"}) {
    fs::create_directories(users / "ann");
    std::ofstream(users / "ann" / "mail.eml") << "x";
    const auto moved = MoveDeletedStoreAside(users_dir + "ann/", users_dir, now);
    ASSERT_TRUE(moved.has_value());
    EXPECT_EQ(*moved, users / (expected + suffix));
    EXPECT_TRUE(fs::exists(*moved / "mail.eml"));
    EXPECT_FALSE(fs::exists(users / "ann"));
  }
  // Nothing there, or a directory outside the users directory: nothing is moved.
  EXPECT_FALSE(MoveDeletedStoreAside(users_dir + "ann/", users_dir, now));
  fs::create_directories(fs::path(pattern) / "outside");
  EXPECT_FALSE(MoveDeletedStoreAside(pattern + "/outside/", users_dir, now));
  EXPECT_FALSE(MoveDeletedStoreAside(users_dir + "../outside/", users_dir, now));
  EXPECT_TRUE(fs::exists(fs::path(pattern) / "outside"));
  fs::remove_all(pattern);
}

}  // namespace
}  // namespace kestrune
