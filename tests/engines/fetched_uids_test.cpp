// The record of fetched messages: what a crash can leave in it is read back safely.
#include "engines/fetched_uids.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace kestrune {
namespace {

namespace fs = std::filesystem;

class FetchedUids : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kst-uids-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Content() const {
    std::ifstream in(dir_ / FetchedUidFile::kFileName, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  fs::path dir_;
};

TEST_F(FetchedUids, AppendedLinesReadBackAndAMissingFileIsEmpty) {
  FetchedUidFile file(dir_);
  EXPECT_TRUE(file.Load().empty());
  file.Append({"box@host:110", "0000000155aa", "abcdefgh.eml"});
  file.Append({"box@host:110", "", "ijklmnop.eml"});
  file.Sync();
  const auto entries = file.Load();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].uid, "0000000155aa");
  EXPECT_EQ(entries[0].file_name, "abcdefgh.eml");
  EXPECT_EQ(entries[1].uid, "");  // written with a mark that no UIDL can be
  EXPECT_EQ(Content(),
            "box@host:110\t0000000155aa\tabcdefgh.eml\nbox@host:110\t<no uid>\tijklmnop.eml\n");
}

TEST_F(FetchedUids, AServerWhoseUidlIsADashIsRecognisedAsThatUidl) {
  // "-" is a valid UIDL; a file that took it for "no UIDL" stored such a message again
  // at every run.
  FetchedUidFile file(dir_);
  file.Append({"a@h:1", "-", "dash.eml"});
  const auto entries = file.Load();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].uid, "-");
}

TEST_F(FetchedUids, CutOrPlantedLinesAreIgnored) {
  std::ofstream(dir_ / FetchedUidFile::kFileName, std::ios::binary)
      << "a@h:1\tu1\tgood.eml\n"
      << "a@h:1\tu2\t../../etc/passwd\n"
      << "a@h:1\tu 3\tspace.eml\n"
      << "a@h:1\tonly-two-fields\n"
      << "\tu4\tnoaccount.eml\n"
      << "a@h:1\tu5\t.hidden\n"
      << "a@h:1\tu6\tcut-by-a-cra";  // no line end: the write was interrupted
  const auto entries = FetchedUidFile(dir_).Load();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].uid, "u1");
}

TEST_F(FetchedUids, RewriteReplacesTheLinesAndAppendingGoesOnAfterIt) {
  FetchedUidFile file(dir_);
  file.Append({"a@h:1", "u1", "one.eml"});
  file.Append({"a@h:1", "u2", "two.eml"});
  file.Rewrite({{"a@h:1", "u2", "two.eml"}});
  file.Append({"a@h:1", "u3", "three.eml"});
  EXPECT_EQ(Content(), "a@h:1\tu2\ttwo.eml\na@h:1\tu3\tthree.eml\n");
}

TEST(AccountKey, IsOneTokenWhateverTheSettingsHold) {
  EXPECT_EQ(AccountKey("box001", "127.0.0.1"), "box001@127.0.0.1");
  EXPECT_EQ(AccountKey("a b\tc%", "h\n"), "a%20b%09c%25@h%0A");
}

}  // namespace
}  // namespace kestrune
