// Data-store timings: the two-stage container against two plain zlib passes over the
// same bytes (the ratio should be close to 1), and a whole load + change one record +
// save cycle of Users.Dat at growing sizes.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <zlib.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "store/record_io.h"
#include "store/user_list.h"
#include "store/zlb_archive.h"

namespace kestrune {
namespace {

using Bytes = std::vector<std::uint8_t>;

// count records of record_size bytes that look like index entries: a few counted
// strings of varying text, the rest zero.
Bytes IndexLikeRecords(int count, std::size_t record_size) {
  Bytes records(static_cast<std::size_t>(count) * record_size);
  for (int i = 0; i < count; ++i) {
    const std::span<std::uint8_t> record(records.data() + i * record_size, record_size);
    WriteCountedString(record, 0, 255,
                       "Re: quarterly report, part " + std::to_string(i * 7919 % 1000));
    WriteCountedString(
        record, 256, 255,
        "\"Sender " + std::to_string(i % 97) + "\" <s" + std::to_string(i % 97) + "@example.org>");
    WriteCountedString(record, 512, 255, "user@example.net");
    WriteCountedString(record, 768, 255, "12/03/2024 10:" + std::to_string(10 + i % 50) + ":00");
    WriteCountedString(record, 1025, 255, std::to_string(100000000 + i * 7907 % 89999999) + ".eml");
    WriteInt32LE(record, record_size - 4, i % 11);
  }
  return records;
}

Bytes PlainDeflate(const Bytes& input) {
  uLongf size = compressBound(input.size());
  Bytes out(size);
  compress(out.data(), &size, input.data(), input.size());
  out.resize(size);
  return out;
}

Bytes PlainInflate(const Bytes& input, std::size_t size) {
  Bytes out(size);
  uLongf out_size = size;
  uncompress(out.data(), &out_size, input.data(), input.size());
  out.resize(out_size);
  return out;
}

void BM_ContainerCompress(benchmark::State& state) {
  const Bytes records = IndexLikeRecords(static_cast<int>(state.range(0)), 1288);
  TZLBArchive archive;
  Bytes body;
  for (auto _ : state) {
    archive.CompressStream(records, body);
    benchmark::DoNotOptimize(body.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(records.size()));
}

void BM_TwoZlibPassesCompress(benchmark::State& state) {
  const Bytes records = IndexLikeRecords(static_cast<int>(state.range(0)), 1288);
  for (auto _ : state) {
    Bytes body = PlainDeflate(PlainDeflate(records));
    benchmark::DoNotOptimize(body.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(records.size()));
}

void BM_ContainerDecompress(benchmark::State& state) {
  const Bytes records = IndexLikeRecords(static_cast<int>(state.range(0)), 1288);
  TZLBArchive archive;
  Bytes body;
  archive.CompressStream(records, body);
  Bytes out;
  for (auto _ : state) {
    archive.DecompressStream(body, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(records.size()));
}

void BM_TwoZlibPassesDecompress(benchmark::State& state) {
  const Bytes records = IndexLikeRecords(static_cast<int>(state.range(0)), 1288);
  const Bytes inner = PlainDeflate(records);
  const Bytes body = PlainDeflate(inner);
  for (auto _ : state) {
    Bytes out = PlainInflate(PlainInflate(body, inner.size()), records.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(records.size()));
}

// A users directory holding count users, made once per size for the whole run.
std::filesystem::path UsersDirectory(int count) {
  static std::map<int, std::filesystem::path> made;
  auto& directory = made[count];
  if (directory.empty()) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kestrune-bench-XXXXXX").string();
    directory = ::mkdtemp(pattern.data());
    TUserList list;
    list.Open(directory);
    for (int i = 0; i < count; ++i) {
      TUserRecord user;
      user.UserName = "user" + std::to_string(i);
      user.Password = "password" + std::to_string(i * 31 % 1000);
      user.UserDir = directory.string() + "/" + user.UserName + "/";
      user.EmailAddress = user.UserName + "@example.org";
      user.PopServer = "pop.example.org";
      user.PopPort = 110;
      list.AddUser(user);
    }
    list.Save();
  }
  return directory;
}

void BM_UsersLoadChangeOneSave(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::filesystem::path directory = UsersDirectory(count);
  int round = 0;
  for (auto _ : state) {
    TUserList list;
    list.Open(directory);
    TUserRecord user;
    list.GetUser(count / 2, user);
    user.Password = "changed" + std::to_string(++round);
    list.SetUser(count / 2, user);
    list.Save();
    list.Close();
  }
}

BENCHMARK(BM_ContainerCompress)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoZlibPassesCompress)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ContainerDecompress)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoZlibPassesDecompress)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UsersLoadChangeOneSave)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kestrune

BENCHMARK_MAIN();
