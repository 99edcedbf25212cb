// One pass for all heuristic strings: THeuristicScanner over 4 MB of mixed text and binary
// bytes with H = 10, 100, 1,000 and 20,000 strings (printable, 8 to 32 bytes, none of them present,
// so every byte is gone through), against MatchHeuristic run once per string over the same
// bytes in a file, and the time to build the automaton. Harder cases: lists holding short
// strings (2 to 7 bytes); lists whose shortest string has 4 to 9 bytes; a block made only of
// the strings' leading bytes, each cut one byte short, so that the scanner finds candidates
// everywhere and none of them completes; and random bytes with such leading bytes here and
// there. The "stride" counter is THeuristicScanner::Stride() (0: no filter).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/oracle/heuristic_match.h"
#include "scan/heuristic_scanner.h"

namespace {

using nerlo::scan::THeuristicScanner;

// count printable strings of shortest to shortest + spread - 1 bytes.
std::vector<std::string> Strings(size_t count, size_t shortest = 8, size_t spread = 25) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-:/"
      "\\!#$%&()*+,;<=>?@[]^{}|~ ";
  std::vector<std::string> strings;
  for (size_t j = 0; j < count; ++j) {
    std::mt19937 random(static_cast<uint32_t>(4242u * 1000003u + j));
    std::string s(shortest + random() % spread, ' ');
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

void Run(benchmark::State& state, const std::vector<std::string>& strings,
         const std::string& bytes) {
  THeuristicScanner scanner;
  scanner.Load(strings);
  for (auto _ : state) {
    auto found =
        scanner.Scan(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), [] {});
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["table_KiB"] = static_cast<double>(scanner.MemoryBytes()) / 1024;
  state.counters["stride"] = static_cast<double>(scanner.Stride());
}

void BM_HeuristicScanner(benchmark::State& state) {
  Run(state, Strings(static_cast<size_t>(state.range(0))), Bytes());
}
BENCHMARK(BM_HeuristicScanner)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond);

// Strings of 2 to 7 bytes: the shortest is too short to skip over the block.
void BM_HeuristicScannerShortStrings(benchmark::State& state) {
  Run(state, Strings(static_cast<size_t>(state.range(0)), 2, 6), Bytes());
}
BENCHMARK(BM_HeuristicScannerShortStrings)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

// 100 strings whose shortest has 4 to 9 bytes (the others up to 24 bytes longer): the stride
// and the speed as the shortest string grows.
void BM_HeuristicScannerShortest(benchmark::State& state) {
  std::vector<std::string> strings = Strings(99, static_cast<size_t>(state.range(0)) + 1, 24);
  strings.push_back(Strings(1, static_cast<size_t>(state.range(0)), 1)[0]);
  Run(state, strings, Bytes());
}
BENCHMARK(BM_HeuristicScannerShortest)->DenseRange(4, 9)->Unit(benchmark::kMillisecond);

// Between the two: random bytes with the leading bytes of one of the strings (as in Shortest,
// each cut one byte short) every gap bytes on average. Arguments: shortest, gap.
void BM_HeuristicScannerMixed(benchmark::State& state) {
  std::vector<std::string> strings = Strings(99, static_cast<size_t>(state.range(0)) + 1, 24);
  strings.push_back(Strings(1, static_cast<size_t>(state.range(0)), 1)[0]);
  std::mt19937 random(9);
  std::string bytes;
  while (bytes.size() < (4u << 20)) {
    const size_t gap = random() % (2 * state.range(1));
    for (size_t k = 0; k < gap; ++k) bytes += static_cast<char>(random());
    const std::string& s = strings[random() % strings.size()];
    bytes.append(s, 0, s.size() - 1);
  }
  Run(state, strings, bytes);
}
BENCHMARK(BM_HeuristicScannerMixed)
    ->ArgsProduct({{6, 8}, {32, 128, 512}})
    ->Unit(benchmark::kMillisecond);

// The worst case for skipping: 4 MB of the strings' leading bytes, each string cut one byte
// short (so none occurs), one after the other in random order.
void BM_HeuristicScannerAdversarial(benchmark::State& state) {
  const std::vector<std::string> strings = Strings(static_cast<size_t>(state.range(0)));
  std::mt19937 random(7);
  std::string bytes;
  while (bytes.size() < (4u << 20)) {
    const std::string& s = strings[random() % strings.size()];
    bytes.append(s, 0, s.size() - 1);
  }
  Run(state, strings, bytes);
}
BENCHMARK(BM_HeuristicScannerAdversarial)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);

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
    for (const std::string& s : strings) sum += nerlo::testing::MatchHeuristic(s, path);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Bytes().size()));
  std::filesystem::remove(path);
}
BENCHMARK(BM_MatchHeuristicPerString)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
