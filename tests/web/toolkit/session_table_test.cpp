// The session table: reservations of new session keys count against the caps on sessions
// that have not logged in, and idle times run from the last request on the table's clock.
#include "web/toolkit/session_table.h"

#include <gtest/gtest.h>

#include "web/toolkit/server_controller.h"

namespace kestrune {
namespace {

TEST(SessionTable, ReservationsCountAgainstTheAnonymousCaps) {
  SessionTable table;
  const SessionTable::AnonymousLimits limits{2, 3};
  const auto first = table.ReserveKey("10.0.0.5", limits);
  const auto second = table.ReserveKey("10.0.0.5", limits);
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  EXPECT_FALSE(table.ReserveKey("10.0.0.5", limits));  // per address
  EXPECT_EQ(table.AnonymousFrom("10.0.0.5"), 2u);

  const auto other = table.ReserveKey("10.0.0.6", limits);
  ASSERT_TRUE(other);
  EXPECT_FALSE(table.ReserveKey("10.0.0.7", limits));  // in total
  EXPECT_EQ(table.Anonymous(), 3u);

  // A reservation given up makes room again.
  table.ReleaseKey(*first);
  EXPECT_TRUE(table.ReserveKey("10.0.0.5", limits));
  EXPECT_FALSE(table.ReserveKey("10.0.0.7", limits));
}

TEST(SessionTable, ZeroCapsRefuseEveryNewSession) {
  SessionTable table;
  EXPECT_FALSE(table.ReserveKey("10.0.0.5", {0, 100}));
  EXPECT_FALSE(table.ReserveKey("10.0.0.5", {100, 0}));
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

}  // namespace
}  // namespace kestrune
