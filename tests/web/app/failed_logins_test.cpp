// The failed-login list: ban arithmetic, expiry on the monotonic clock, address keys and
// the reset by a successful log-in.
#include "web/app/failed_logins.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

using std::chrono::minutes;
using std::chrono::seconds;
using Attempt = TFailedLogins::Attempt;

class FailedLoginsTest : public ::testing::Test {
 protected:
  TFailedLogins Make(int attempts) {
    return TFailedLogins(attempts, [this] { return now_; });
  }
  std::chrono::steady_clock::time_point now_{};
};

TEST_F(FailedLoginsTest, DefaultOfThreeBansFromTheSecondFailure) {
  TFailedLogins list = Make(3);
  EXPECT_FALSE(list.CheckBanned("10.0.0.1"));
  EXPECT_EQ(list.BeginAttempt("10.0.0.1", "admin"), Attempt::kAllowed);
  EXPECT_EQ(list.AttemptCount("10.0.0.1"), 1);
  EXPECT_FALSE(list.CheckBanned("10.0.0.1"));
  EXPECT_EQ(list.BeginAttempt("10.0.0.1", "admin"), Attempt::kAllowed);
  EXPECT_TRUE(list.CheckBanned("10.0.0.1"));
  EXPECT_EQ(list.BeginAttempt("10.0.0.1", "admin"), Attempt::kBanned);
  // The count never goes past L - 1.
  EXPECT_EQ(list.AttemptCount("10.0.0.1"), 2);
  EXPECT_FALSE(list.CheckBanned("10.0.0.2"));
}

TEST_F(FailedLoginsTest, OneAttemptBansRightAfterTheFirstFailure) {
  for (int attempts : {1, 0, -5}) {
    TFailedLogins list = Make(attempts);
    EXPECT_EQ(list.BeginAttempt("a", "x"), Attempt::kAllowed) << attempts;
    EXPECT_TRUE(list.CheckBanned("a")) << attempts;
    EXPECT_EQ(list.BeginAttempt("a", "x"), Attempt::kBanned) << attempts;
  }
}

TEST_F(FailedLoginsTest, ALineLivesSixMinutesFromItsFirstFailure) {
  TFailedLogins list = Make(3);
  list.BeginAttempt("a", "x");
  now_ += minutes(5);
  list.BeginAttempt("a", "x");  // later failures do not extend the line
  now_ += seconds(59);
  EXPECT_TRUE(list.CheckBanned("a"));
  now_ += seconds(1);
  EXPECT_FALSE(list.CheckBanned("a"));
  EXPECT_FALSE(list.IsTracked("a"));
  // The next failure starts a new line with count 1.
  list.BeginAttempt("a", "nobody");
  EXPECT_EQ(list.AttemptCount("a"), 1);
}

TEST_F(FailedLoginsTest, AddressesCompareWithoutCaseAndMappedIpv4IsIpv4) {
  EXPECT_EQ(ClientAddressKey("::FFFF:192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(ClientAddressKey("FE80::1"), "fe80::1");
  EXPECT_EQ(ClientAddressKey("::ffff:abcd"), "::ffff:abcd");
  TFailedLogins list = Make(3);
  list.BeginAttempt("::ffff:192.0.2.7", "x");
  list.BeginAttempt("192.0.2.7", "x");
  EXPECT_TRUE(list.CheckBanned("192.0.2.7"));
}

TEST_F(FailedLoginsTest, SuccessClearsOnlyTheSameUsersFailures) {
  TFailedLogins list = Make(3);
  list.BeginAttempt("a", "Admin");
  list.BeginAttempt("a", "mallory");  // the attacker's own, successful log-in
  list.RegisterLogin("a", "MALLORY");
  EXPECT_EQ(list.AttemptCount("a"), 1);

  list.BeginAttempt("b", "Bob");
  list.BeginAttempt("b", "bob");
  list.RegisterLogin("b", "BOB");
  EXPECT_FALSE(list.IsTracked("b"));
  list.RegisterLogin("c", "nobody");  // no line: nothing happens
  EXPECT_EQ(list.AttemptCount("c"), -1);
}

}  // namespace
}  // namespace kestrune
