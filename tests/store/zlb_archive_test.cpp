#include "store/zlb_archive.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace kestrune {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One plain zlib pass (used to check the body's layers independently of TZLBArchive).
Bytes Deflate(const Bytes& input) {
  uLongf size = compressBound(input.size());
  Bytes out(size);
  EXPECT_EQ(compress(out.data(), &size, input.data(), input.size()), Z_OK);
  out.resize(size);
  return out;
}

// One plain zlib pass at a given level (0 writes stored blocks only).
Bytes DeflateAtLevel(const Bytes& input, int level) {
  uLongf size = compressBound(input.size());
  Bytes out(size);
  EXPECT_EQ(compress2(out.data(), &size, input.data(), input.size(), level), Z_OK);
  out.resize(size);
  return out;
}

Bytes Inflate(const Bytes& input, std::size_t expected) {
  uLongf size = expected;
  Bytes out(expected + 1);
  size = out.size();
  EXPECT_EQ(uncompress(out.data(), &size, input.data(), input.size()), Z_OK);
  out.resize(size);
  return out;
}

// Records that compress somewhat but not trivially.
Bytes SampleRecords(std::size_t size) {
  Bytes bytes(size);
  std::uint32_t state = 12345;
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 1103515245 + 12345;
    bytes[i] =
        (i % 7 == 0) ? static_cast<std::uint8_t>(state >> 24) : static_cast<std::uint8_t>(i % 64);
  }
  return bytes;
}

Bytes Compress(const Bytes& records) {
  TZLBArchive archive;
  Bytes body;
  archive.CompressStream(records, body);
  return body;
}

Bytes Decompress(const Bytes& body) {
  TZLBArchive archive;
  Bytes records{1, 2, 3};  // must be replaced, not appended to
  archive.DecompressStream(body, records);
  return records;
}

TEST(TZLBArchive, BodyIsAZlibStreamOfAZlibStreamOfTheRecords) {
  const Bytes records = SampleRecords(5000);
  const Bytes body = Compress(records);
  const Bytes inner = Inflate(body, 1 << 20);
  ASSERT_GE(inner.size(), 2u);
  EXPECT_EQ(inner[0], 0x78);  // default window and level
  EXPECT_EQ(inner[1], 0x9C);
  EXPECT_EQ(body[0], 0x78);
  EXPECT_EQ(body[1], 0x9C);
  EXPECT_EQ(Inflate(inner, records.size()), records);
}

TEST(TZLBArchive, EmptyRecordArrayRoundTripsAsTwoCompleteStreams) {
  const Bytes body = Compress({});
  EXPECT_EQ(Inflate(Inflate(body, 64), 0), Bytes{});
  EXPECT_EQ(Decompress(body), Bytes{});
}

TEST(TZLBArchive, SeveralMegabytesRoundTripExactly) {
  const Bytes records = SampleRecords(2080 * 3000);
  EXPECT_EQ(Decompress(Compress(records)), records);
}

// Another program may write either stage at any level. Stored blocks copy input to
// output one to one, so a chunk of input fills the output buffer exactly as it runs out:
// an inflate call then has nothing to do and reports Z_BUF_ERROR, which is no error.
TEST(TZLBArchive, ReadsBodiesWrittenAtEveryLevelAndWithStoredBlocks) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{2080}, std::size_t{32768},
                                 std::size_t{65536}, std::size_t{2080 * 100}}) {
    const Bytes records = SampleRecords(size);
    for (const int inner_level : {0, 1, 9}) {
      for (const int outer_level : {0, 6, 9}) {
        const Bytes body = DeflateAtLevel(DeflateAtLevel(records, inner_level), outer_level);
        const std::string where = std::to_string(size) + " bytes, inner level " +
                                  std::to_string(inner_level) + ", outer " +
                                  std::to_string(outer_level);
        try {
          EXPECT_EQ(Decompress(body), records) << where;
        } catch (const std::exception& error) {
          ADD_FAILURE() << where << ": " << error.what();
        }
      }
    }
  }
}

TEST(TZLBArchive, BytesAfterTheOuterStreamAreIgnored) {
  const Bytes records = SampleRecords(3000);
  Bytes body = Compress(records);
  body.insert(body.end(), {'j', 'u', 'n', 'k', 0, 0xFF});
  EXPECT_EQ(Decompress(body), records);
}

TEST(TZLBArchive, SingleStageBodyFailsWithDataError) {
  try {
    Decompress(Deflate(Bytes(2080 * 2, 'a')));
    FAIL() << "a single-stage body was accepted";
  } catch (const ZlibError& error) {
    EXPECT_STREQ(error.what(), "data error");
    EXPECT_EQ(error.code(), Z_DATA_ERROR);
    EXPECT_EQ(error.detail(), "incorrect header check");
  }
  // A single-stage stream of nothing holds no inner stream at all.
  try {
    Decompress(Deflate({}));
    FAIL() << "an empty single-stage body was accepted";
  } catch (const ZlibError& error) {
    EXPECT_STREQ(error.what(), "buffer error");
  }
}

TEST(TZLBArchive, EveryTruncationFailsWithAZlibError) {
  const Bytes body = Compress(SampleRecords(4000));
  for (std::size_t length = 0; length < body.size(); ++length) {
    const Bytes cut(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(length));
    try {
      Decompress(cut);
      ADD_FAILURE() << "body cut to " << length << " bytes was accepted";
    } catch (const ZlibError& error) {
      EXPECT_TRUE(error.code() == Z_BUF_ERROR || error.code() == Z_DATA_ERROR) << error.what();
    }
  }
}

