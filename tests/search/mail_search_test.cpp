// The full-text index of a mail store: what a stored message can be found by, and the
// index surviving damage, concurrent readers and a writer kept waiting.
#include "search/mail_search.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <xapian.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "search/index_files.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

class MailSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = fs::temp_directory_path() /
             ("kst-search-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(store_);
    fs::create_directories(store_);
  }
  void TearDown() override { fs::remove_all(store_); }

  void Write(const std::string& name, const std::string& text) {
    std::ofstream(store_ / name, std::ios::binary) << text;
  }

  std::vector<std::string> Found(std::string_view words) {
    const TextSearchResult result = SearchMailStore(store_, words, 1000);
    EXPECT_TRUE(result.Ok) << result.Error;
    std::vector<std::string> names;
    for (const auto& hit : result.Hits) names.push_back(hit.FileName);
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path store_;
};

std::string Plain(std::string_view subject, std::string_view body) {
  return "From: Jane Roe <jane@example.org>\r\nTo: bob@example.com\r\nSubject: " +
         std::string(subject) + "\r\n\r\n" + std::string(body) + "\r\n.\r\n";
}

const char* const kMixed =
    "From: a@example.org\r\nSubject: files\r\nMIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
    "--b1\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
    "Gr=FC=DFe aus K=F6ln, the quarterly forecast=\r\nspreadsheet\r\n"
    "--b1\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n"
    // <p class="zebracss">Lighthouse <b>keeper</b></p><script>jellyfish()</script>
    "PHAgY2xhc3M9InplYnJhY3NzIj5MaWdodGhvdXNlIDxiPmtlZXBlcjwvYj48L3A+"
    "PHNjcmlwdD5qZWxseWZpc2goKTwvc2NyaXB0Pg==\r\n"
    "--b1\r\nContent-Type: application/pdf; name=\"Budget_Plan-2027.pdf\"\r\n"
    "Content-Disposition: attachment; filename=\"Budget_Plan-2027.pdf\"\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n--b1--\r\n.\r\n";

TEST_F(MailSearchTest, StoredMessagesAreFoundByTheirDecodedWords) {
  Write("plain.eml", Plain("Quarterly numbers", "Please bring the walrus to the meeting."));
  Write("mixed.eml", kMixed);
  ASSERT_EQ(RebuildMailStoreIndex(store_), 2);
  const std::vector<std::string> plain{"plain.eml"}, mixed{"mixed.eml"}, none;
  const struct {
    const char* words;
    std::vector<std::string> expected;
  } cases[] = {
      {"walrus", plain},               // body word
      {"QUARTERLY numbers", plain},    // subject, any case
      {"roe", plain},                  // sender's name
      {"bob@example.com", plain},      // recipient's address
      {"köln grüße", mixed},           // quoted-printable ISO-8859-1 text
      {"forecastspreadsheet", mixed},  // a soft line break joins a word
      {"lighthouse keeper", mixed},    // base64 HTML, its text
      {"zebracss", none},              // ... but not its markup
      {"jellyfish", none},             // ... nor its script
      {"budget_plan", mixed},          // attachment file name
      {"walrus keeper", none},         // every word must match
      {"", none},
  };
  for (const auto& c : cases) EXPECT_EQ(Found(c.words), c.expected) << c.words;
}

TEST_F(MailSearchTest, SnippetShowsPlainTextAroundTheWord) {
  std::string long_body;
  for (int i = 0; i < 40; ++i) long_body += "Grüße ";
  long_body += "the narwhal swims";
  for (int i = 0; i < 40; ++i) long_body += " Grüße";
  Write("a.eml", Plain("Hello", "Dear team, the <b>walrus</b> arrives on Tuesday."));
  Write("b.eml", Plain("Hello", long_body));
  auto repeat = [](std::string_view text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
  };
  const struct {
    const char* word;
    std::string expected;
  } cases[] = {
      {"walrus", "Hello Dear team, the <b>walrus</b> arrives on Tuesday."},
      // Cut at blanks around the word, never inside a character, "…" where text is left out.
      {"NARWHAL", "…" + repeat("Grüße ", 6) + "the narwhal swims" + repeat(" Grüße", 16) + "…"},
  };
  for (const auto& c : cases) {
    const TextSearchResult result = SearchMailStore(store_, c.word, 10);
    ASSERT_TRUE(result.Ok) << result.Error;
    ASSERT_EQ(result.Hits.size(), 1u) << c.word;
    EXPECT_EQ(result.Hits[0].Snippet, c.expected);
  }
}

TEST_F(MailSearchTest, AnUnusableIndexIsRebuiltOnFirstUse) {
  const struct {
    const char* what;
    std::function<void(const fs::path& index)> spoil;
  } cases[] = {
      {"garbage files",
       [](const fs::path& index) {
         fs::remove_all(index);
         fs::create_directories(index);
         std::ofstream(index / "iamglass", std::ios::binary) << "\x01garbage";
         std::ofstream(index / "postlist.glass", std::ios::binary) << std::string(9000, 'x');
       }},
      {"an older layout",
       [](const fs::path& index) {
         Xapian::WritableDatabase(index.string(), Xapian::DB_OPEN)
             .set_metadata("kestrune.schema", "0");
       }},
      {"a failed update", [](const fs::path& index) { MarkIndexStale(index.parent_path()); }},
      {"a file in its place",
       [](const fs::path& index) {
         fs::remove_all(index);
         std::ofstream(index) << "x";
       }},
  };
  for (const auto& c : cases) {
    fs::remove_all(store_);
    fs::create_directories(store_);
    Write("a.eml", Plain("Hi", "walrus"));
    ASSERT_EQ(RebuildMailStoreIndex(store_), 1);
    Write("b.eml", Plain("Hi", "walrus"));  // not in the index until it is rebuilt
    c.spoil(store_ / "Search");
    EXPECT_EQ(Found("walrus"), (std::vector<std::string>{"a.eml", "b.eml"})) << c.what;
  }
}

