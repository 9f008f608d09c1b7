// The find page's matching over a real message index: the substring rule of the three
// typed criteria, purged records, and the join of full-text hits with the live records.
#include "web/app/message_find.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/random.h"

namespace kestrune {
namespace {

namespace st = email_status;

struct Stored {
  std::string subject, sender, recipient, file;
  std::int32_t status = st::kInboxRead;
};

class MessageFindTest : public ::testing::Test {
 protected:
  MessageFindTest()
      : store_(std::filesystem::temp_directory_path() / ("kst-find-" + RandomHex(6))) {
    std::filesystem::create_directories(store_);
  }
  ~MessageFindTest() override { std::filesystem::remove_all(store_); }

  void Add(const std::vector<Stored>& messages) {
    ASSERT_TRUE(index_.Open(store_));
    for (const Stored& message : messages) {
      TEmailRecord record;
      record.Subject = message.subject;
      record.Sender = message.sender;
      record.Recipient = message.recipient;
      record.FileName = message.file;
      record.Status = message.status;
      ASSERT_TRUE(index_.AddEmail(record));
    }
  }

  std::filesystem::path store_;
  TUserEmailDB index_;
};

TEST_F(MessageFindTest, TypedCriteriaMatchBySubstringIgnoringCaseAndCombineWithOr) {
  Add({{"Hello", "bob <bob@x.test>", "ann@x.test", "a.eml"},
       {"Lunch", "Bobby Smith", "carl@x.test", "b.eml"},
       {"ox", "eve@x.test", "BOB@x.test", "c.eml"},
       {"Gone", "bob@x.test", "", "d.eml", st::kPurged},
       {"Queued bob", "me@x.test", "zed@x.test", "e.eml", st::kOutbox},
       {"Ünïcode", "dana@x.test", "", "f.eml", st::kDeleted}});
  struct Case {
    const char* name;
    FindCriteria criteria;  // To, From, Subject, Text
    std::vector<int> expected;
  };
  const Case cases[] = {
      {"all empty finds nothing", {}, {}},
      {"sender BOB matches bob and Bobby, not the recipient", {"", "BOB", "", ""}, {1, 2}},
      {"recipient only", {"bob", "", "", ""}, {3}},
      {"OR: subject matches though sender does not", {"", "nobody", "lunch", ""}, {2}},
      {"criterion longer than the field", {"", "", "Hello there, a long subject", ""}, {}},
      {"first letters only at the end of the field", {"", "", "ox", ""}, {3}},
      {"ox against hello does not match", {"", "", "lox", ""}, {}},
      {"every folder but purged, Outbox and Deleted included", {"", "", "o", ""}, {1, 3, 5, 6}},
      {"letters outside ASCII compared byte for byte", {"", "", "nïc", ""}, {6}},
      {"upper-casing touches ASCII only", {"", "", "ÜNÏ", ""}, {}},
      {"nor lower-casing", {"", "", "ünï", ""}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FindMessageNumbers(index_, c.criteria), c.expected) << c.name;
    std::vector<int> listed;
    for (const FoundMessage& found : FindMessages(index_, store_, c.criteria).Messages) {
      listed.push_back(found.Index);
    }
    EXPECT_EQ(listed, c.expected) << c.name;
  }
}

TEST_F(MessageFindTest, TextHitsAreJoinedWithTheLiveRecordsNewestFirst) {
  Add({{"first", "a@x.test", "", "1.eml", st::kInboxUnread},
       {"purged", "a@x.test", "", "2.eml", st::kPurged},
       {"moved", "a@x.test", "", "3.eml", st::kSavedRead},
       {"typed match", "zed@x.test", "", "4.eml"}});
  const auto search = [](const std::filesystem::path&, std::string_view words, std::size_t) {
    EXPECT_EQ(words, "budget");
    return TextSearchResult{{{"3.eml", "the budget <b>"},
                             {"2.eml", "purged budget"},
                             {"gone.eml", "no record"},
                             {"1.eml", "budget first"}},
                            true,
                            ""};
  };
  const FindResult result = FindMessages(index_, store_, {"", "zed", "", "  budget "}, search);
  ASSERT_FALSE(result.TextFailed);
  ASSERT_EQ(result.Messages.size(), 3u);
  EXPECT_EQ(result.Messages[0].Index, 4);
  EXPECT_EQ(result.Messages[0].Snippet, "");
  EXPECT_EQ(result.Messages[1].Index, 3);
  EXPECT_EQ(result.Messages[1].Record.Status, st::kSavedRead);
  EXPECT_EQ(result.Messages[1].Snippet, "the budget <b>");
  EXPECT_EQ(result.Messages[2].Index, 1);
}

TEST_F(MessageFindTest, ABrokenFullTextIndexLeavesTheTypedCriteriaWorking) {
  Add({{"Report", "a@x.test", "", "1.eml"}, {"Other", "b@x.test", "", "2.eml"}});
  for (bool throws : {false, true}) {
    const auto search = [throws](const std::filesystem::path&, std::string_view,
                                 std::size_t) -> TextSearchResult {
      if (throws) throw std::runtime_error("DatabaseCorruptError: bad block");
      return {{}, false, "index damaged"};
    };
    const FindResult result = FindMessages(index_, store_, {"", "", "report", "words"}, search);
    EXPECT_TRUE(result.TextFailed);
    EXPECT_EQ(result.TextError, throws ? "DatabaseCorruptError: bad block" : "index damaged");
    ASSERT_EQ(result.Messages.size(), 1u);
    EXPECT_EQ(result.Messages[0].Index, 1);
  }
}

TEST_F(MessageFindTest, SnippetsAreShortSingleLineAndCutAtACharacter) {
  EXPECT_EQ(ShortSnippet("  a\r\n\tb  c ", 100), "a b c");
  EXPECT_EQ(ShortSnippet("abcdef", 4), "abcd...");
  EXPECT_EQ(ShortSnippet("abcé", 4), "abc...");
}

}  // namespace
}  // namespace kestrune
