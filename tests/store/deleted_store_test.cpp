// A deleted account's mail store moved aside: its name, a second deletion of a namesake,
// and stores the program must not touch.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <regex>
#include <set>

#include "store/user_list.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

TEST(DeletedStoreTest, StoreIsMovedAsideOnceAndOutsidersAreLeftAlone) {
  std::string pattern = (fs::temp_directory_path() / "removal-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path users = fs::path(pattern) / "Users";
  const std::string users_dir = users.string() + "/";
  const std::regex moved_name(R"(ann\.deleted-\d{8}T\d{6}(-\d+)?)");

  std::set<fs::path> moved_to;
  for (int i = 0; i < 2; ++i) {
    fs::create_directories(users / "ann");
    std::ofstream(users / "ann" / "mail.eml") << "x";
    const auto moved = MoveMailStoreAside(users_dir + "ann/", users_dir);
    ASSERT_TRUE(moved.has_value());
    EXPECT_TRUE(std::regex_match(moved->filename().string(), moved_name)) << *moved;
    EXPECT_EQ(moved->parent_path(), users);
    EXPECT_TRUE(fs::exists(*moved / "mail.eml"));
    EXPECT_FALSE(fs::exists(users / "ann"));
    moved_to.insert(*moved);
  }
  EXPECT_EQ(moved_to.size(), 2u);  // the second store never lands on the first
  // A record whose UserDir lacks the final slash still names only its own store.
  fs::create_directories(users / "bob");
  const auto bob = MoveMailStoreAside(users_dir + "bob", users_dir);
  ASSERT_TRUE(bob.has_value());
  EXPECT_EQ(bob->parent_path(), users);
  EXPECT_TRUE(fs::exists(users));
  // A record pointing at the users directory itself moves nothing.
  for (const std::string& dir : {users_dir, users.string(), users_dir + "."}) {
    EXPECT_FALSE(MoveMailStoreAside(dir, users_dir)) << dir;
    EXPECT_TRUE(fs::exists(users / ".." / "Users")) << dir;
  }
  // Nothing there, or a directory outside the users directory: nothing is moved.
  EXPECT_FALSE(MoveMailStoreAside(users_dir + "ann/", users_dir));
  fs::create_directories(fs::path(pattern) / "outside");
  EXPECT_FALSE(MoveMailStoreAside(pattern + "/outside/", users_dir));
  EXPECT_FALSE(MoveMailStoreAside(users_dir + "../outside/", users_dir));
  EXPECT_TRUE(fs::exists(fs::path(pattern) / "outside"));
  fs::remove_all(pattern);
}

}  // namespace
}  // namespace kestrune
