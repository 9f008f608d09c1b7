// The debug log: escaping and the line cap, the bound on lines kept, order under many
// threads, the start lines, the session counters, the last user, the echo, and the
// automatic save with and without clearing (two saves a day, a second run the same day).
#include "log/debug_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <utime.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "log/visible_text.h"

namespace kestrune {
namespace {

// 8 December 2026, 10:00 local time.
DateValue Day(int day, int hour = 10) {
  return EncodeDateValue(LocalDateTime{2026, 12, day, hour, 0, 0, 0});
}

std::string Slurp(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class LogDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "log-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    logs_ = root_ / "deep" / "Logs";
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  std::filesystem::path DayFile(int day) const {
    return logs_ / TDebugLog::AutoSaveFileName(Day(day));
  }

  std::filesystem::path root_;
  std::filesystem::path logs_;
};

TEST(VisibleTextTest, ControlCharactersBecomeEscapes) {
  EXPECT_EQ(VisibleText("a\r\nb\tc"), "a\\r\\nb\\tc");
  EXPECT_EQ(VisibleText(std::string("\0\x1b[31m\x7f", 7)), "\\x00\\x1b[31m\\x7f");
  EXPECT_EQ(VisibleText("Grüße \\ ok"), "Grüße \\ ok");
}

TEST(VisibleTextTest, LimitCutsAtCharacterBoundaryAndMarksTheCut) {
  EXPECT_EQ(VisibleTextLimited("abcdef", 6), "abcdef");
  EXPECT_EQ(VisibleTextLimited("abcdefg", 6), "abc...");
  // "é" is two bytes; cutting after its first byte would leave invalid UTF-8.
  EXPECT_EQ(VisibleTextLimited("abéxyz", 6), "ab...");
  EXPECT_EQ(VisibleTextLimited("aé"
                               "defgh",
                               6),
            "aé...");
  // An escape is never cut in half.
  EXPECT_EQ(VisibleTextLimited("ab\ncdefgh", 7), "ab\\n...");
}

TEST(DebugLogTest, OutsideTextCannotForgeLines) {
  TDebugLog log;
  log.AddDebugLine("HTML Authorization Request for: evil\r\nNew Session Created: now");
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0], "HTML Authorization Request for: evil\\r\\nNew Session Created: now");
  log.AddDebugLine("");
  EXPECT_EQ(log.Lines().back(), "");  // a separator line
}

TEST(DebugLogTest, LongLinesAreCapped) {
  TDebugLog log;
  log.AddDebugLine(std::string(100000, 'x'));
  const std::string line = log.Lines().at(0);
  EXPECT_EQ(line.size(), TDebugLog::kMaxLineBytes);
  EXPECT_TRUE(line.ends_with("..."));
}

TEST(DebugLogTest, OldestLinesAreDroppedPastTheBound) {
  TDebugLog log(3);
  for (int i = 1; i <= 5; ++i) log.AddDebugLine("line " + std::to_string(i));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"line 3", "line 4", "line 5"}));
  EXPECT_EQ(TDebugLog::kMaxLines, 200000u);
}

TEST(DebugLogTest, LinesFromManyThreadsStayWholeAndInOrderPerThread) {
  TDebugLog log;
  std::ostringstream echo;
  log.SetEcho(&echo);
  constexpr int kThreads = 8;
  constexpr int kLines = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kLines; ++i) {
        log.AddDebugLine("thread " + std::to_string(t) + " line " + std::to_string(i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : lines) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
    ASSERT_EQ(i, next[t]) << "thread " << t << " out of order";
    ++next[t];
  }
  // The echo saw exactly the same lines in the same order.
  std::string expected;
  for (const std::string& line : lines) expected += line + "\n";
  EXPECT_EQ(echo.str(), expected);
}

