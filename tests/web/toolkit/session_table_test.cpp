// The session table: reservations of new session keys count against the caps on sessions
// that have not logged in, and idle times run from the last request on the table's clock.
#include "web/toolkit/session_table.h"

#include <gtest/gtest.h>

#include "web/toolkit/server_controller.h"

namespace kestrune {
namespace {

TEST(SessionTable, ReservationsCountAgainstTheAnonymousCaps) {
  SessionTable table;
  std::vector<std::unique_ptr<TIWApplication>> dropped;
  const SessionTable::AnonymousLimits limits{2, 3};
  const auto first = table.ReserveKey("10.0.0.5", limits, dropped);
  const auto second = table.ReserveKey("10.0.0.5", limits, dropped);
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  EXPECT_FALSE(table.ReserveKey("10.0.0.5", limits, dropped));  // per address
  EXPECT_EQ(table.AnonymousFrom("10.0.0.5"), 2u);

  const auto other = table.ReserveKey("10.0.0.6", limits, dropped);
  ASSERT_TRUE(other);
  EXPECT_FALSE(table.ReserveKey("10.0.0.7", limits, dropped));  // in total
  EXPECT_EQ(table.Anonymous(), 3u);

  // A reservation given up makes room again.
  table.ReleaseKey(*first);
  EXPECT_TRUE(table.ReserveKey("10.0.0.5", limits, dropped));
  EXPECT_FALSE(table.ReserveKey("10.0.0.7", limits, dropped));
}

TEST(SessionTable, ZeroCapsRefuseEveryNewSession) {
  SessionTable table;
  std::vector<std::unique_ptr<TIWApplication>> dropped;
  EXPECT_FALSE(table.ReserveKey("10.0.0.5", {0, 100}, dropped));
  EXPECT_FALSE(table.ReserveKey("10.0.0.5", {100, 0}, dropped));
  EXPECT_EQ(table.Anonymous(), 0u);
}

TEST(SessionTable, IdleTimeIsCountedFromTheLastRequest) {
  auto now = std::chrono::steady_clock::now();
  SessionTable table([&now] { return now; });
  TIWServerController controller;
  auto add = [&](std::uint32_t key) {
    auto session = std::make_unique<TIWApplication>(
        controller, MakeSessionIdentity(key, std::chrono::system_clock::now()), "10.0.0.5",
        TIWBrowser::brIE);
    TIWApplication* raw = table.InsertBusy(std::move(session));
    table.PutBack(raw);
    return raw;
  };
  TIWApplication* old_one = add(1);
  now += std::chrono::minutes(25);
  TIWApplication* young = add(2);
  TIWApplication* used = table.TakeOut(1);  // a request of the old one ends now
  ASSERT_EQ(used, old_one);
  now += std::chrono::minutes(1);
  table.PutBack(used);
  now += std::chrono::minutes(5);  // old: 5 minutes since its request, young: 6

  EXPECT_TRUE(table.RemoveIdle(std::chrono::minutes(10)).empty());
  now += std::chrono::minutes(4);
  auto removed = table.RemoveIdle(std::chrono::minutes(10));
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed.front().get(), young);
  EXPECT_EQ(table.Count(), 1u);
  // A refused request leaves the idle time as it was.
  TIWApplication* refused = table.TakeOut(1);
  table.PutBackUntouched(refused);
  now += std::chrono::minutes(1);
  EXPECT_EQ(table.RemoveIdle(std::chrono::minutes(10)).size(), 1u);
}

// A table whose sessions enter idle, on a clock the test moves.
class AnonymousFloodTest : public ::testing::Test {
 protected:
  TIWApplication* Add(std::string_view address, const SessionTable::AnonymousLimits& limits) {
    const auto key = table_.ReserveKey(address, limits, dropped_);
    if (!key) return nullptr;
    TIWApplication* raw = table_.InsertBusy(std::make_unique<TIWApplication>(
        controller_, MakeSessionIdentity(*key, std::chrono::system_clock::now()),
        std::string(address), TIWBrowser::brIE));
    table_.PutBack(raw);
    now_ += std::chrono::seconds(1);
    return raw;
  }
  bool Live(std::uint32_t key) {
    TIWApplication* session = table_.TakeOut(key);
    if (session != nullptr) table_.PutBackUntouched(session);
    return session != nullptr;
  }