TEST(TZLBArchive, EveryDamagedByteFailsWithAZlibError) {
  const Bytes body = Compress(SampleRecords(600));
  for (std::size_t position = 0; position < body.size(); ++position) {
    Bytes damaged = body;
    damaged[position] ^= 0x5A;
    EXPECT_THROW(Decompress(damaged), ZlibError) << "damage at " << position;
  }
}

TEST(ZlibError, CarriesZlibsStandardMessages) {
  EXPECT_STREQ(ZlibError(Z_STREAM_ERROR).what(), "stream error");
  EXPECT_STREQ(ZlibError(Z_DATA_ERROR).what(), "data error");
  EXPECT_STREQ(ZlibError(Z_MEM_ERROR).what(), "insufficient memory");
  EXPECT_STREQ(ZlibError(Z_BUF_ERROR).what(), "buffer error");
  EXPECT_STREQ(ZlibError(Z_VERSION_ERROR).what(), "incompatible version");
  EXPECT_STREQ(ZlibError(Z_ERRNO).what(), "file error");
}

TEST(TFileCompressionLevel, MapsToZlibLevels) {
  EXPECT_EQ(ZlibLevel(TFileCompressionLevel::fcNone), 0);
  EXPECT_EQ(ZlibLevel(TFileCompressionLevel::fcFastest), 1);
  EXPECT_EQ(ZlibLevel(TFileCompressionLevel::fcDefault), -1);
  EXPECT_EQ(ZlibLevel(TFileCompressionLevel::fcMaximum), 9);
  EXPECT_EQ(TZLBArchive().CompressionLevel, TFileCompressionLevel::fcDefault);
}

TEST(DecompressRecordArray, AcceptsOnlyExactlyCountRecords) {
  TZLBArchive archive;
  const Bytes body = Compress(SampleRecords(3 * 520));
  EXPECT_EQ(DecompressRecordArray(archive, body, 3, 520), SampleRecords(3 * 520));
  EXPECT_THROW(DecompressRecordArray(archive, body, 2, 520), DamagedFileError);
  EXPECT_THROW(DecompressRecordArray(archive, body, 4, 520), DamagedFileError);
  EXPECT_THROW(DecompressRecordArray(archive, body, -1, 520), DamagedFileError);
  EXPECT_THROW(DecompressRecordArray(archive, body, 0x7FFFFFFF, 2080), DamagedFileError);
  EXPECT_EQ(DecompressRecordArray(archive, Compress({}), 0, 2080), Bytes{});
}

TEST(DecompressRecordArray, StopsAtTheAnnouncedSizeInsteadOfExpandingABomb) {
  TZLBArchive archive;
  const Bytes body = Compress(Bytes(64 << 20, 0));  // 64 MiB of zeros in a few hundred bytes
  ASSERT_LT(body.size(), 4096u);
  Bytes records;
  EXPECT_THROW(archive.DecompressStream(body, records, 1 << 20), DamagedFileError);
  EXPECT_LE(records.size(), std::size_t{1} << 20);
  EXPECT_THROW(DecompressRecordArray(archive, body, 1, 2080), DamagedFileError);
}

// The record array reader takes a faster path for bodies it can read whole; whatever a
// body holds, it must end as the streaming reader does: the same records or the same error.
TEST(DecompressRecordArray, ReadsEveryBodyAsTheStreamingReaderDoes) {
  const std::size_t size = 520 * 7;
  const Bytes records = SampleRecords(size);
  std::vector<Bytes> bodies;
  for (const int inner_level : {0, 1, 9}) {
    for (const int outer_level : {0, 6, 9}) {
      bodies.push_back(DeflateAtLevel(DeflateAtLevel(records, inner_level), outer_level));
    }
  }
  const Bytes good = Compress(records);
  for (std::size_t length = 0; length < good.size(); length += 3) {
    bodies.emplace_back(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length));
  }
  for (std::size_t position = 0; position < good.size(); ++position) {
    bodies.push_back(good);
    bodies.back()[position] ^= 0x21;
  }
  const auto outcome = [](const std::function<Bytes()>& read) -> std::string {
    try {
      const Bytes out = read();
      return "records " + std::to_string(out.size()) + " " +
             std::to_string(std::hash<std::string>()(std::string(out.begin(), out.end())));
    } catch (const ZlibError& error) {
      return "zlib " + std::to_string(error.code()) + " " + error.detail();
    } catch (const DamagedFileError& error) {
      return std::string("damaged ") + error.what();
    }
  };
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    TZLBArchive archive;
    const std::string streamed = outcome([&] {
      Bytes out;
      archive.DecompressStream(bodies[i], out, size);
      if (out.size() != size) throw DamagedFileError("short");
      return out;
    });
    const std::string whole =
        outcome([&] { return DecompressRecordArray(archive, bodies[i], 7, 520); });
    if (streamed.starts_with("damaged")) {
      EXPECT_TRUE(whole.starts_with("damaged")) << "body " << i << ": " << whole;
    } else {
      EXPECT_EQ(whole, streamed) << "body " << i;
    }
  }
}

// A small file whose header claims a gigabyte of records must be refused before that
// gigabyte is made room for (a planted Emails.Dat would cost every page view that memory).
TEST(DecompressRecordArray, AHeaderClaimingFarMoreThanItsBodyHoldsTouchesNoMemoryForIt) {
  TZLBArchive archive;
  const Bytes body = Compress(SampleRecords(3 * 2080));
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  EXPECT_THROW(DecompressRecordArray(archive, body, 500000, 2080), DamagedFileError);
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB more at the peak";
}

}  // namespace
}  // namespace kestrune
