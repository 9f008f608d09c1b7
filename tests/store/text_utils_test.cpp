// Text and path utilities: exact results of each routine and their edge cases.
#include "store/text_utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

namespace kestrune {
namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "textutils-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::filesystem::path& path() const { return path_; }
  void Write(const std::string& name, std::size_t size) const {
    std::ofstream(path_ / name, std::ios::binary) << std::string(size, 'x');
  }

 private:
  std::filesystem::path path_;
};

TEST(UniqueBaseNameTest, EightCharactersFromTheAlphabetAndNoUsedBase) {
  TempDir dir;
  std::set<char> seen;
  for (int i = 0; i < 300; ++i) {
    std::string name = UniqueBaseName(dir.path());
    ASSERT_EQ(name.size(), 8u);
    for (char c : name) {
      ASSERT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) << name;
      seen.insert(c);
    }
  }
  EXPECT_EQ(seen.size(), 36u);  // every character turns up
}

TEST(UniqueBaseNameTest, CreateUniqueFileNeverReusesAName) {
  TempDir dir;
  std::vector<std::vector<UniqueFile>> made(4);
  std::vector<std::thread> threads;
  for (auto& list : made) {
    threads.emplace_back([&dir, &list] {
      for (int i = 0; i < 100; ++i) list.push_back(CreateUniqueFile(dir.path(), ".eml"));
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> names;
  for (const auto& list : made) {
    for (const UniqueFile& file : list) {
      names.insert(file.base_name);
      EXPECT_EQ(file.path, dir.path() / (file.base_name + ".eml"));
      struct stat info {};
      ASSERT_EQ(stat(file.path.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, 0600u);
      EXPECT_EQ(info.st_size, 0);
    }
  }
  EXPECT_EQ(names.size(), 400u);
}

TEST(UniqueBaseNameTest, CreateUniqueFileReportsAMissingDirectory) {
  TempDir dir;
  EXPECT_THROW(CreateUniqueFile(dir.path() / "missing", ".htm"), std::system_error);
}

TEST(ProperCaseTest, WordsStartUpperCase) {
  EXPECT_EQ(ProperCase(""), "");
  EXPECT_EQ(ProperCase("ADMIN"), "Admin");
  EXPECT_EQ(ProperCase("big mail box"), "Big Mail Box");
  EXPECT_EQ(ProperCase("ADMIN_USER"), "Admin_User");
  EXPECT_EQ(ProperCase("x.y"), "X.Y");
  EXPECT_EQ(ProperCase("a\\b\"c=d"), "A\\B\"C=D");
  EXPECT_EQ(ProperCase("1st place"), "1st Place");
  EXPECT_EQ(ProperCase("ÄBC dEF"), "Äbc Def");  // non-ASCII bytes untouched
}

TEST(TextToHtmlTest, EscapesThenTurnsCarriageReturnsIntoBreaks) {
  EXPECT_EQ(TextToHtml("a\r\nb"), "a<br>\nb");
  EXPECT_EQ(TextToHtml("<script>&\"x\"\r"), "&lt;script&gt;&amp;&quot;x&quot;<br>");
  EXPECT_EQ(TextToHtml(""), "");
}

TEST(FindTextTest, OneBasedPositionOfFirstOccurrence) {
  int position = -1;
  EXPECT_TRUE(FindText(";", "1;x", position));
  EXPECT_EQ(position, 2);
  EXPECT_FALSE(FindText("abc", "xab", position));
  EXPECT_EQ(position, 0);
  EXPECT_FALSE(FindText("11004", "Socket Error # 10060", position));
  EXPECT_TRUE(FindText("ab", "abab", position));
  EXPECT_EQ(position, 1);
  EXPECT_FALSE(FindText("A", "a", position));  // letter case counts
  EXPECT_FALSE(FindText("", "a", position));
}

TEST(FileSizeOfTest, SizesOfFilesAndPatterns) {
  TempDir dir;
  dir.Write("a.eml", 10);
  dir.Write("b.eml", 32);
  dir.Write("c.htm", 5);
  std::filesystem::create_directory(dir.path() / "sub.eml");
  EXPECT_EQ(FileSizeOf(dir.path() / "a.eml"), 10);
  EXPECT_EQ(FileSizeOf(dir.path() / "missing.eml"), -1);
  EXPECT_EQ(FileSizeOf(dir.path() / "*.eml"), 42);
  EXPECT_EQ(FileSizeOf(dir.path() / "*.*"), 47);
  EXPECT_EQ(FileSizeOf(dir.path() / "*.txt"), 0);
  EXPECT_EQ(FileSizeOf(dir.path() / "missing" / "*.*"), 0);
}

TEST(FileSizeOfTest, RelativePathsStartAtTheCurrentDirectory) {
  TempDir dir;
  dir.Write("rel.txt", 7);
  auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(FileSizeOf("rel.txt"), 7);
  EXPECT_EQ(FileSizeOf("*.txt"), 7);
  std::filesystem::current_path(old);
}

TEST(FileExistsTest, FilesDirectoriesAndPatterns) {
  TempDir dir;
  dir.Write("abc12345.eml", 1);
  EXPECT_TRUE(FileExists(dir.path() / "abc12345.eml"));
  EXPECT_TRUE(FileExists(dir.path() / "abc12345.*"));
  EXPECT_FALSE(FileExists(dir.path() / "abc12346.*"));
  EXPECT_FALSE(FileExists(dir.path()));
  EXPECT_TRUE(DirectoryExists(dir.path()));
  EXPECT_FALSE(DirectoryExists(dir.path() / "abc12345.eml"));
}

TEST(FilePatternTest, StarQuestionMarkAndStarDotStar) {
  EXPECT_TRUE(MatchesFilePattern("Users.Dat", "*.*"));
  EXPECT_TRUE(MatchesFilePattern("README", "*.*"));
  EXPECT_TRUE(MatchesFilePattern("abc.eml", "*.eml"));
  EXPECT_FALSE(MatchesFilePattern("abc.emlx", "*.eml"));
  EXPECT_TRUE(MatchesFilePattern("abc.eml", "a?c.*"));
  EXPECT_FALSE(MatchesFilePattern("ac.eml", "a?c.*"));
  EXPECT_TRUE(MatchesFilePattern("a.b.c", "*.c"));
  EXPECT_FALSE(MatchesFilePattern("ABC.eml", "abc.*"));
}

TEST(CopyMatchingFilesTest, CopiesFilesButNotDirectories) {
  TempDir source;
  TempDir target;
  source.Write("Users.Dat", 20);
  source.Write("notes.txt", 3);
  std::filesystem::create_directory(source.path() / "bob");
  std::ofstream(source.path() / "bob" / "Emails.Dat") << "x";
  std::ofstream(target.path() / "notes.txt") << "old contents";
  const auto destination = target.path() / "new";
  EXPECT_TRUE(CopyMatchingFiles(source.path() / "*.*", destination));
  EXPECT_EQ(FileSizeOf(destination / "Users.Dat"), 20);
  EXPECT_EQ(FileSizeOf(destination / "notes.txt"), 3);
  EXPECT_FALSE(std::filesystem::exists(destination / "bob"));
  // The source files are kept.
  EXPECT_EQ(FileSizeOf(source.path() / "Users.Dat"), 20);

  EXPECT_TRUE(CopyMatchingFiles(source.path() / "*.txt", target.path()));
  EXPECT_EQ(FileSizeOf(target.path() / "notes.txt"), 3);  // replaced
}

TEST(CopyMatchingFilesTest, FailsWhenTheDestinationCannotBeMade) {
  TempDir source;
  source.Write("a.txt", 1);
  EXPECT_FALSE(CopyMatchingFiles(source.path() / "*.*", source.path() / "a.txt" / "sub"));
}

}  // namespace
}  // namespace kestrune
