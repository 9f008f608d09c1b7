// backup, backup --verify and restore: a home with accounts, messages and settings comes
// back whole in another directory; hostile archives are refused without writing anything;
// a full disk leaves no partial archive; mail saved by the store's own code while the
// backup runs never leaves an index naming a message the archive lacks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "host/command_line.h"
#include "host/home_backup.h"
#include "host/tar_archive.h"
#include "store/email_db.h"
#include "store/user_list.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& file, std::string_view bytes, mode_t mode = 0600) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
  fs::permissions(file, static_cast<fs::perms>(mode));
}

mode_t ModeOf(const fs::path& file) {
  struct stat info {};
  EXPECT_EQ(::lstat(file.c_str(), &info), 0) << file;
  return info.st_mode & 07777;
}

// A message as a fetch stores it: the file first, then its record through the store's save.
std::string StoreMessage(const fs::path& store, int number, std::size_t body_bytes = 200) {
  const std::string name = "m" + std::to_string(number) + ".eml";
  WriteFile(store / name, "Subject: message " + std::to_string(number) + "\r\n\r\n" +
                              std::string(body_bytes, 'x') + "\r\n.\r\n");
  TUserEmailDB index;
  EXPECT_TRUE(index.Open(store));
  TEmailRecord record;
  record.Subject = "message " + std::to_string(number);
  record.FileName = name;
  index.ChangeUnderLock([&] { index.AddEmail(record); });
  return name;
}

// A purge as the pages do it: the record says purged before the file goes.
void PurgeMessage(const fs::path& store, const std::string& name) {
  TUserEmailDB index;
  ASSERT_TRUE(index.Open(store));
  index.ChangeUnderLock([&] {
    for (int i = 1; i <= index.GetCount(); ++i) {
      TEmailRecord record;
      if (index.GetEmail(i, record) && record.FileName == name) {
        record.Status = email_status::kPurged;
        index.SetEmail(i, record);
      }
    }
  });
  fs::remove(store / name);
}

// Raw tar blocks in a gzip member, for archives our own writer would never make.
class RawArchive {
 public:
  RawArchive& Entry(const std::string& name, char type, const std::string& data = "",
                    const std::string& link = "", std::size_t declared_size = 0) {
    std::array<unsigned char, 512> block{};
    std::memcpy(block.data(), name.data(), std::min<std::size_t>(name.size(), 100));
    std::snprintf(reinterpret_cast<char*>(block.data() + 100), 8, "%07o", 0644);
    std::snprintf(reinterpret_cast<char*>(block.data() + 108), 8, "%07o", 0);
    std::snprintf(reinterpret_cast<char*>(block.data() + 116), 8, "%07o", 0);
    std::snprintf(reinterpret_cast<char*>(block.data() + 124), 12, "%011zo",
                  declared_size != 0 ? declared_size : data.size());
    std::snprintf(reinterpret_cast<char*>(block.data() + 136), 12, "%011o", 0);
    block[156] = static_cast<unsigned char>(type);
    std::memcpy(block.data() + 157, link.data(), std::min<std::size_t>(link.size(), 100));
    std::memcpy(block.data() + 257,
                "ustar\0"
                "00",
                8);
    unsigned sum = 8 * ' ';
    for (std::size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? 0 : block[i];
    std::snprintf(reinterpret_cast<char*>(block.data() + 148), 8, "%06o", sum);
    block[155] = ' ';
    tar_.append(reinterpret_cast<const char*>(block.data()), 512);
    tar_ += data;
    tar_.append((512 - data.size() % 512) % 512, '\0');
    return *this;
  }
  RawArchive& Manifest() {
    return Entry(kBackupManifestName, '0', "Kestrune backup 1\nhome /x/\nusers Users\n");
  }

  std::string Gzip() const {
    const std::string tar = tar_ + std::string(1024, '\0');
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, tar.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(tar.data()));
    stream.avail_in = static_cast<uInt>(tar.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
  }

 private:
  std::string tar_;
};

class BackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "backup-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    home_ = root_ / "home";
  }
  void TearDown() override { fs::remove_all(root_); }

  static Result Run(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    Result result;
    result.status = RunProgram(args, out, err);
    result.out = out.str();
    result.err = err.str();
    return result;
  }
  Result AtHome(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--home", home_.string()});
    return Run(args);
  }

  // Admin and bob with a few messages, a contact-free store, settings and language files.
  void MakeHome() {
    WriteFile(root_ / "pw", "secret\n");
    ASSERT_EQ(AtHome({"settings", "set", "Port", "8123"}).status, 0);
    ASSERT_EQ(AtHome({"users", "add", "Admin", "--password-file", (root_ / "pw").string(),
                      "--level", "0"})
                  .status,
              0);
    ASSERT_EQ(AtHome({"users", "add", "bob", "--password-file", (root_ / "pw").string()}).status,
              0);
    for (int i = 0; i < 3; ++i) StoreMessage(Bob(home_), i);
    TUserList users;  // an account from an older installation, its mail elsewhere
    ASSERT_TRUE(users.Open(home_ / "Users"));
    TUserRecord carol;
    carol.UserName = "carol";
    carol.UserDir = "/srv/elsewhere/";
    users.AddUser(carol);
    users.Save();
    WriteFile(home_ / "Lang" / "Langs.txt", "English\n", 0640);
    WriteFile(home_ / "Logs" / "KST2026-12-10.Txt", "line one\nhalf a li");
    WriteFile(Bob(home_) / "Search" / "postlist.glass", "index");
    WriteFile(home_ / "Cache" / "x.tmp", "cache");
    WriteFile(Bob(home_) / "halfwritten.eml", "Subject: a message being written, no record ye");
  }
  static fs::path Bob(const fs::path& home) { return home / "Users" / "bob"; }

  fs::path root_;
  fs::path home_;
};

