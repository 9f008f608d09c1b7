// Helpers shared by the message index and contacts tests: data-file images built
// without the classes under test, the record array of a file on disk, and two writers
// running at once as threads or as processes.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "store/record_io.h"
#include "store/store_test_support.h"
#include "store/zlb_archive.h"

namespace kestrune::test {

using Bytes = std::vector<std::uint8_t>;

// A 12-byte header (counted magic, three alignment bytes, count) and a body.
inline Bytes HeaderBytes(std::string_view magic, std::int32_t count,
                         std::array<std::uint8_t, 3> alignment = {}) {
  Bytes header(12);
  header[0] = static_cast<std::uint8_t>(magic.size());
  std::copy(magic.begin(), magic.end(), header.begin() + 1);
  std::copy(alignment.begin(), alignment.end(), header.begin() + 5);
  WriteInt32LE(header, 8, count);
  return header;
}

inline Bytes TwoStageBody(const Bytes& records) {
  TZLBArchive archive;
  Bytes body;
  archive.CompressStream(records, body);
  return body;
}

inline Bytes SingleStageBody(const Bytes& records) {
  uLongf size = compressBound(records.size());
  Bytes body(size);
  compress(body.data(), &size, records.data(), records.size());
  body.resize(size);
  return body;
}

inline Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A data file image: header with the given magic and count, records twice compressed.
inline Bytes DataFileImage(std::string_view magic, std::int32_t count, const Bytes& records,
                           std::array<std::uint8_t, 3> alignment = {}) {
  return Concat(HeaderBytes(magic, count, alignment), TwoStageBody(records));
}

// The record array of a 12-byte-header data file on disk; its header count in *count.
inline Bytes RecordArrayOnDisk(const std::filesystem::path& file, std::int32_t* count = nullptr) {
  const Bytes image = ReadBytes(file);
  if (count != nullptr) *count = ReadInt32LE(image, 8);
  TZLBArchive archive;
  Bytes records;
  archive.DecompressStream(std::span(image).subspan(12), records);
  return records;
}

template <typename Record>
Bytes RecordArrayOf(const std::vector<Record>& records) {
  Bytes bytes;
  for (const Record& record : records) {
    const auto one = record.ToBytes();
    bytes.insert(bytes.end(), one.begin(), one.end());
  }
  return bytes;
}

// Runs writer("first") and writer("second") at the same time on two threads.
inline void RunTwoThreads(const std::function<void(const std::string&)>& writer) {
  std::thread first(writer, "first");
  std::thread second(writer, "second");
  first.join();
  second.join();
}

// Runs writer("first") and writer("second") at the same time in two forked processes;
// true when both ended normally.
inline bool RunTwoProcesses(const std::function<void(const std::string&)>& writer) {
  const pid_t first = ::fork();
  if (first == 0) {
    try {
      writer("first");
    } catch (...) {
      ::_exit(1);
    }
    ::_exit(0);
  }
  const int second_status = RunInChild([&] {
    writer("second");
    return 0;
  });
  int first_status = 0;
  ::waitpid(first, &first_status, 0);
  return second_status == 0 && WIFEXITED(first_status) && WEXITSTATUS(first_status) == 0;
}

}  // namespace kestrune::test
