// Database search: the skip-table search over encoded hex text against glibc memmem on the
// same data, the cost of a Filename setting (snapshot reuse) against mapping the file anew, and
// lookups through the q-gram index against the skip table for databases of 1 to 64 MB.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "sigdb/cipher.h"
#include "sigdb/file_search.h"
#include "sigdb/qgram_index.h"

namespace {

using nerlo::sigdb::kCipherKey;
using nerlo::sigdb::TCaesarCipher;

// Encoded upper-case hex text, as database.db and tdb.ldb hold it.
std::string EncodedHexText(size_t size, uint32_t seed) {
  static const char kHex[] = "0123456789ABCDEF";
  std::mt19937 random(seed);
  std::string text(size, '0');
  for (char& c : text) c = kHex[random() % 16];
  return TCaesarCipher().Encode(kCipherKey, text);
}

const std::string& Block() {
  static const std::string block = EncodedHexText(32u << 20, 1);
  return block;
}

// An encoded MD5 text that does not occur in the block: every search runs over all of it.
const std::string& Pattern() {
  static const std::string pattern = EncodedHexText(32, 2);
  return pattern;
}

void BM_BaseSearch(benchmark::State& state) {
  const std::string& block = Block();
  nerlo::sigdb::TBaseSearch search;
  search.SetCaseSensitive(state.range(0) != 0);
  search.SetPattern(Pattern());
  search.SetBuffer(reinterpret_cast<const unsigned char*>(block.data()),
                   static_cast<int32_t>(block.size()));
  int matches = 0;
  for (auto _ : state) {
    for (int32_t at = search.FindFirst(); at >= 0; at = search.FindNext()) ++matches;
    benchmark::DoNotOptimize(matches);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(block.size()));
  state.SetLabel(state.range(0) ? "case-sensitive" : "case-insensitive");
}
BENCHMARK(BM_BaseSearch)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_Memmem(benchmark::State& state) {
  const std::string& block = Block();
  const std::string& pattern = Pattern();
  for (auto _ : state) {
    benchmark::DoNotOptimize(memmem(block.data(), block.size(), pattern.data(), pattern.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(block.size()));
  state.SetLabel("case-sensitive");
}
BENCHMARK(BM_Memmem)->Unit(benchmark::kMillisecond);

// A database of 6.6 MB, written once and then left unchanged for longer than the window in
// which a just-changed file is read afresh at every setting.
const std::string& Database() {
  static const std::string path = [] {
    std::string made = (std::filesystem::temp_directory_path() / "nerlo-search-bench.db").string();
    std::error_code ignored;
    std::filesystem::remove(made, ignored);
    const std::string bytes = EncodedHexText(6'600'000, 3);
    std::ofstream(made, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    return made;
  }();
  return path;
}

void BM_SetFilenameReusingSnapshot(benchmark::State& state) {
  const std::string& path = Database();
  nerlo::sigdb::TFileSearch search;
  for (auto _ : state) {
    search.SetFilename(path);
    benchmark::DoNotOptimize(search.Filename().size());
  }
}
BENCHMARK(BM_SetFilenameReusingSnapshot)->Unit(benchmark::kMicrosecond);

// What a setting costs when the file must be read afresh: open, read whole, close.
void BM_ReadDatabaseAnew(benchmark::State& state) {
  const std::string& path = Database();
  std::vector<unsigned char> bytes;
  for (auto _ : state) {
    nerlo::platform::ErrorCode error = 0;
    auto file = nerlo::platform::File::Open(path, nerlo::platform::LinkPolicy::kFollow, &error);
    bytes.resize(static_cast<size_t>(file.Stamp().size));
    size_t filled = 0;
    for (int64_t got; filled < bytes.size() &&
                      (got = file.Read(bytes.data() + filled, bytes.size() - filled, &error)) > 0;)
      filled += static_cast<size_t>(got);
    benchmark::DoNotOptimize(bytes.data());
  }
}
BENCHMARK(BM_ReadDatabaseAnew)->Unit(benchmark::kMicrosecond);

// The whole hash lookup of one scanned file over that database: setting plus full search.
void BM_LookupInDatabase(benchmark::State& state) {
  const std::string& path = Database();
  nerlo::sigdb::TFileSearch search;
  search.SetPattern(Pattern());
  for (auto _ : state) {
    search.SetFilename(path);
    benchmark::DoNotOptimize(search.FindFirst());
  }
}
BENCHMARK(BM_LookupInDatabase)->Unit(benchmark::kMicrosecond);

// Encoded hex text of size MB written to a file of its own, with one entry planted at the end.
const std::string& SizedDatabase(int64_t megabytes, std::string* text_out = nullptr) {
  static std::map<int64_t, std::pair<std::string, std::string>> made;
  auto& entry = made[megabytes];
  if (entry.first.empty()) {
    entry.first = (std::filesystem::temp_directory_path() /
                   ("nerlo-search-bench-" + std::to_string(megabytes) + ".db"))
                      .string();
    entry.second = EncodedHexText(static_cast<size_t>(megabytes) << 20, 5) + Pattern();
    std::ofstream(entry.first, std::ios::binary)
        .write(entry.second.data(), static_cast<std::streamsize>(entry.second.size()));
  }
  if (text_out != nullptr) *text_out = entry.second;
  return entry.first;
}

// One hash lookup as the scan run makes it: a setting, then every match.
void BM_IndexedLookup(benchmark::State& state) {
  const std::string& path = SizedDatabase(state.range(0));
  nerlo::sigdb::TFileSearch search;
  search.SetPattern(Pattern());
  search.SetFilename(path);
  search.FindFirst();  // the index is built here, once
  int matches = 0;
  for (auto _ : state) {
    search.SetFilename(path);
    for (int32_t at = search.FindFirst(); at >= 0; at = search.FindNext()) ++matches;
  }
  if (matches != static_cast<int>(state.iterations())) state.SkipWithError("wrong match count");
  state.SetLabel(std::to_string(state.range(0)) + " MB");
}
BENCHMARK(BM_IndexedLookup)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMicrosecond);

// Lookups as a scan makes them, each for another signature (none of them present), so that
// every one probes the index afresh.
void BM_IndexedLookupOfNewSignatures(benchmark::State& state) {
  const std::string& path = SizedDatabase(state.range(0));
  std::vector<std::string> patterns;
  for (uint32_t i = 0; i < 4096; ++i) patterns.push_back(EncodedHexText(64, 1000 + i));
  nerlo::sigdb::TFileSearch search;
  search.SetFilename(path);
  size_t next = 0;
  int matches = 0;
  for (auto _ : state) {
    search.SetFilename(path);
    search.SetPattern(patterns[next++ % patterns.size()]);
    for (int32_t at = search.FindFirst(); at >= 0; at = search.FindNext()) ++matches;
  }
  benchmark::DoNotOptimize(matches);
  state.SetLabel(std::to_string(state.range(0)) + " MB");
}
BENCHMARK(BM_IndexedLookupOfNewSignatures)->Arg(1)->Arg(64)->Unit(benchmark::kMicrosecond);

void BM_SkipTableLookup(benchmark::State& state) {
  std::string text;
  SizedDatabase(state.range(0), &text);
  nerlo::sigdb::TBaseSearch search;
  search.SetPattern(Pattern());
  search.SetBuffer(reinterpret_cast<const unsigned char*>(text.data()),
                   static_cast<int32_t>(text.size()));
  int matches = 0;
  for (auto _ : state)
    for (int32_t at = search.FindFirst(); at >= 0; at = search.FindNext()) ++matches;
  if (matches != static_cast<int>(state.iterations())) state.SkipWithError("wrong match count");
  state.SetLabel(std::to_string(state.range(0)) + " MB");
}
BENCHMARK(BM_SkipTableLookup)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMicrosecond);

// Building the index of a 64 MB database, and its size per MB of database.
void BM_BuildIndex(benchmark::State& state) {
  std::string text;
  SizedDatabase(state.range(0), &text);
  size_t bytes = 0;
  for (auto _ : state) {
    nerlo::sigdb::QGramIndex index(reinterpret_cast<const unsigned char*>(text.data()),
                                   text.size());
    bytes = index.MemoryBytes();
  }
  state.counters["index_KiB_per_MB"] =
      static_cast<double>(bytes) / 1024 / (static_cast<double>(text.size()) / (1 << 20));
  state.SetLabel(std::to_string(state.range(0)) + " MB");
}
BENCHMARK(BM_BuildIndex)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