TEST_F(BackupTest, RestoredHomeHoldsEveryAccountAndMessageWithItsModesInTheNewPlace) {
  MakeHome();
  const fs::path archive = root_ / "home.tar.gz";
  const Result backup = AtHome({"backup", archive.string()});
  ASSERT_EQ(backup.status, 0) << backup.err;
  EXPECT_NE(backup.out.find("messages\t3\n"), std::string::npos) << backup.out;
  EXPECT_EQ(backup.err,
            "kestrune: note: the mail store /srv/elsewhere/ of carol is not inside the "
            "users directory and is not in the backup\n");
  EXPECT_EQ(ModeOf(archive), 0600u);
  EXPECT_FALSE(fs::exists(archive.string() + ".tmp"));

  const Result verify = Run({"backup", "--verify", archive.string()});
  ASSERT_EQ(verify.status, 0) << verify.err;
  EXPECT_NE(verify.out.find("mail stores\t1\n"), std::string::npos) << verify.out;  // bob's

  const fs::path restored = root_ / "elsewhere" / "home2";
  const Result restore = Run({"restore", archive.string(), "--home", restored.string()});
  ASSERT_EQ(restore.status, 0) << restore.err;

  // Accounts and their mail stores point into the new home; messages are byte for byte.
  TUserList users;
  ASSERT_TRUE(users.Open(restored / "Users"));
  ASSERT_EQ(users.GetCount(), 3);
  TUserRecord bob;
  ASSERT_TRUE(users.FindUser("bob", bob));
  EXPECT_EQ(bob.UserDir, Bob(restored).string() + "/");
  const Result listed = Run({"--home", restored.string(), "settings", "get", "UserDirectories"});
  EXPECT_EQ(listed.out, (restored / "Users").string() + "/\n");
  EXPECT_EQ(Run({"--home", restored.string(), "settings", "get", "Port"}).out, "8123\n");
  const Result index = Run({"--home", restored.string(), "index", "bob"});
  EXPECT_EQ(std::count(index.out.begin(), index.out.end(), '\n'), 3) << index.out;
  for (int i = 0; i < 3; ++i) {
    const std::string name = "m" + std::to_string(i) + ".eml";
    EXPECT_EQ(Slurp(Bob(restored) / name), Slurp(Bob(home_) / name));
  }
  EXPECT_EQ(ModeOf(restored / "Lang" / "Langs.txt"), 0640u);
  EXPECT_EQ(ModeOf(Bob(restored)), ModeOf(Bob(home_)));
  // A log line being written is left for the next backup; caches and the search index
  // (built again from the message files) are not kept.
  EXPECT_EQ(Slurp(restored / "Logs" / "KST2026-12-10.Txt"), "line one\n");
  EXPECT_FALSE(fs::exists(Bob(restored) / "Search"));
  EXPECT_FALSE(fs::exists(Bob(restored) / "halfwritten.eml"));
  EXPECT_FALSE(fs::exists(restored / "Cache"));
  EXPECT_FALSE(fs::exists(restored / kBackupManifestName));
}

