// MD5 throughput: in memory, and over a page-cached file through HashFile; and many messages
// hashed one after another (TMD5) against side by side (MD5Many) on one thread, so bytes/s is
// per core.
//
// NERLO_BENCH_FILE names the file to hash (bench/sigdb_bench.sh passes the one it also hands
// to md5sum); without it a 64 MB file is written to the temporary directory.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "sigdb/md5.h"
#include "sigdb/md5_multi.h"

namespace {

using nerlo::sigdb::TMD5;

std::vector<unsigned char> RandomBytes(size_t size) {
  std::vector<unsigned char> bytes(size);
  std::mt19937_64 random(1);
  for (auto& b : bytes) b = static_cast<unsigned char>(random());
  return bytes;
}

const std::string& BenchFile() {
  static const std::string path = [] {
    if (const char* given = std::getenv("NERLO_BENCH_FILE")) return std::string(given);
    std::string made = (std::filesystem::temp_directory_path() / "nerlo-md5-bench.bin").string();
    const auto bytes = RandomBytes(64u << 20);
    std::ofstream out(made, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return made;
  }();
  return path;
}

void BM_MD5Update(benchmark::State& state) {
  const auto bytes = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    TMD5 md5;
    md5.Update(bytes.data(), bytes.size());
    benchmark::DoNotOptimize(md5.DigestText());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_MD5Update)->Arg(64)->Arg(8192)->Arg(16 << 20);

void BM_MD5HashFile(benchmark::State& state) {
  const std::string& path = BenchFile();
  const auto size = static_cast<int64_t>(std::filesystem::file_size(path));
  std::string text;
  nerlo::sigdb::MD5FileText(path, text, nullptr, nerlo::platform::LinkPolicy::kFollow);  // warm
  for (auto _ : state) {
    nerlo::sigdb::MD5FileText(path, text, nullptr, nerlo::platform::LinkPolicy::kFollow);
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
  state.SetLabel(text);
}
BENCHMARK(BM_MD5HashFile)->Unit(benchmark::kMillisecond);

// 64 messages of one size in allocations of their own, as files read ahead are held.
struct MessageSet {
  std::vector<std::vector<unsigned char>> storage;
  std::vector<nerlo::sigdb::MD5Message> messages;
  int64_t bytes = 0;

  explicit MessageSet(const std::vector<size_t>& sizes) {
    std::mt19937_64 random(3);
    for (size_t size : sizes) {
      auto& message = storage.emplace_back(size);
      for (auto& b : message) b = static_cast<unsigned char>(random());
      messages.emplace_back(message.data(), message.size());
      bytes += static_cast<int64_t>(size);
    }
  }
};

// Sizes as on a system's /usr: many small files, a few large ones (exponential, mean 20 KB).
std::vector<size_t> MixedSizes() {
  std::mt19937_64 random(5);
  std::exponential_distribution<double> size(1.0 / 20480);
  std::vector<size_t> sizes(64);
  for (auto& s : sizes) s = static_cast<size_t>(size(random));
  return sizes;
}

MessageSet& Messages(int64_t size) {
  static std::map<int64_t, MessageSet> sets;
  auto found = sets.find(size);
  if (found == sets.end())
    found =
        sets.emplace(size, MessageSet(size > 0 ? std::vector<size_t>(64, static_cast<size_t>(size))
                                               : MixedSizes()))
            .first;
  return found->second;
}

// range(0): message size (0: mixed sizes, mean 20 KB).
void BM_MD5OneByOne(benchmark::State& state) {
  const MessageSet& set = Messages(state.range(0));
  std::vector<TMD5::Digest> digests(set.messages.size());
  for (auto _ : state) {
    for (size_t i = 0; i < set.messages.size(); ++i) {
      TMD5 md5;
      md5.Update(set.messages[i].data(), set.messages[i].size());
      md5.Final(digests[i]);
    }
    benchmark::DoNotOptimize(digests.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * set.bytes);
}
BENCHMARK(BM_MD5OneByOne)->Arg(4096)->Arg(20480)->Arg(102400)->Arg(0);

// range(0) as above; range(1): lanes (8: AVX2, 16: AVX-512F), skipped when the processor
// lacks them.
void BM_MD5Many(benchmark::State& state) {
  using nerlo::sigdb::MD5Engine;
  const MD5Engine engine = state.range(1) == 16 ? MD5Engine::kAvx512 : MD5Engine::kAvx2;
  if (!nerlo::sigdb::MD5EngineSupported(engine)) {
    state.SkipWithError("not supported by this processor");
    return;
  }
  const MessageSet& set = Messages(state.range(0));
  std::vector<TMD5::Digest> digests(set.messages.size());
  for (auto _ : state) {
    nerlo::sigdb::MD5Many(set.messages, digests, engine);
    benchmark::DoNotOptimize(digests.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * set.bytes);
}
BENCHMARK(BM_MD5Many)->ArgsProduct({{4096, 20480, 102400, 0}, {8, 16}});

}  // namespace

BENCHMARK_MAIN();