TEST_F(MailSearchTest, HostileQueriesAnswerWithoutThrowing) {
  Write("a.eml", Plain("Hi", "walrus"));
  std::string thousand_words;
  for (int i = 0; i < 1000; ++i) thousand_words += "word" + std::to_string(i) + " ";
  std::string binary;
  for (int i = 0; i < 5000; ++i) binary += static_cast<char>(i * 37 % 256);
  for (const std::string& words : {thousand_words, binary, std::string("walrus* OR NOT \"(")}) {
    const TextSearchResult result = SearchMailStore(store_, words, 10);
    EXPECT_TRUE(result.Ok) << result.Error;
  }
}

TEST_F(MailSearchTest, ANewsletterOfSixMegabytesMakesABoundedDocument) {
  std::string body = "openingword\r\n";
  for (int i = 0; body.size() < 6u * 1024u * 1024u; ++i) {
    body += "filler" + std::to_string(i) + " lorem ipsum dolor sit amet\r\n";
  }
  body += "closingword\r\n";
  Write("big.eml", Plain("Big", body));
  ASSERT_EQ(RebuildMailStoreIndex(store_), 1);
  EXPECT_EQ(Found("openingword").size(), 1u);
  EXPECT_TRUE(Found("closingword").empty());
  std::uintmax_t index_bytes = 0;
  for (const auto& entry : fs::directory_iterator(store_ / "Search")) {
    index_bytes += entry.file_size();
  }
  EXPECT_LT(index_bytes, 2u * 1024u * 1024u);
}

TEST_F(MailSearchTest, StoringAddsToTheIndexButNeverCreatesAHalfIndex) {
  Write("old.eml", Plain("Hi", "walrus"));
  Write("new.eml", Plain("Hi", "walrus narwhal"));
  // No index yet: one stored message must not become an index that lacks the others.
  EXPECT_FALSE(IndexStoredMessage(store_, "new.eml"));
  EXPECT_EQ(Found("walrus"), (std::vector<std::string>{"new.eml", "old.eml"}));
  Write("third.eml", Plain("Hi", "narwhal"));
  EXPECT_TRUE(IndexStoredMessage(store_, "third.eml"));
  EXPECT_EQ(Found("narwhal"), (std::vector<std::string>{"new.eml", "third.eml"}));
}

TEST_F(MailSearchTest, APurgedMessageIsNoLongerAHit) {
  Write("a.eml", Plain("Hi", "walrus"));
  Write("b.eml", Plain("Hi", "walrus"));
  ASSERT_EQ(RebuildMailStoreIndex(store_), 2);
  fs::remove(store_ / "a.eml");
  EXPECT_EQ(Found("walrus"), std::vector<std::string>{"b.eml"});
}

TEST_F(MailSearchTest, MessagesLeftUnindexedByABusyIndexOrAKilledStorerAreFound) {
  Write("a.eml", Plain("Hi", "walrus"));
  ASSERT_EQ(RebuildMailStoreIndex(store_), 1);
  Write("b.eml", Plain("Hi", "walrus"));
  {
    const auto busy = SearchIndexLock::Take(store_, std::chrono::milliseconds(0));
    ASSERT_TRUE(busy);  // a rebuild by another process, say
    EXPECT_TRUE(IndexStoredMessage(store_, "b.eml"));
  }
  // A fetch killed between filing c.eml and committing the index leaves this behind.
  Write("c.eml", Plain("Hi", "walrus"));
  AppendPendingNames(store_, {"c.eml"});
  EXPECT_EQ(Found("walrus"), (std::vector<std::string>{"a.eml", "b.eml", "c.eml"}));
  EXPECT_EQ(fs::file_size(store_ / "Search.pending"), 0u);
}

TEST_F(MailSearchTest, ReadersKeepFindingWhileMessagesAreIndexed) {
  Write("first.eml", Plain("Hi", "walrus"));
  ASSERT_EQ(RebuildMailStoreIndex(store_), 1);
  constexpr int kMessages = 150;
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; i < kMessages; ++i) {
      const std::string name = "m" + std::to_string(i) + ".eml";
      Write(name, Plain("Hi", "walrus number" + std::to_string(i)));
      IndexStoredMessage(store_, name);
    }
    writing = false;
  });
  int failures = 0, reads = 0;
  while (writing) {
    const TextSearchResult result = SearchMailStore(store_, "walrus", 1000);
    if (!result.Ok || result.Hits.empty()) {
      ++failures;
      ADD_FAILURE() << result.Error;
    }
    ++reads;
  }
  writer.join();
  EXPECT_EQ(failures, 0) << "of " << reads << " reads";
  EXPECT_EQ(Found("walrus").size(), kMessages + 1u);
}

}  // namespace
}  // namespace kestrune