TEST_F(BackupTest, ArchiveInsideTheHomeOrOverAnExistingFileIsRefused) {
  MakeHome();
  Result inside = AtHome({"backup", (home_ / "Files" / "b.tar.gz").string()});
  EXPECT_EQ(inside.status, 1);
  EXPECT_NE(inside.err.find("inside the home"), std::string::npos) << inside.err;
  EXPECT_FALSE(fs::exists(home_ / "Files" / "b.tar.gz.tmp"));

  const fs::path archive = root_ / "b.tar.gz";
  WriteFile(archive, "older backup");
  Result refused = AtHome({"backup", archive.string()});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("give --force"), std::string::npos) << refused.err;
  EXPECT_EQ(Slurp(archive), "older backup");
  EXPECT_EQ(AtHome({"backup", "--force", archive.string()}).status, 0);
  EXPECT_EQ(Run({"backup", "--verify", archive.string()}).status, 0);

  // A restore only goes into an empty or missing directory.
  WriteFile(root_ / "used" / "x", "data");
  Result used = Run({"restore", archive.string(), "--home", (root_ / "used").string()});
  EXPECT_EQ(used.status, 1);
  EXPECT_NE(used.err.find("not empty"), std::string::npos) << used.err;
  EXPECT_EQ(Run({"restore", archive.string()}).status, 2);
}

