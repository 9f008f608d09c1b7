// Paths built from what index and user records name.
#include "store/mail_store_paths.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

// A damaged or imported Emails.Dat whose record names another file.
TEST(MailStorePathsTest, IndexRecordsNamingFilesOutsideTheStoreAreRefused) {
  for (const char* name : {"/etc/shadow", "../other/x.eml", "..", ".", "", "a/b.eml", "a\\b.eml",
                           ".hidden", "x\n.eml"}) {
    EXPECT_THROW(MessageFilePath("/srv/Users/eve/", name), UnsafeStorePathError) << name;
  }
  EXPECT_EQ(MessageFilePath("/srv/Users/eve/", "ab12cd34.eml"),
            std::filesystem::path("/srv/Users/eve/ab12cd34.eml"));
}

// A user record whose mail store is elsewhere would serve that directory's files.
TEST(MailStorePathsTest, UserDirMustLieInsideTheUsersDirectory) {
  const struct {
    const char* user_dir;
    bool inside;
  } cases[] = {
      {"/srv/Users/eve/", true},
      {"/srv/Users/eve", true},
      {"/srv/Users/a/b/", true},
      {"/srv/Users/", false},
      {"/srv/Users/./", false},
      {"/srv/Users/../etc/", false},
      {"/srv/Users/eve/../../", false},
      {"/etc/", false},
      {"/srv/UsersX/eve/", false},
      {"Users/eve/", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsUserDirInside(c.user_dir, "/srv/Users/"), c.inside) << c.user_dir;
  }
}

}  // namespace
}  // namespace kestrune
