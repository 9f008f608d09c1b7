// Parse and write throughput of the message object over the message corpus, in bytes per
// second (Google Benchmark prints it as MB/s).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mail/id_message.h"

namespace {

std::vector<std::string> LoadCorpus() {
  std::vector<std::string> messages;
  auto dir = std::filesystem::path(KESTRUNE_SOURCE_DIR) / "tests" / "data" / "mail";
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".eml") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    kestrune::TIdMessage probe;
    try {
      probe.LoadFromText(text.str());
      messages.push_back(text.str());
    } catch (const kestrune::MessageError&) {
      // messages that fail by design are left out of the throughput figures
    }
  }
  return messages;
}

const std::vector<std::string>& Corpus() {
  static const std::vector<std::string> corpus = LoadCorpus();
  return corpus;
}

std::int64_t CorpusBytes() {
  std::int64_t total = 0;
  for (const auto& message : Corpus()) total += static_cast<std::int64_t>(message.size());
  return total;
}

void BM_Parse(benchmark::State& state, bool no_decode) {
  kestrune::TIdMessage message;
  message.NoDecode = no_decode;
  for (auto _ : state) {
    for (const auto& text : Corpus()) {
      message.LoadFromText(text);
      benchmark::DoNotOptimize(message.MessageParts.Count());
    }
  }
  state.SetBytesProcessed(state.iterations() * CorpusBytes());
}
BENCHMARK_CAPTURE(BM_Parse, decoded, false);
BENCHMARK_CAPTURE(BM_Parse, raw, true);

void BM_Write(benchmark::State& state) {
  std::vector<std::unique_ptr<kestrune::TIdMessage>> messages;
  for (const auto& text : Corpus()) {
    messages.push_back(std::make_unique<kestrune::TIdMessage>());
    messages.back()->LoadFromText(text);
  }
  std::int64_t bytes = 0;
  for (auto _ : state) {
    for (const auto& message : messages) {
      std::string file = message->FileText();
      bytes += static_cast<std::int64_t>(file.size());
      benchmark::DoNotOptimize(file.data());
    }
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_Write);

// One large message: a 4 MiB attachment, to see the rate away from per-message costs.
void BM_LargeAttachment(benchmark::State& state) {
  kestrune::TIdMessage source;
  source.From = {"", "a@example.com"};
  source.Subject = "large";
  std::string content(4u << 20, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131);
  source.MessageParts.AddText("text/plain").Body = {"see attached"};
  source.MessageParts.AddAttachment("big.bin", content);
  const std::string file = source.FileText();
  kestrune::TIdMessage message;
  for (auto _ : state) {
    message.LoadFromText(file);
    std::string again = message.FileText();
    benchmark::DoNotOptimize(again.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(file.size()) * 2);
}
BENCHMARK(BM_LargeAttachment)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