TEST_F(BackupTest, HostileArchivesAreRefusedAndWriteNothing) {
  const std::string manifest = "Kestrune backup 1\nhome /x/\nusers Users\n";
  RawArchive valid;
  valid.Entry("Users/", '5')
      .Entry("Users/bob/", '5')
      .Entry("Users/bob/a.eml", '0', "mail")
      .Manifest();
  const std::string whole = valid.Gzip();

  struct Case {
    const char* attack;
    std::string archive;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"path traversal", RawArchive().Entry("../escape.txt", '0', "x").Manifest().Gzip(),
       "climbs out"},
      {"traversal inside a path",
       RawArchive().Entry("Users/../../escape.txt", '0', "x").Manifest().Gzip(), "climbs out"},
      {"absolute path", RawArchive().Entry("/tmp/escape.txt", '0', "x").Manifest().Gzip(),
       "absolute"},
      {"symbolic link out", RawArchive().Entry("Users", '2', "", "/etc").Manifest().Gzip(),
       "is a link"},
      {"hard link", RawArchive().Entry("Users", '1', "", "/etc/passwd").Manifest().Gzip(),
       "is a link"},
      {"entry claiming a gigabyte",
       RawArchive().Entry("Lang/big.txt", '0', "x", "", std::size_t{1} << 30).Manifest().Gzip(),
       "larger than 256 MiB"},
      {"device", RawArchive().Entry("dev", '3').Manifest().Gzip(), "not restored"},
      {"duplicate entry",
       RawArchive()
           .Entry("Lang/a.txt", '0', "one")
           .Entry("Lang/a.txt", '0', "two")
           .Manifest()
           .Gzip(),
       "appears twice"},
      {"file below a file",
       RawArchive().Entry("Lang", '0', "one").Entry("Lang/a.txt", '0', "two").Manifest().Gzip(),
       "lies below the file"},
      {"truncated", whole.substr(0, whole.size() / 2), "ends early"},
      {"truncated gzip trailer", whole.substr(0, whole.size() - 4), "ends early"},
      {"not a backup", RawArchive().Entry("Lang/a.txt", '0', "one").Gzip(),
       "no backup description"},
      {"damaged index",
       RawArchive()
           .Entry("Users/bob/Emails.Dat", '0', std::string("\x04KSTE\0\0\0\x01\0\0\0junk", 16))
           .Manifest()
           .Gzip(),
       "cannot be read"},
      {"not gzip", std::string(600, 'A'), "damaged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attack);
    const fs::path archive = root_ / "hostile.tar.gz";
    WriteFile(archive, c.archive);
    const fs::path target = root_ / "target";
    const Result result = Run({"restore", archive.string(), "--home", target.string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(target));
    EXPECT_FALSE(fs::exists(root_ / "escape.txt"));
    EXPECT_EQ(Run({"backup", "--verify", archive.string()}).status, 1);
  }
}

TEST_F(BackupTest, AnIndexNamingAMessageTheArchiveLacksFailsTheCheck) {
  MakeHome();
  const fs::path archive = root_ / "b.tar.gz";
  ASSERT_EQ(AtHome({"backup", archive.string()}).status, 0);
  // The same archive without one message file.
  const int in = ::open(archive.c_str(), O_RDONLY);
  TarGzReader reader(in);
  const fs::path cut = root_ / "cut.tar.gz";
  const int out = ::open(cut.c_str(), O_WRONLY | O_CREAT, 0600);
  {
    TarGzWriter writer(out);
    while (auto entry = reader.Next()) {
      if (entry->path != "Users/bob/m1.eml") writer.Add(*entry);
    }
    writer.Finish();
  }
  ::close(in);
  ::close(out);
  const Result verify = Run({"backup", "--verify", cut.string()});
  EXPECT_EQ(verify.status, 1);
  EXPECT_NE(verify.err.find("Users/bob/m1.eml named by its index is not in the archive"),
            std::string::npos)
      << verify.err;
}

TEST_F(BackupTest, BackupOrRestoreIntoAFullDiskLeavesNothingBehind) {
  MakeHome();
  // Random bytes do not compress: the archive needs well over the limit below.
  std::mt19937 random(7);
  std::string noise(512 * 1024, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  WriteFile(home_ / "Files" / "big.bin", noise);
  const fs::path archive = root_ / "full.tar.gz";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{128 * 1024, 128 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::ostringstream out, err;
    const int status = RunProgram({"--home", home_.string(), "backup", archive.string()}, out, err);
    const bool said = err.str().find("File too large") != std::string::npos;
    _exit(status == 1 && said ? 0 : 10 + status);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the backup did not fail with the write error";
  EXPECT_FALSE(fs::exists(archive));
  EXPECT_FALSE(fs::exists(archive.string() + ".tmp"));

  // A restore that runs out of room takes back what it unpacked.
  ASSERT_EQ(AtHome({"backup", archive.string()}).status, 0);
  const fs::path target = root_ / "target";
  const pid_t restorer = fork();
  ASSERT_GE(restorer, 0);
  if (restorer == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{128 * 1024, 128 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::ostringstream out, err;
    const int status =
        RunProgram({"restore", archive.string(), "--home", target.string()}, out, err);
    _exit(status == 1 && err.str().find("File too large") != std::string::npos ? 0 : 10 + status);
  }
  ASSERT_EQ(waitpid(restorer, &status, 0), restorer);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the restore did not fail with the write error";
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(BackupTest, MailSavedAndPurgedDuringTheBackupNeverLeavesAnIndexWithoutItsMessage) {
  MakeHome();
  std::atomic<bool> stop = false;
  std::atomic<int> stored = 0;
  std::thread writer([&] {
    for (int i = 100; !stop; ++i) {
      const std::string name = StoreMessage(Bob(home_), i, 20000);
      if (i % 3 == 0) PurgeMessage(Bob(home_), name);
      ++stored;
    }
  });
  while (stored < 20) std::this_thread::yield();
  for (int round = 0; round < 5; ++round) {
    const fs::path archive = root_ / ("during" + std::to_string(round) + ".tar.gz");
    const Result backup = AtHome({"backup", archive.string()});
    ASSERT_EQ(backup.status, 0) << backup.err;
    EXPECT_EQ(backup.err.find("missing"), std::string::npos) << backup.err;
  }
  stop = true;
  writer.join();
  const fs::path restored = root_ / "restored";
  const fs::path last = root_ / "during4.tar.gz";
  ASSERT_EQ(Run({"restore", last.string(), "--home", restored.string()}).status, 0);
  TUserEmailDB index;
  ASSERT_TRUE(index.Open(Bob(restored)));
  int live = 0;
  for (int i = 1; i <= index.GetCount(); ++i) {
    TEmailRecord record;
    ASSERT_TRUE(index.GetEmail(i, record));
    if (record.Status == email_status::kPurged) continue;
    ++live;
    EXPECT_TRUE(fs::exists(Bob(restored) / record.FileName)) << record.FileName;
  }
  EXPECT_GT(live, 3);
}

}  // namespace
}  // namespace kestrune
