// The header + compressed record array image shared by the data files: exact header
// bytes, round trips that keep unknown header bytes, damaged images, and what opening
// a file in a mail store reads or starts.
#include "store/record_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/store_test_support.h"

namespace kestrune {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

constexpr RecordFile::Layout kTestLayout{.file_name = "Test.Dat",
                                         .magic = "KSTX",
                                         .header_size = 12,
                                         .count_offset = 8,
                                         .record_size = 3};

TEST(RecordFile, NewHeaderIsTheCountedMagicAndZeros) {
  const RecordFile file(kTestLayout);
  EXPECT_EQ(file.NewHeader(), (Bytes{4, 'K', 'S', 'T', 'X', 0, 0, 0, 0, 0, 0, 0}));
  const RecordFile users({.file_name = "Users.Dat",
                          .magic = "KST",
                          .header_size = 8,
                          .count_offset = 4,
                          .record_size = 2080});
  EXPECT_EQ(users.NewHeader(), (Bytes{3, 'K', 'S', 'T', 0, 0, 0, 0}));
}

TEST(RecordFile, MagicMatchesIgnoringAsciiCaseButNotALengthMismatch) {
  const RecordFile file(kTestLayout);
  EXPECT_TRUE(file.MagicMatches(Bytes{4, 'k', 's', 'T', 'x', 9}));
  EXPECT_FALSE(file.MagicMatches(Bytes{3, 'K', 'S', 'T', 'X'}));
  EXPECT_FALSE(file.MagicMatches(Bytes{4, 'K', 'S', 'T'}));
  EXPECT_FALSE(file.MagicMatches(Bytes{}));
}

TEST(RecordFile, BuildImageWritesTheCountAndLoadKeepsTheOtherHeaderBytes) {
  RecordFile file(kTestLayout);
  // Bytes 5 to 7 belong to no field: they travel as read. The stale count is replaced.
  const Bytes header{4, 'K', 'S', 'T', 'X', 0xA1, 0xB2, 0xC3, 99, 0, 0, 0};
  const Bytes records{1, 2, 3, 4, 5, 6};
  const Bytes image = file.BuildImage(header, records);
  ASSERT_GT(image.size(), 12u);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 12),
            (Bytes{4, 'K', 'S', 'T', 'X', 0xA1, 0xB2, 0xC3, 2, 0, 0, 0}));
  TZLBArchive archive;
  Bytes body;
  archive.DecompressStream(std::span(image).subspan(12), body);
  EXPECT_EQ(body, records);

  RecordFile::Header loaded_header;
  RecordFile::RecordArray loaded_records;
  file.Load(image, loaded_header, loaded_records);
  EXPECT_EQ(loaded_header, Bytes(image.begin(), image.begin() + 12));
  EXPECT_EQ(loaded_records, records);
}

TEST(RecordFile, DamagedImagesThrowAndLeaveTheOutputsAlone) {
  RecordFile file(kTestLayout);
  RecordFile::Header header{7};
  RecordFile::RecordArray records{8};
  try {
    file.Load(Bytes{4, 'K', 'S', 'T', 'X', 0}, header, records);
    FAIL() << "no exception";
  } catch (const DamagedFileError& error) {
    EXPECT_EQ(std::string(error.what()), "Test.Dat is shorter than its header");
  }
  Bytes image = file.BuildImage(file.NewHeader(), Bytes{1, 2, 3, 4, 5, 6});
  image[8] = 3;  // claims a third record
  EXPECT_THROW(file.Load(image, header, records), DamagedFileError);
  image.resize(14);  // body cut short
  image[8] = 2;
  EXPECT_THROW(file.Load(image, header, records), ZlibError);
  EXPECT_EQ(header, Bytes{7});
  EXPECT_EQ(records, Bytes{8});
}

// A body written chunk by chunk, damaged anywhere (a bit flipped on disk, a cut): the
// load either throws or gives exactly the records written, never other records.
TEST(RecordFile, AChunkedBodyDamagedAnywhereIsRefusedOrReadExactly) {
  RecordFile file(kTestLayout);
  Bytes records;
  for (int i = 0; i < 3 * 500; ++i) records.push_back(static_cast<std::uint8_t>(i * 7 % 13));
  const Bytes image = file.UpdateImage(file.NewHeader(), records);
  RecordFile::Header header;
  RecordFile::RecordArray loaded;
  file.Load(image, header, loaded);
  ASSERT_EQ(loaded, records);
  int refused = 0;
  for (std::size_t position = 12; position < image.size(); ++position) {
    for (const std::uint8_t flip : {0x01, 0x80}) {
      Bytes damaged = image;
      damaged[position] ^= flip;
      try {
        file.Load(damaged, header, loaded);
        EXPECT_EQ(loaded, records) << "byte " << position;
      } catch (const std::exception&) {
        ++refused;
      }
    }
    Bytes cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(position));
    EXPECT_ANY_THROW(file.Load(cut, header, loaded)) << "cut at " << position;
  }
  EXPECT_GT(refused, 0);
}

TEST(RecordFile, ReadOrStartCreatesThePrivateMailStoreForANewFile) {
  TempDir dir;
  const auto store = dir / "Users/bob";
  RecordFile file(kTestLayout);
  DataFile data(store / "Test.Dat");
  RecordFile::Header header{7};
  RecordFile::RecordArray records{8};
  ASSERT_TRUE(file.ReadOrStart(data, store, header, records));
  EXPECT_EQ(header, file.NewHeader());
  EXPECT_TRUE(records.empty());
  EXPECT_EQ(test::PermissionBits(store), 0700u);
  EXPECT_EQ(test::DirectoryEntries(store), std::vector<std::string>{});
}

TEST(RecordFile, ReadOrStartLoadsAFileAndRefusesAnotherKind) {
  TempDir dir;
  RecordFile file(kTestLayout);
  const auto path = dir / "Test.Dat";
  const Bytes image = file.BuildImage(file.NewHeader(), Bytes{1, 2, 3});
  WriteBytes(path, image);
  DataFile data(path);
  RecordFile::Header header;
  RecordFile::RecordArray records;
  ASSERT_TRUE(file.ReadOrStart(data, dir.path(), header, records));
  EXPECT_EQ(header, Bytes(image.begin(), image.begin() + 12));
  EXPECT_EQ(records, (Bytes{1, 2, 3}));

  Bytes other = image;
  other[1] = 'Z';
  WriteBytes(path, other);
  header = Bytes{7};
  EXPECT_FALSE(file.ReadOrStart(data, dir.path(), header, records));
  EXPECT_EQ(header, Bytes{7});
  EXPECT_EQ(ReadBytes(path), other);
}

}  // namespace
}  // namespace kestrune
