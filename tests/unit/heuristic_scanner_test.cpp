#include "scan/heuristic_scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/oracle/heuristic_match.h"
#include "test_util.h"

namespace nerlo::scan {
namespace {

using nerlo::testing::MatchHeuristic;
using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;
using Indices = std::vector<size_t>;

#if defined(__SANITIZE_ADDRESS__)
constexpr int kScale = 8;  // fewer rounds under the address checker
#else
constexpr int kScale = 1;
#endif

Indices ScanOf(const THeuristicScanner& scanner, std::string_view bytes) {
  return scanner.Scan(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// Every list entry that occurs, in list order: what the per-string search answers.
Indices Expected(const std::vector<std::string>& strings, std::string_view bytes) {
  Indices found;
  for (size_t i = 0; i < strings.size(); ++i)
    if (!strings[i].empty() && bytes.find(strings[i]) != std::string_view::npos) found.push_back(i);
  return found;
}

std::string Random(std::mt19937& random, size_t length, std::string_view alphabet) {
  std::string s(length, '\0');
  for (char& c : s) c = alphabet[random() % alphabet.size()];
  return s;
}

TEST(HeuristicScanner, EveryEntryThatOccursInListOrderDuplicatesAndEmptiesIncluded) {
  THeuristicScanner scanner;
  EXPECT_EQ(ScanOf(scanner, "anything"), Indices{});  // nothing loaded
  scanner.Load(std::vector<std::string>{"ab", "", "aab", "b", "ab", "AB", "zz", "abab",
                                        std::string("\0\xFF", 2)});
  EXPECT_EQ(scanner.Count(), 9u);
  EXPECT_EQ(ScanOf(scanner, "xaabab"), (Indices{0, 2, 3, 4, 7}));
  EXPECT_EQ(ScanOf(scanner, "AB"), (Indices{5}));  // bytes compared exactly
  EXPECT_EQ(ScanOf(scanner, std::string("x\0\0\xFF", 4)), (Indices{8}));
  EXPECT_EQ(ScanOf(scanner, "a"), Indices{});
  EXPECT_EQ(ScanOf(scanner, ""), Indices{});
  EXPECT_EQ(scanner.Scan(nullptr, 0), Indices{});

  // A string longer than the automaton's prefix, found only where its tail follows; one that
  // runs past the block's end is not found.
  const std::string long_string = "0123456789abcdefghijklmnop";
  scanner.Load(std::vector<std::string>{long_string, "9abcdefghijklmnopq"});
  EXPECT_EQ(ScanOf(scanner, "0123456789abcdefghijklmnoX" + long_string), (Indices{0}));
  EXPECT_EQ(ScanOf(scanner, long_string.substr(0, 25)), Indices{});
  EXPECT_EQ(ScanOf(scanner, "xx" + long_string + "q"), (Indices{0, 1}));

  // A new load replaces the list.
  sigdb::THeuristicList list;
  list.Load("one\r\ntwo\r\none");
  scanner.Load(list);
  EXPECT_EQ(scanner.Count(), 3u);
  EXPECT_EQ(ScanOf(scanner, "--one--"), (Indices{0, 2}));
}

// Against the documented per-string matcher over the same bytes in a file: strings over a small
// alphabet overlap, repeat and break partial matches; blocks cross the matcher's 1024-byte
// reads and the scanner's lanes.
TEST(HeuristicScanner, AgreesWithMatchHeuristicOnRandomFiles) {
  TempDir dir;
  const std::string path = dir / "file";
  std::mt19937 random(4711);
  for (int round = 0; round < 300 / kScale; ++round) {
    const std::string alphabet = round % 2 ? "ab" : "abc\0\xFF";
    const size_t size = round % 10 == 0 ? 70000 + random() % 70000 : random() % 3000;
    std::string bytes = Random(random, size, alphabet);
    std::vector<std::string> strings;
    const size_t count = 1 + random() % 40;
    for (size_t i = 0; i < count; ++i) {
      if (random() % 3 == 0 && !bytes.empty()) {
        const size_t at = random() % bytes.size();
        strings.push_back(bytes.substr(at, 1 + random() % 30));
      } else if (random() % 5 == 0 && !strings.empty()) {
        strings.push_back(strings[random() % strings.size()]);
      } else {
        strings.push_back(Random(random, random() % 12, alphabet));
      }
    }
    WriteFile(path, bytes);
    THeuristicScanner scanner;
    scanner.Load(strings);
    Indices expected;
    for (size_t i = 0; i < strings.size(); ++i)
      if (MatchHeuristic(strings[i], path) != -1) expected.push_back(i);
    ASSERT_EQ(ScanOf(scanner, bytes), expected) << "round " << round;
  }
}

// Many more rounds in memory, with occurrences planted at both ends and around the places
// where the block is split between lanes.
TEST(HeuristicScanner, AgreesWithAPlainSearchAroundLaneBoundaries) {
  std::mt19937 random(99);
  for (int round = 0; round < 3000 / kScale; ++round) {
    const std::string alphabet = round % 3 == 0 ? "ab" : round % 3 == 1 ? "abcd" : "xyz\x01\x80";
    const bool large = round % 8 == 0;
    const size_t size = large ? 64 * 1024 + random() % 200000 : random() % 600;
    std::string bytes = Random(random, size, alphabet);
    std::vector<std::string> strings;
    const size_t count = 1 + random() % (round % 50 == 0 ? 2000 : 30);
    for (size_t i = 0; i < count; ++i)
      strings.push_back(Random(random, 1 + random() % (i % 4 == 0 ? 40 : 8), alphabet));
    for (size_t k = 0; k < 4 && !bytes.empty(); ++k) {
      const std::string& s = strings[random() % strings.size()];
      const size_t place = k == 0 ? 0 : k == 1 ? bytes.size() : bytes.size() * k / 4;
      const size_t at = std::min(bytes.size(), place + random() % 5 - std::min<size_t>(place, 2));
      bytes.replace(std::min(at, bytes.size()), std::min(s.size(), bytes.size() - at), s);
      if (k == 1) bytes += s;  // at the very end
    }
    THeuristicScanner scanner;
    scanner.Load(strings);
    ASSERT_EQ(ScanOf(scanner, bytes), Expected(strings, bytes)) << "round " << round;
  }
}

// Past its memory budget the automaton holds shorter prefixes; the answers stay the same.
TEST(HeuristicScanner, AVeryLargeListStillGivesExactAnswers) {
  std::mt19937 random(5);
  std::vector<std::string> strings;
  std::string bytes = Random(random, 300000, "abcdefghijklmnopqrstuvwxyz");
  for (int i = 0; i < 60000 / kScale; ++i) {
    std::string s;
    for (int k = 0; k < 20; ++k) s += static_cast<char>(random() % 256);
    if (i % (1000 / kScale) == 0) bytes.insert(random() % bytes.size(), s);
    strings.push_back(std::move(s));
  }
  strings.push_back(bytes.substr(1000, 3));
  THeuristicScanner scanner;
  scanner.Load(strings);
  EXPECT_LT(scanner.PrefixLength(), 16u);
  EXPECT_LE(scanner.MemoryBytes(), size_t{64} << 20);
  const Indices found = ScanOf(scanner, bytes);
  EXPECT_EQ(found, Expected(strings, bytes));
  EXPECT_GE(found.size(), 61u);

  // Over four letters, many long strings make more states than 16-bit numbers can name.
  strings.clear();
  bytes = Random(random, 200000, "abcd");
  for (int i = 0; i < 8000; ++i) {
    strings.push_back(Random(random, 20 + random() % 10, "abcd"));
    if (i % 500 == 0) bytes.insert(random() % bytes.size(), strings.back());
  }
  strings.push_back("abcdabcd");
  scanner.Load(strings);
  EXPECT_GT(scanner.MemoryBytes(), size_t{65536} * 5 * 4);
  const Indices found_here = ScanOf(scanner, bytes);
  EXPECT_EQ(found_here, Expected(strings, bytes));
  EXPECT_GE(found_here.size(), 17u);
}

TEST(HeuristicScanner, PumpRunsEveryIntervalAndAfterTheLastByte) {
  THeuristicScanner scanner;
  scanner.Load(std::vector<std::string>{"never-there"});
  const std::string bytes(1 << 20, 'x');
  int pumps = 0;
  scanner.Scan(
      reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), [&] { ++pumps; },
      64 * 1024);
  EXPECT_GE(pumps, 16);
  EXPECT_LE(pumps, 20);
  pumps = 0;
  scanner.Scan(reinterpret_cast<const unsigned char*>(bytes.data()), 100, [&] { ++pumps; });
  EXPECT_EQ(pumps, 1);
  // Nothing to look for: the block still counts as gone through.
  scanner.Load(std::vector<std::string>{""});
  pumps = 0;
  EXPECT_EQ(scanner.Scan(reinterpret_cast<const unsigned char*>(bytes.data()), 5, [&] { ++pumps; }),
            Indices{});
  EXPECT_EQ(pumps, 1);
}

// Counts the pumps of one scan.
struct PumpedScan {
  Indices found;
  size_t pumps = 0;
};

PumpedScan ScanPumped(const THeuristicScanner& scanner, std::string_view bytes,
                      size_t pump_interval) {
  PumpedScan out;
  out.found = scanner.Scan(
      reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), [&] { ++out.pumps; },
      pump_interval);
  return out;
}

TEST(HeuristicScanner, FilterStrideFollowsTheShortestStringAndTheListSize) {
  THeuristicScanner scanner;
  EXPECT_EQ(scanner.Stride(), 0u);
  scanner.Load(std::vector<std::string>{"abcdefgh"});
  EXPECT_EQ(scanner.Stride(), 5u);
  scanner.Load(std::vector<std::string>{"abcdef", "abcdefgh"});
  EXPECT_EQ(scanner.Stride(), 3u);
  // Empty entries never occur, so they do not shorten the stride.
  scanner.Load(std::vector<std::string>{"", "0123456789abcdefghij", "abcdefghijk", ""});
  EXPECT_EQ(scanner.Stride(), 8u);
  scanner.Load(std::vector<std::string>(3, std::string(40, 'x')));
  EXPECT_EQ(scanner.Stride(), 13u);
  // One short string and the automaton goes through every byte.
  scanner.Load(std::vector<std::string>{"abcdefghijklmnop", "abcde"});
  EXPECT_EQ(scanner.Stride(), 0u);
  EXPECT_EQ(ScanOf(scanner, "xxabcdefgxx"), (Indices{1}));
  scanner.Load(std::vector<std::string>{""});
  EXPECT_EQ(scanner.Stride(), 0u);

  // Many different strings: a shorter stride, down to none at all.
  std::mt19937 random(17);
  const std::string alphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";
  std::vector<std::string> strings;
  for (int i = 0; i < 8000; ++i) strings.push_back(Random(random, 20, alphabet));
  std::string bytes = Random(random, 50000, alphabet);
  for (size_t i = 0; i < strings.size(); i += 97) bytes.insert(random() % bytes.size(), strings[i]);
  scanner.Load(strings);
  EXPECT_GE(scanner.Stride(), 3u);
  EXPECT_LT(scanner.Stride(), 13u);
  const Indices found = ScanOf(scanner, bytes);
  EXPECT_EQ(found, Expected(strings, bytes));
  EXPECT_GE(found.size(), 70u);  // a few were broken by later insertions
  strings.clear();
  for (int i = 0; i < 25000; ++i) strings.push_back(Random(random, 6, alphabet));
  bytes.insert(40000, strings[12345]);
  scanner.Load(strings);
  EXPECT_EQ(scanner.Stride(), 0u);
  EXPECT_EQ(ScanOf(scanner, bytes), Expected(strings, bytes));
  strings.resize(200);
  scanner.Load(strings);
  EXPECT_EQ(scanner.Stride(), 3u);
  EXPECT_EQ(ScanOf(scanner, bytes), Expected(strings, bytes));
}

// The filter looks at one offset in every stride; every occurrence must still be found, wherever
// it starts relative to those offsets, to the block's ends, to the pump interval and to the
// parts of a large block. Small alphabets make strings share their four-byte pieces, and make
// blocks where nearly every offset lets the automaton in.
TEST(HeuristicScanner, FilterFindsOccurrencesAtEveryOffsetModuloTheStride) {
  TempDir dir;
  const std::string path = dir / "file";
  std::mt19937 random(2024);
  const std::string alphabets[] = {"ab", "abcdefgh", "etaoin shrdlu",
                                   std::string("\0\x01\x7F\x80\xFE\xFF", 6)};
  for (int round = 0; round < 2000 / kScale; ++round) {
    const std::string& alphabet = alphabets[round % 4];
    const size_t shortest = 6 + random() % 16;
    std::vector<std::string> strings{Random(random, shortest, alphabet)};
    const size_t count = 1 + random() % (round % 40 == 0 ? 400 : 12);
    while (strings.size() < count) {
      const size_t kind = random() % 8;
      if (kind == 0)
        strings.emplace_back();
      else if (kind == 1)
        strings.push_back(strings[random() % strings.size()]);
      else if (kind == 2)  // shares its first bytes with the first
        strings.push_back(strings[0] + Random(random, random() % 20, alphabet));
      else
        strings.push_back(Random(random, shortest + random() % 30, alphabet));
    }
    // Every tenth list holds one string too short for the filter: the same answers.
    const bool plain = round % 10 == 9;
    if (plain) strings.push_back(Random(random, 1 + random() % 5, alphabet));

    const bool large = round % 8 == 0;
    const size_t size = large ? 64 * 1024 + random() % 300000 : random() % 700;
    std::string bytes = Random(random, size, alphabet == "ab" ? "abc" : alphabet);
    THeuristicScanner scanner;
    scanner.Load(strings);
    const size_t stride = scanner.Stride();
    ASSERT_EQ(stride == 0, plain) << "round " << round;
    auto plant = [&](const std::string& s, size_t at) {
      if (s.empty() || at > bytes.size()) return;
      bytes.replace(at, std::min(s.size(), bytes.size() - at), s);
    };
    const std::string& s = strings[random() % strings.size()];
    plant(s, 0);
    if (!bytes.empty()) {
      // At each place, with its start at the residue of this round (which cycles through all
      // of them), or cut one byte short.
      const size_t residue = stride == 0 ? 0 : round % stride;
      for (size_t place : {bytes.size() / 4, bytes.size() / 2, bytes.size() * 3 / 4,
                           size_t{64 * 1024}, size_t{16 * 1024}, size_t{random() % bytes.size()}}) {
        const std::string& t = strings[random() % strings.size()];
        const size_t at = stride == 0 ? place : place / stride * stride + residue;
        if (random() % 4 == 0)
          plant(t.substr(0, t.empty() ? 0 : t.size() - 1) + "!", at);
        else
          plant(t, at >= 2 && random() % 3 == 0 ? at - random() % 3 : at);
      }
    }
    bytes += strings[random() % strings.size()];  // at the very end

    const size_t intervals[] = {0, 1 + random() % 64, 1000 + random() % 100000};
    const size_t interval = intervals[random() % 3];
    const PumpedScan scan = ScanPumped(scanner, bytes, interval);
    const Indices expected = Expected(strings, bytes);
    ASSERT_EQ(scan.found, expected) << "round " << round;
    EXPECT_GE(scan.pumps, 1u);
    const size_t non_empty = static_cast<size_t>(
        std::count_if(strings.begin(), strings.end(), [](auto& t) { return !t.empty(); }));
    if (expected.size() < non_empty) {  // not stopped early: a pump for every interval
      const size_t each = interval == 0 ? THeuristicScanner::kDefaultPumpInterval : interval;
      EXPECT_GE(scan.pumps * each, bytes.size()) << "round " << round;
    }
    if (round % 50 == 0) {
      WriteFile(path, bytes);
      Indices matched;
      for (size_t i = 0; i < strings.size(); ++i)
        if (MatchHeuristic(strings[i], path) != -1) matched.push_back(i);
      ASSERT_EQ(scan.found, matched) << "round " << round;
    }
  }
}

// Blocks made of the strings' leading bytes with their tails never matching let the automaton
// in nearly everywhere; stretches of unrelated bytes between them let it skip again. Real
// occurrences stand at the edges of those stretches, and end just past every 64 KiB (where a
// scan with the default pump interval pumps), each of those a string found nowhere else.
TEST(HeuristicScanner, FilterGivesExactAnswersOnBlocksOfLeadingBytes) {
  std::mt19937 random(31337);
  for (int round = 0; round < 40 / kScale + 2; ++round) {
    const std::string alphabet = round % 2 ? "0123456789abcdefghijklmnopqrstuvwxyz" : "xyz\x01";
    std::vector<std::string> strings;
    const size_t count = 20 + random() % (round % 3 == 0 ? 1000 : 50);
    for (size_t i = 0; i < count; ++i)
      strings.push_back(Random(random, 6 + random() % 30, alphabet));
    std::string bytes;
    while (bytes.size() < 1000000) {
      const size_t stretch = 1000 + random() % 150000;
      if (random() % 2) {
        bytes += Random(random, stretch, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
      } else {
        for (size_t end = bytes.size() + stretch; bytes.size() < end;) {
          const std::string& s = strings[random() % strings.size()];
          bytes.append(s, 0, 1 + random() % (s.size() - 1));
        }
      }
      if (random() % 3 == 0) bytes += strings[random() % strings.size()];
    }
    for (size_t at = 64 * 1024, k = 0; at < bytes.size(); at += 64 * 1024, ++k)
      bytes.replace(at - 1 - random() % 12, strings[k].size(), strings[k]);
    THeuristicScanner scanner;
    scanner.Load(strings);
    ASSERT_GT(scanner.Stride(), 0u);
    const PumpedScan scan = ScanPumped(scanner, bytes, 0);
    ASSERT_EQ(scan.found, Expected(strings, bytes)) << "round " << round;
    EXPECT_GE(scan.found.size(), 1u);
  }
}

}  // namespace
}  // namespace nerlo::scan