  std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::now();
  SessionTable table_{[this] { return now_; }};
  TIWServerController controller_;
  std::vector<std::unique_ptr<TIWApplication>> dropped_;
};

// 2,000 "GET /" from a botnet fill the cap of sessions that never logged in: the next
// visitor still gets a session, and the oldest anonymous one is dropped for it.
TEST_F(AnonymousFloodTest, FloodOfAnonymousSessionsDoesNotLockOutTheNextVisitor) {
  const SessionTable::AnonymousLimits limits{50, 20};
  TIWApplication* oldest = Add("192.0.2.1", limits);
  const std::uint32_t oldest_key = oldest->TableKey();
  for (int n = 2; n <= 20; ++n) ASSERT_NE(Add("192.0.2." + std::to_string(n), limits), nullptr);
  ASSERT_NE(Add("198.51.100.7", limits), nullptr);
  EXPECT_FALSE(Live(oldest_key));
  EXPECT_EQ(table_.Anonymous(), 20u);
  EXPECT_GE(dropped_.size(), 1u);
}

// 50 anonymous sessions from one office behind NAT: the next colleague gets in, the
// office's oldest anonymous session goes, sessions from elsewhere and logged-in ones stay.
TEST_F(AnonymousFloodTest, FullNatAddressDropsItsOldestAnonymousSession) {
  const SessionTable::AnonymousLimits limits{3, 100};
  TIWApplication* user = Add("203.0.113.9", limits);
  user->MarkLoggedIn();
  const std::uint32_t user_key = user->TableKey();
  const std::uint32_t elsewhere = Add("198.51.100.7", limits)->TableKey();
  std::vector<std::uint32_t> office;
  for (int n = 0; n < 3; ++n) office.push_back(Add("203.0.113.9", limits)->TableKey());
  ASSERT_NE(Add("203.0.113.9", limits), nullptr);
  EXPECT_FALSE(Live(office[0]));
  EXPECT_TRUE(Live(office[1]) && Live(office[2]) && Live(user_key) && Live(elsewhere));
  EXPECT_EQ(table_.AnonymousFrom("203.0.113.9"), 3u);
  // A session busy with its request is never dropped: only reservations left, refused.
  SessionTable busy_table;
  ASSERT_TRUE(busy_table.ReserveKey("203.0.113.9", limits, dropped_));
  ASSERT_TRUE(busy_table.ReserveKey("203.0.113.9", limits, dropped_));
  ASSERT_TRUE(busy_table.ReserveKey("203.0.113.9", limits, dropped_));
  EXPECT_FALSE(busy_table.ReserveKey("203.0.113.9", limits, dropped_));
}

// A visitor who never logs in holds a session for about a minute, not for the half hour
// of a user's session.
TEST_F(AnonymousFloodTest, SessionsThatNeverLoggedInExpireAfterAMinute) {
  const SessionTable::AnonymousLimits limits{50, 2000};
  const std::uint32_t anonymous = Add("192.0.2.1", limits)->TableKey();
  TIWApplication* user = Add("192.0.2.2", limits);
  user->MarkLoggedIn();
  now_ += std::chrono::seconds(61);
  const auto removed = table_.RemoveIdle(std::chrono::minutes(30), std::chrono::minutes(1));
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed.front()->TableKey(), anonymous);
  EXPECT_TRUE(Live(user->TableKey()));
}

// One IPv6 host owns a whole /64: each of its addresses must not count as a new client.
TEST_F(AnonymousFloodTest, Ipv6ClientsAreCountedPerSlash64) {
  const SessionTable::AnonymousLimits limits{2, 100};
  const std::uint32_t first = Add("2001:db8:1:2::1", limits)->TableKey();
  Add("2001:db8:1:2:ffff:ffff:ffff:ffff", limits);
  EXPECT_EQ(table_.AnonymousFrom("2001:db8:1:2::99"), 2u);
  EXPECT_EQ(table_.AnonymousFrom("2001:db8:1:3::1"), 0u);
  ASSERT_NE(Add("2001:db8:1:2:abcd::7", limits), nullptr);
  EXPECT_FALSE(Live(first));
  EXPECT_EQ(table_.AnonymousFrom("::ffff:192.0.2.1"), 0u);
  Add("192.0.2.1", limits);
  EXPECT_EQ(table_.AnonymousFrom("::ffff:192.0.2.1"), 1u);
}

}  // namespace
}  // namespace kestrune
