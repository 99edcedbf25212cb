// One pass for all heuristic strings: THeuristicScanner over 4 MB of mixed text and binary
// bytes with H = 10, 100 and 1,000 strings (printable, 8 to 32 bytes, none of them present,
// so every byte is gone through), against MatchHeuristic run once per string over the same
// bytes in a file, and the time to build the automaton.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "scan/heuristic_match.h"
#include "scan/heuristic_set.h"

namespace {

using nerlo::scan::THeuristicScanner;

std::vector<std::string> Strings(size_t count) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-:/"
      "\\!#$%&()*+,;<=>?@[]^{}|~ ";
  std::vector<std::string> strings;
  for (size_t j = 0; j < count; ++j) {
    std::mt19937 random(static_cast<uint32_t>(4242u * 1000003u + j));
    std::string s(8 + random() % 25, ' ');
    for (char& c : s) c = alphabet[random() % alphabet.size()];
    strings.push_back(s);
  }
  return strings;
}

// Half binary, half lower-case pseudo-words in lines.
const std::string& Bytes() {
  static const std::string bytes = [] {
    std::mt19937 random(1);
    std::string out;
    while (out.size() < (2u << 20)) out += static_cast<char>(random());
    static const char letters[] = "etaoinshrdlucmfwypvbgkqjxz";
    size_t column = 0;
    while (out.size() < (4u << 20)) {
      const size_t word = 2 + random() % 9;
      for (size_t k = 0; k < word; ++k) out += letters[random() % 26];
      column += word + 1;
      out += column > 60 ? '\n' : ' ';
      if (column > 60) column = 0;
    }
    return out;
  }();
  return bytes;
}

void BM_HeuristicScanner(benchmark::State& state) {
  THeuristicScanner scanner;
  scanner.Load(Strings(static_cast<size_t>(state.range(0))));
  const std::string& bytes = Bytes();
  for (auto _ : state) {
    auto found =
        scanner.Scan(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), [] {});
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["table_KiB"] = static_cast<double>(scanner.MemoryBytes()) / 1024;
}
BENCHMARK(BM_HeuristicScanner)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_HeuristicScannerLoad(benchmark::State& state) {
  const std::vector<std::string> strings = Strings(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    THeuristicScanner scanner;
    scanner.Load(strings);
    benchmark::DoNotOptimize(scanner);
  }
}
BENCHMARK(BM_HeuristicScannerLoad)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

// The per-string matcher, as the scan run has used it: one read of the file per string.
void BM_MatchHeuristicPerString(benchmark::State& state) {
  const std::string path =
      (std::filesystem::temp_directory_path() / "nerlo-heuristic-bench.bin").string();
  std::ofstream(path, std::ios::binary) << Bytes();
  const std::vector<std::string> strings = Strings(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    int64_t sum = 0;
    for (const std::string& s : strings) sum += nerlo::scan::MatchHeuristic(s, path);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Bytes().size()));
  std::filesystem::remove(path);
}
BENCHMARK(BM_MatchHeuristicPerString)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
