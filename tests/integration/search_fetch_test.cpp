// Mail fetched from Dovecot is found by its words at once: the fetch adds what it stores
// to the store's full-text index in the run that stores it.
#include <gtest/gtest.h>

#include <atomic>

#include "engines/mail_runs.h"
#include "mail_fixture.h"
#include "search/mail_search.h"
#include "settings/program_config.h"

namespace kestrune::testing {
namespace {

TEST(SearchFetch, AFetchedMessageIsFoundByABodyWordWithoutARebuild) {
  TestHome home;
  PopMailbox box;
  box.Deliver(TestMessage("Walrus sighting", "w1@test"));
  box.Deliver(TestMessage("Unrelated", "w2@test"));
  home.SaveUsers({home.User("Ann", &box)});
  const fs::path store = home.StoreOf("Ann");
  fs::create_directories(store);
  ASSERT_EQ(RebuildMailStoreIndex(store), 0);  // an index exists: no rebuild hides a miss

  TProgramConfig config;
  config.ServerTimeOut = 10;
  config.UserDirectories = home.UsersDirText();
  TUserList users;
  ASSERT_TRUE(users.Open(home.UsersDirText()));
  std::atomic<bool> stop{false};
  MailRunContext context{config, users, [](std::string_view) {}, &stop};
  ASSERT_TRUE(ReceiveMsgs(context));

  const auto records = home.Records("Ann");
  ASSERT_EQ(records.size(), 2u);
  const TextSearchResult found = SearchMailStore(store, "walrus", 10);
  ASSERT_TRUE(found.Ok) << found.Error;
  ASSERT_EQ(found.Hits.size(), 1u);
  EXPECT_EQ(found.Hits[0].FileName, records[0].FileName);
  EXPECT_EQ(SearchMailStore(store, "quick fox", 10).Hits.size(), 2u);  // body words
}

}  // namespace
}  // namespace kestrune::testing
