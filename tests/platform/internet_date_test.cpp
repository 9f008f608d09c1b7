#include "platform/internet_date.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

using std::chrono::sys_days;
using std::chrono::sys_seconds;
using namespace std::chrono_literals;

sys_seconds Utc(int y, unsigned m, unsigned d, int hh, int mm, int ss) {
  return sys_seconds(sys_days(std::chrono::year(y) / m / d)) + std::chrono::hours(hh) +
         std::chrono::minutes(mm) + std::chrono::seconds(ss);
}

TEST(InternetDate, ReadsTheThreeHttpForms) {
  const sys_seconds expected = Utc(1994, 11, 6, 8, 49, 37);
  EXPECT_EQ(ParseInternetDate("Sun, 06 Nov 1994 08:49:37 GMT"), expected);
  EXPECT_EQ(ParseInternetDate("Sunday, 06-Nov-94 08:49:37 GMT"), expected);
  EXPECT_EQ(ParseInternetDate("Sun Nov  6 08:49:37 1994"), expected);
  EXPECT_EQ(ParseInternetDate("  Sun, 06 Nov 1994 08:49:37 GMT  "), expected);
}

TEST(InternetDate, ReadsMailFormsWithZonesAndComments) {
  const sys_seconds expected = Utc(2024, 3, 5, 13, 3, 9);
  EXPECT_EQ(ParseInternetDate("Tue, 5 Mar 2024 14:03:09 +0100"), expected);
  EXPECT_EQ(ParseInternetDate("5 Mar 2024 13:03:09 GMT"), expected);
  EXPECT_EQ(ParseInternetDate("Tuesday, 05 march 2024 08:03:09 EST (comment)"), expected);
  EXPECT_EQ(ParseInternetDate("Tue, 5 Mar 24 06:03:09 PDT"), expected);
  EXPECT_EQ(ParseInternetDate("Tue, 5 Mar 24 13:03:09"), expected) << "no zone: UTC";
  EXPECT_EQ(ParseInternetDate("Tue, 5 Mar 124 13:03:09 z"), expected) << "three-digit year";
  EXPECT_EQ(ParseInternetDate("5 Mar 2024 14:03 +0100"), Utc(2024, 3, 5, 13, 3, 0));
  EXPECT_EQ(ParseInternetDate("5 Mar 2024"), Utc(2024, 3, 5, 0, 0, 0));
  EXPECT_EQ(ParseInternetDate("1 Jan 1999 00:00:00 -0130"), Utc(1999, 1, 1, 1, 30, 0));
  EXPECT_EQ(ParseInternetDate("31 Dec 99 23:59:60 +0000"), Utc(2000, 1, 1, 0, 0, 0));
}

TEST(InternetDate, CountsOnPastTheEndOfAMonthAsMailersDid) {
  EXPECT_EQ(ParseInternetDate("29 Feb 2023 12:00:00 +0000"), Utc(2023, 3, 1, 12, 0, 0));
  EXPECT_EQ(ParseInternetDate("29 Feb 2024 12:00:00 +0000"), Utc(2024, 2, 29, 12, 0, 0));
  EXPECT_EQ(ParseInternetDate("1 Jan 1900 00:00:00 +0100"), Utc(1899, 12, 31, 23, 0, 0));
}

TEST(InternetDate, RefusesWhatIsNoDate) {
  for (const char* text : {"",
                           "yesterday",
                           "32 Mar 2024 10:00:00 +0000",
                           "0 Mar 2024",
                           "5 Mar 2024 25:00:00 +0000",
                           "5 Mar 2024 10:60:00",
                           "5 Mar 2024 10:00:61",
                           "5 Foo 2024 10:00:00",
                           "5 Mar 1899",
                           "5 Mar 20245",
                           "5 Mar 2024 10",
                           "5 Mar 2024 10:00:00:00",
                           "5 Mar 2024 1:2:3:",
                           "Sun, 06-Nov 08:49:37 GMT",
                           "Sun Nov  6 1994",
                           "Sun Nov",
                           "123 Mar 2024",
                           "5 Mar 2024 +10:00",
                           "Sun,",
                           "(only a comment)"}) {
    EXPECT_FALSE(ParseInternetDate(text)) << text;
  }
  EXPECT_FALSE(ParseInternetDate("5 Mar 2024 10:00:00 +0000 " + std::string(300, ' ')));
}

TEST(InternetDate, NamesAndTheHttpFormRoundTrip) {
  EXPECT_EQ(MonthFromName("jan"), 1);
  EXPECT_EQ(MonthFromName("DECEMBER"), 12);
  EXPECT_FALSE(MonthFromName("Ju"));
  EXPECT_FALSE(MonthFromName("Sun"));
  EXPECT_EQ(FormatRfc1123Date(Utc(1994, 11, 6, 8, 49, 37)), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(FormatRfc1123Date(Utc(2024, 2, 29, 0, 0, 5)), "Thu, 29 Feb 2024 00:00:05 GMT");
  EXPECT_EQ(FormatRfc1123Date(sys_seconds(0s)), "Thu, 01 Jan 1970 00:00:00 GMT");
  for (const sys_seconds when :
       {Utc(1900, 1, 1, 0, 0, 0), Utc(2038, 1, 19, 3, 14, 8), Utc(9999, 12, 31, 23, 59, 59)}) {
    EXPECT_EQ(ParseInternetDate(FormatRfc1123Date(when)), when);
  }
}

}  // namespace
}  // namespace kestrune