TEST(DebugLogTest, StartLogClearsAndWritesTheStartLines) {
  TDebugLog log;
  log.AddDebugLine("old");
  log.SessionCreated(Day(8));
  log.SetLastUser("bob", "Console.");
  int notified = 0;
  log.SetStatsObserver([&](const TProgramStat& stats) {
    ++notified;
    EXPECT_EQ(stats.OpenSessions, 0);
  });
  log.StartLog("", 8080, Day(8));
  EXPECT_EQ(notified, 1);
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"Kestrune Server started at " + DateTimeText(Day(8)),
                                      "Web Server Listening on All IP Addresses",
                                      "Web Server Listening on port: 8080"}));
  const TProgramStat stats = log.Stats();
  EXPECT_EQ(stats.ActiveSessions, 0);
  EXPECT_EQ(stats.LastUser, "Nobody");
  EXPECT_EQ(stats.LastUserTime, "NoTime");
  EXPECT_EQ(stats.LastMailCheck, "Not Checked");

  log.StartLog("192.168.000.001", 80, Day(8));
  EXPECT_EQ(log.Lines().at(1), "Web Server Listening on IP Address: 192.168.000.001");
}

TEST(DebugLogTest, SessionOpenedAndClosedLeavesTheCountersWhereTheyWere) {
  TDebugLog log;
  log.SessionCreated(Day(8));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log] {
      for (int i = 0; i < 500; ++i) {
        log.SessionCreated(Day(8));
        log.SessionClosed(Day(8));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(log.Stats().OpenSessions, 1);
  EXPECT_EQ(log.Stats().ActiveSessions, 1);
  EXPECT_EQ(log.Lines().front(), "New Session Created: " + DateTimeText(Day(8)));
  EXPECT_EQ(log.Lines().back(), "Session Closed: " + DateTimeText(Day(8)));
}

TEST(DebugLogTest, LastUserIsShownInProperCase) {
  TDebugLog log;
  log.SetLastUser("jOHN o.smith", "Console.");
  EXPECT_EQ(log.Stats().LastUser, "John O.Smith");
  EXPECT_EQ(log.Stats().LastUserTime, "Console.");
  log.SetLastMailCheck("today");
  EXPECT_EQ(log.Stats().LastMailCheck, "today");
}

TEST(DebugLogTest, FileNameUsesTheShortDateWithDashes) {
  const std::string name = TDebugLog::AutoSaveFileName(Day(8));
  EXPECT_TRUE(name.starts_with("KST")) << name;
  EXPECT_TRUE(name.ends_with(".Txt")) << name;
  EXPECT_EQ(name.find('/'), std::string::npos) << name;
  std::string date = ShortDateText(Day(8));
  for (char& c : date) c = c == '/' ? '-' : c;
  EXPECT_EQ(name, "KST" + date + ".Txt");
}

TEST_F(LogDirectoryTest, SaveWithoutClearingCreatesTheDirectoryAndAppendsOnlyNewLines) {
  TDebugLog log;
  log.AddDebugLine("one");
  log.AddDebugLine("two");
  ASSERT_TRUE(log.AutoSave(logs_, false, Day(8)));
  const std::string saved_at = "Debug Log Saved at: " + DateTimeText(Day(8));
  EXPECT_EQ(Slurp(DayFile(8)), "one\ntwo\n");
  EXPECT_EQ(log.Lines().back(), saved_at);

  log.AddDebugLine("three");
  ASSERT_TRUE(log.AutoSave(logs_, false, Day(8, 11)));
  EXPECT_EQ(Slurp(DayFile(8)), "one\ntwo\n" + saved_at + "\nthree\n");
  EXPECT_EQ(log.Lines().size(), 5u);  // nothing cleared
}

TEST_F(LogDirectoryTest, ASecondRunTheSameDayKeepsTheFirstRunsLines) {
  {
    TDebugLog first_run;
    first_run.AddDebugLine("first run");
    ASSERT_TRUE(first_run.AutoSave(logs_, false, Day(8)));
  }
  TDebugLog second_run;
  second_run.AddDebugLine("second run");
  ASSERT_TRUE(second_run.AutoSave(logs_, false, Day(8, 12)));
  EXPECT_EQ(Slurp(DayFile(8)), "first run\n\nsecond run\n");
}

TEST_F(LogDirectoryTest, SavedLogFilesOlderThanTheRetentionAreRemovedAtTheNextSave) {
  // A day of a hostile server's error lines can be gigabytes: old files must not pile up.
  std::filesystem::create_directories(logs_);
  auto file_of_age = [&](const std::string& name, int days) {
    const std::filesystem::path path = logs_ / name;
    std::ofstream(path) << "old lines\n";
    const std::time_t when =
        std::chrono::system_clock::to_time_t(TimePointFromDateValue(Day(8))) - days * 86400;
    const utimbuf times{when, when};
    ::utime(path.c_str(), &times);
    return path;
  };
  struct Case {
    int retention_days;
    bool old_kept;
  };
  for (const Case c : {Case{30, false}, Case{0, true}}) {
    const auto old_file = file_of_age("KST01-10-2026.Txt", 40);
    const auto recent = file_of_age("KST01-11-2026.Txt", 10);
    const auto other = file_of_age("notes.Txt", 400);
    TDebugLog log;
    log.AddDebugLine("today");
    ASSERT_TRUE(log.AutoSave(logs_, false, Day(8), c.retention_days));
    EXPECT_EQ(std::filesystem::exists(old_file), c.old_kept) << c.retention_days;
    EXPECT_TRUE(std::filesystem::exists(recent));
    EXPECT_TRUE(std::filesystem::exists(other));
    EXPECT_TRUE(std::filesystem::exists(DayFile(8)));
  }
}

TEST_F(LogDirectoryTest, SaveWithClearingTwiceADay) {
  TDebugLog log;
  log.AddDebugLine("batch one");
  ASSERT_TRUE(log.AutoSave(logs_, true, Day(8)));
  const std::string cleared = "Debug Log Cleared and Saved at: " + DateTimeText(Day(8));
  EXPECT_EQ(log.Lines(), std::vector<std::string>{cleared});
  log.AddDebugLine("batch two");
  ASSERT_TRUE(log.AutoSave(logs_, true, Day(8, 11)));
  EXPECT_EQ(Slurp(DayFile(8)), "batch one\n\n" + cleared + "\nbatch two\n");
}

TEST_F(LogDirectoryTest, ANewDayStartsItsOwnFileWithTheUnwrittenLines) {
  TDebugLog log;
  log.AddDebugLine("monday");
  ASSERT_TRUE(log.AutoSave(logs_, false, Day(7)));
  log.AddDebugLine("tuesday");
  ASSERT_TRUE(log.AutoSave(logs_, false, Day(8)));
  EXPECT_EQ(Slurp(DayFile(7)), "monday\n");
  EXPECT_EQ(Slurp(DayFile(8)), "Debug Log Saved at: " + DateTimeText(Day(7)) + "\ntuesday\n");
}

TEST_F(LogDirectoryTest, AFailedSaveKeepsTheLinesForTheNextSave) {
  std::filesystem::create_directories(logs_.parent_path());
  std::ofstream(logs_) << "a file where the directory should be";
  TDebugLog log;
  log.AddDebugLine("kept");
  EXPECT_FALSE(log.AutoSave(logs_, true, Day(8)));
  EXPECT_EQ(log.Lines().front(), "kept");  // not cleared
  EXPECT_TRUE(log.Lines().back().starts_with("Debug Log could not be saved to "))
      << log.Lines().back();

  std::filesystem::remove(logs_);
  ASSERT_TRUE(log.AutoSave(logs_, true, Day(8)));
  EXPECT_TRUE(Slurp(DayFile(8)).starts_with("kept\nDebug Log could not be saved to "));
}

}  // namespace
}  // namespace kestrune
