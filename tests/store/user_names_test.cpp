// New-account name rules, name keys and greeting names.
#include "store/user_names.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

using P = NewUserNameProblem;

// Names an attacker registers to pass for the administrator or for another user.
TEST(UserNamesTest, LookAlikesOfAdminAndBlankPaddedNamesAreRefused) {
  const struct {
    const char* name;
    P problem;
  } cases[] = {
      {"Admin ", P::kEdgeBlank},
      {" admin", P::kEdgeBlank},
      {"Admin\u00A0", P::kInvisible},                    // no-break space
      {"Ad\u200Bmin", P::kInvisible},                    // zero-width space
      {"Adm\u0131n", P::kReserved},                      // dotless i
      {"ADM\u0130N", P::kReserved},                      // dotted capital I
      {"\u0410dmin", P::kReserved},                      // Cyrillic capital A
      {"\uFF21\uFF44\uFF4D\uFF49\uFF4E", P::kReserved},  // fullwidth
      {"admi\u0301n", P::kReserved},                     // combining accent
      {"ADMIN", P::kReserved},
      {"a/b", P::kNotADirectoryName},
      {"Anna Maria", P::kNone},
      {"J\u00FCrgen", P::kNone},
      {"\u0410\u043D\u043D\u0430", P::kNone},  // Анна
  };
  for (const auto& c : cases) EXPECT_EQ(CheckNewUserName(c.name), c.problem) << c.name;
  // The operator's own tools may add the plain spelling, never a look-alike.
  EXPECT_EQ(CheckNewUserName("admin", true), P::kNone);
  EXPECT_EQ(CheckNewUserName("Adm\u0131n", true), P::kReserved);
}

TEST(UserNamesTest, KeysFoldCaseAcrossScripts) {
  EXPECT_EQ(UserNameKey("J\u00DCRGEN"), UserNameKey("j\u00FCrgen"));
  EXPECT_EQ(UserNameKey("STRA\u00DFE"), "strasse");
  EXPECT_EQ(UserNameKey("\u0391\u039D\u039D\u0391"), UserNameKey("\u03B1\u03BD\u03BD\u03B1"));
  EXPECT_EQ(UserNameKey("\u0416\u0415\u041D\u042F"), UserNameKey("\u0436\u0435\u043D\u044F"));
  EXPECT_EQ(UserNameKey("\u0139UKA"), UserNameKey("\u013Auka"));
  EXPECT_NE(UserNameKey("bob"), UserNameKey("bobby"));
  EXPECT_EQ(UserNameKey(std::string("x\xff", 2)), std::string("x\xff", 2));
}

// Accounts registered before these rules keep working, but a page never greets them as
// the name they imitate.
TEST(UserNamesTest, GreetingShowsLookAlikesForWhatTheyAre) {
  EXPECT_EQ(GreetingName("admin"), "Admin");
  EXPECT_EQ(GreetingName("j\u00FCrgen m"), "J\u00FCrgen M");
  EXPECT_EQ(GreetingName("Admin "), "Admin<U+0020>");
  EXPECT_EQ(GreetingName("adm\u0131n"), "Adm<U+0131>n");
  EXPECT_EQ(GreetingName("Admin\u00A0"), "Admin<U+00A0>");
}

}  // namespace
}  // namespace kestrune
