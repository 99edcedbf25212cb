// MD5 throughput: in memory, and over a page-cached file through HashFile.
//
// NERLO_BENCH_FILE names the file to hash (bench/sigdb_bench.sh passes the one it also hands
// to md5sum); without it a 64 MB file is written to the temporary directory.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sigdb/md5.h"

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

}  // namespace

BENCHMARK_MAIN();
