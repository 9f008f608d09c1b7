// Reservations of new session keys: they count against the caps on sessions that have
// not logged in, so a burst of simultaneous first requests cannot overshoot them.
#include "web/toolkit/session_table.h"

#include <gtest/gtest.h>


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

}  // namespace
}  // namespace kestrune
