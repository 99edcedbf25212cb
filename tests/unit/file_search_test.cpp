#include "sigdb/file_search.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sigdb/qgram_index.h"
#include "test_util.h"

namespace nerlo::sigdb {
namespace {

using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;
using Offsets = std::vector<int32_t>;

Offsets AllMatches(TBaseSearch& search) {
  Offsets found;
  for (int32_t at = search.FindFirst(); at >= 0; at = search.FindNext()) found.push_back(at);
  return found;
}

Offsets Search(std::string_view block, std::string_view pattern, bool case_sensitive = false) {
  TBaseSearch search;
  search.SetCaseSensitive(case_sensitive);
  search.SetPattern(pattern);
  search.SetBuffer(reinterpret_cast<const unsigned char*>(block.data()),
                   static_cast<int32_t>(block.size()));
  return AllMatches(search);
}

// Leftmost non-overlapping occurrences, compared byte by byte through the fold.
Offsets Reference(std::string_view block, std::string_view pattern, bool case_sensitive) {
  Offsets found;
  if (pattern.empty()) return found;
  auto map = [&](char c) {
    unsigned char b = static_cast<unsigned char>(c);
    return case_sensitive ? b : TBaseSearch::Fold(b);
  };
  for (size_t at = 0; at + pattern.size() <= block.size();) {
    size_t i = 0;
    while (i < pattern.size() && map(block[at + i]) == map(pattern[i])) ++i;
    if (i == pattern.size()) {
      found.push_back(static_cast<int32_t>(at));
      at += pattern.size();
    } else {
      ++at;
    }
  }
  return found;
}

TEST(BaseSearch, MatchesNeverOverlapAndTheEndIsFinal) {
  TBaseSearch search;
  const std::string block = "aaaa";
  search.SetPattern("aa");
  search.SetBuffer(reinterpret_cast<const unsigned char*>(block.data()), 4);
  EXPECT_EQ(search.FindFirst(), 0);
  EXPECT_EQ(search.FindNext(), 2);
  EXPECT_EQ(search.FindNext(), -1);
  EXPECT_EQ(search.FindNext(), -1);
  EXPECT_EQ(search.FindFirst(), 0);  // starts over
  EXPECT_EQ(Search("aaaaa", "aa"), (Offsets{0, 2}));
  EXPECT_EQ(Search("abababa", "aba"), (Offsets{0, 4}));
}

TEST(BaseSearch, BlockBoundaries) {
  EXPECT_EQ(Search("abcdef", "abcdef"), (Offsets{0}));
  EXPECT_EQ(Search("abcdef", "abcdefg"), Offsets{});
  EXPECT_EQ(Search("abcdef", "def"), (Offsets{3}));
  EXPECT_EQ(Search("abcdef", "f"), (Offsets{5}));
  EXPECT_EQ(Search("abcdef", ""), Offsets{});
  EXPECT_EQ(Search("x", "x"), (Offsets{0}));

  TBaseSearch search;
  search.SetPattern("a");
  EXPECT_EQ(search.FindFirst(), -1);  // no block
  search.SetBuffer(nullptr, 5);
  EXPECT_EQ(search.FindFirst(), -1);
  const std::string block = "aaa";
  search.SetBuffer(reinterpret_cast<const unsigned char*>(block.data()), 0);
  EXPECT_EQ(search.FindFirst(), -1);
  search.SetBuffer(reinterpret_cast<const unsigned char*>(block.data()), 2);
  EXPECT_EQ(AllMatches(search), (Offsets{0, 1}));  // the size bounds the block

  // A test window never starts before the block: not for a FindNext without FindFirst, nor
  // after a longer pattern was set in the middle of a search (the heap block lets the
  // address checker see a read before it).
  const std::string text = "xabcabc";
  std::vector<unsigned char> heap(text.begin(), text.end());
  search.SetPattern("ax");  // its last byte stands at offset 0
  search.SetBuffer(heap.data(), static_cast<int32_t>(heap.size()));
  EXPECT_EQ(search.FindNext(), -1);
  search.SetPattern("c");
  EXPECT_EQ(search.FindFirst(), 3);
  search.SetPattern("xxxxxa");  // its last byte stands at offset 4, the next test position
  EXPECT_EQ(search.FindNext(), -1);
  search.SetPattern("bcab");
  search.SetBuffer(heap.data(), static_cast<int32_t>(heap.size()));
  EXPECT_EQ(search.FindNext(), 2);
}

TEST(BaseSearch, SingleBytePatternAtEveryOffset) {
  std::string block(300, 'q');
  Offsets expected;
  for (int32_t i = 0; i < 300; i += 7) {
    block[static_cast<size_t>(i)] = i % 2 ? 'K' : 'k';
    expected.push_back(i);
  }
  EXPECT_EQ(Search(block, "k"), expected);
  EXPECT_EQ(Search(block, "K"), expected);
  EXPECT_EQ(Search(std::string(64, 'z'), "z").size(), 64u);
}

TEST(BaseSearch, CaseFoldingFollowsWindows1252) {
  EXPECT_EQ(Search("abc", "ABC"), (Offsets{0}));
  EXPECT_EQ(Search("xaBc", "ABC"), (Offsets{1}));
  EXPECT_EQ(Search("abc", "ABC", true), Offsets{});
  EXPECT_EQ(Search("aBc", "ABC", true), Offsets{});
  EXPECT_EQ(Search("ABC", "ABC", true), (Offsets{0}));
  // Capital and small letters of the code page fold onto each other, from either side.
  for (auto [capital, small] : {std::pair{0xC0, 0xE0},
                                {0xDE, 0xFE},
                                {0xC9, 0xE9},
                                {0x8A, 0x9A},
                                {0x8C, 0x9C},
                                {0x8E, 0x9E},
                                {0x9F, 0xFF},
                                {'Z', 'z'}}) {
    const std::string upper(1, static_cast<char>(capital)), lower(1, static_cast<char>(small));
    EXPECT_EQ(Search("-" + lower, upper), (Offsets{1})) << capital;
    EXPECT_EQ(Search("-" + upper, lower), (Offsets{1})) << capital;
    EXPECT_EQ(Search("-" + upper, lower, true), Offsets{}) << capital;
  }
  // Neither the multiplication and division signs, nor sharp s, nor neighbours of the letters.
  for (auto [a, b] :
       {std::pair{0xD7, 0xF7}, {0xDF, 0xFF}, {'@', '`'}, {'[', '{'}, {0x8B, 0x9B}, {0xBF, 0xDF}}) {
    const std::string one(1, static_cast<char>(a)), other(1, static_cast<char>(b));
    EXPECT_EQ(Search(other, one), Offsets{}) << a;
    EXPECT_EQ(Search(one, other), Offsets{}) << a;
  }
}

TEST(BaseSearch, NewPatternOrCaseModeRebuildsTheTablesAndANewBlockKeepsThem) {
  const std::string first = "xxABxxab", second = "abAB";
  TBaseSearch search;
  search.SetPattern("ab");
  search.SetBuffer(reinterpret_cast<const unsigned char*>(first.data()), 8);
  EXPECT_EQ(AllMatches(search), (Offsets{2, 6}));
  search.SetCaseSensitive(true);
  EXPECT_EQ(AllMatches(search), (Offsets{6}));
  search.SetPattern("xa");
  EXPECT_EQ(AllMatches(search), (Offsets{5}));
  search.SetPattern("AB");
  search.SetBuffer(reinterpret_cast<const unsigned char*>(second.data()), 4);
  EXPECT_EQ(AllMatches(search), (Offsets{2}));
  search.SetCaseSensitive(false);
  EXPECT_EQ(AllMatches(search), (Offsets{0, 2}));
}

// Small alphabets make partial matches, repeated pattern bytes and overlapping occurrences
// common; the alphabet holds pairs that fold together and bytes that look alike but do not.
TEST(BaseSearch, AgreesWithAStraightforwardSearchOnRandomBlocks) {
  const std::string alphabet = "aAbB\xC0\xE0\xD7\xF7\x9F\xFF\x8A\x9A";
  std::mt19937 random(20240611);
  for (int round = 0; round < 20000; ++round) {
    const size_t letters = 2 + random() % (alphabet.size() - 1);
    auto text = [&](size_t length) {
      std::string s(length, '\0');
      for (char& c : s) c = alphabet[random() % letters];
      return s;
    };
    const std::string block = text(1 + random() % 80);
    const std::string pattern = random() % 3 == 0
                                    ? block.substr(random() % block.size(), 1 + random() % 6)
                                    : text(random() % 9);
    const bool case_sensitive = random() % 2 == 0;
    ASSERT_EQ(Search(block, pattern, case_sensitive), Reference(block, pattern, case_sensitive))
        << "block " << ::testing::PrintToString(block) << " pattern "
        << ::testing::PrintToString(pattern) << " case sensitive " << case_sensitive;
  }
}

// ---- TFileSearch -----------------------------------------------------------------------------

TEST(FileSearch, NoBlockForAnEmptyMissingOrNonRegularFile) {
  TempDir dir;
  WriteFile(dir / "empty.db", "");
  WriteFile(dir / "good.db", "pattern");
  TFileSearch search;
  search.SetPattern("pattern");
  for (const std::string& name :
       {dir / "empty.db", dir / "missing.db", dir.path(), std::string()}) {
    search.SetFilename(dir / "good.db");
    ASSERT_EQ(search.Filename(), dir / "good.db");
    EXPECT_EQ(search.LoadError(), "");
    search.SetFilename(name);
    EXPECT_EQ(search.Filename(), "") << name;
    EXPECT_EQ(search.FindFirst(), -1) << name;
    // Why no block is held, for whoever reports the database.
    EXPECT_EQ(search.LoadError().empty(), name.empty()) << name;
  }
  search.SetFilename(dir / "empty.db");
  EXPECT_EQ(search.LoadError(), "the file is empty");
  EXPECT_TRUE(search.LoadFoundEmpty());
  search.SetFilename(dir / "missing.db");
  EXPECT_EQ(search.LoadError(), "No such file or directory");
  EXPECT_FALSE(search.LoadFoundEmpty());
  search.SetFilename(dir.path());
  EXPECT_FALSE(search.LoadFoundEmpty());
  search.SetFilename(dir / "good.db");
  EXPECT_EQ(search.FindFirst(), 0);
  search.ReleaseFile();
  EXPECT_EQ(search.Filename(), "");
  EXPECT_EQ(search.FindFirst(), -1);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // the sanitizers' runtimes cannot live under an address limit
#else
constexpr bool kSanitized = false;
#endif

TEST(FileSearch, ADatabaseTooLargeForTheMemoryAtHandLeavesNoBlock) {
  if (kSanitized) GTEST_SKIP() << "needs an address-space limit";
  TempDir dir;
  WriteFile(dir / "huge.db", "");
  std::filesystem::resize_file(dir / "huge.db", int64_t{1536} << 20);  // sparse, below 2^31
  // In a child process whose address space cannot hold a copy of the file.
  auto search_under_limit = [&] {
    rlimit limit;
    limit.rlim_cur = limit.rlim_max = rlim_t{1} << 30;
    if (setrlimit(RLIMIT_AS, &limit) != 0) std::exit(3);
    TFileSearch search;
    search.SetPattern("pattern");
    search.SetFilename(dir / "huge.db");
    std::exit(search.Filename().empty() && search.FindFirst() == -1 &&
                      search.LoadError() == "not enough memory to read it whole"
                  ? 0
                  : 1);
  };
  EXPECT_EXIT(search_under_limit(), ::testing::ExitedWithCode(0), "");
}

TEST(FileSearch, EverySettingSeesTheCurrentContents) {
  TempDir dir;
  const std::string path = dir / "database.db";
  WriteFile(path, "--sig1--");
  TFileSearch search;
  search.SetPattern("SIG2");
  search.SetFilename(path);
  EXPECT_EQ(AllMatches(search), Offsets{});

  WriteFile(path, "--sig1----sig2--");  // grown
  search.SetFilename(path);
  EXPECT_EQ(AllMatches(search), (Offsets{10}));

  WriteFile(path, "sig2----sig2----");  // same size, same file, new bytes
  std::filesystem::last_write_time(
      path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  search.SetFilename(path);
  EXPECT_EQ(AllMatches(search), (Offsets{0, 8}));
}

// A database truncated or rewritten by another process while a search holds it must not
// affect the bytes that search reads.
TEST(FileSearch, TruncationAfterASettingLeavesTheBlockIntact) {
  TempDir dir;
  const std::string path = dir / "tdb.ldb";
  std::string content(1 << 20, '.');
  content.replace(content.size() - 4, 4, "tail");
  WriteFile(path, content);
  TFileSearch search;
  search.SetPattern("TAIL");
  search.SetFilename(path);
  WriteFile(path, "");
  EXPECT_EQ(AllMatches(search), (Offsets{(1 << 20) - 4}));
  search.SetFilename(path);
  EXPECT_EQ(search.Filename(), "");
}

// Stands still unless advanced, in place of the clock that tells a database changed moments
// ago; starts at the system's time, after the files of a test were written.
class FrozenClock {
 public:
  FrozenClock() {
    now_ns_ = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
    TFileSearch::SetClockForTesting(&Now);
  }
  ~FrozenClock() { TFileSearch::SetClockForTesting(nullptr); }
  FrozenClock(const FrozenClock&) = delete;
  FrozenClock& operator=(const FrozenClock&) = delete;
  void Advance(std::chrono::milliseconds by) { now_ns_ += by.count() * 1'000'000; }

 private:
  static int64_t Now() { return now_ns_; }
  static inline int64_t now_ns_ = 0;
};

// A snapshot kept for reuse is the one case where an unchanged stamp decides what a search
// sees; the file must be older than the racy window before its bytes are kept.
TEST(FileSearch, KeptSnapshotIsNotReusedOnceTheFileChanged) {
  TempDir dir;
  const std::string path = dir / "database.db", replacement = dir / "replacement";
  const auto old_time = std::filesystem::file_time_type::clock::now() - std::chrono::hours(2);
  WriteFile(path, "first-version");
  WriteFile(replacement, "other-version");
  std::filesystem::last_write_time(path, old_time);
  std::filesystem::last_write_time(replacement, old_time);
  FrozenClock clock;
  clock.Advance(std::chrono::milliseconds(2100));  // the inode changes age

  TFileSearch search, second;
  search.SetPattern("version");
  second.SetPattern("first");
  search.SetFilename(path);  // kept for reuse from here on
  EXPECT_EQ(AllMatches(search), (Offsets{6}));
  second.SetFilename(path);
  EXPECT_EQ(AllMatches(second), (Offsets{0}));

  // Replaced by another file of the same size and modification time.
  std::filesystem::rename(replacement, path);
  second.SetFilename(path);
  EXPECT_EQ(AllMatches(second), Offsets{});
  second.SetPattern("other");
  EXPECT_EQ(AllMatches(second), (Offsets{0}));
  // The first instance still holds the bytes it was given.
  search.SetPattern("first");
  EXPECT_EQ(AllMatches(search), (Offsets{0}));

  // Rewritten in place with the same size, modification time set apart.
  WriteFile(path, "third-version");
  std::filesystem::last_write_time(path, old_time - std::chrono::hours(1));
  search.SetPattern("third");
  search.SetFilename(path);
  EXPECT_EQ(AllMatches(search), (Offsets{0}));
}

TEST(FileSearch, InstancesOnTwoThreadsOverOneFileWhileItIsRewritten) {
  TempDir dir;
  const std::string path = dir / "tdb.ldb";
  std::string content;
  for (int i = 0; i < 2000; ++i) content += i % 3 ? "AAAA-" : "BBBB-";
  WriteFile(path, content);
  const Offsets expected_a = Reference(content, "aaaa", false);
  const Offsets expected_b = Reference(content, "bbbb", false);

  auto searcher = [&](const char* pattern, const Offsets& expected, int* mismatches) {
    TFileSearch search;
    search.SetPattern(pattern);
    for (int i = 0; i < 200; ++i) {
      search.SetFilename(path);
      if (AllMatches(search) != expected) ++*mismatches;
    }
  };
  int mismatches_a = 0, mismatches_b = 0;
  std::thread a(searcher, "aaaa", std::cref(expected_a), &mismatches_a);
  std::thread b(searcher, "bbbb", std::cref(expected_b), &mismatches_b);
  a.join();
  b.join();
  EXPECT_EQ(mismatches_a, 0);
  EXPECT_EQ(mismatches_b, 0);

  // A writer truncating and refilling the file in place meanwhile: searches may see any
  // state of the file, but never fault, and a setting after the writer is done sees its end.
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; i < 200; ++i) WriteFile(path, i % 2 ? content : content.substr(0, 777));
    writing = false;
  });
  auto reader = [&] {
    TFileSearch search;
    search.SetPattern("aaaa");
    while (writing) {
      search.SetFilename(path);
      for (int32_t at = search.FindFirst(); at >= 0; at = search.FindNext())
        ASSERT_LT(at, static_cast<int32_t>(content.size()));
    }
  };
  std::thread r1(reader), r2(reader);
  writer.join();
  r1.join();
  r2.join();
  TFileSearch last;
  last.SetPattern("aaaa");
  last.SetFilename(path);
  EXPECT_EQ(AllMatches(last), expected_a);
}

// ---- The indexed search of long patterns ------------------------------------------------------

// Exposes the block so that tests can tell whether two settings share one snapshot.
class ProbeSearch : public TFileSearch {
 public:
  const unsigned char* Block() const { return BlockStart(); }
};

// Texts over few letters, with case pairs of the code page, make partial matches, repeats and
// overlapping occurrences common.
std::string RandomText(std::mt19937& random, size_t length, std::string_view alphabet) {
  std::string s(length, '\0');
  for (char& c : s) c = alphabet[random() % alphabet.size()];
  return s;
}

std::string FlipSomeCases(std::mt19937& random, std::string s) {
  for (char& c : s) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (random() % 4 == 0 && TBaseSearch::Fold(b) != b)
      c = static_cast<char>(TBaseSearch::Fold(b));
    else if (random() % 4 == 0 && b >= 'a' && b <= 'z')
      c = static_cast<char>(b - 0x20);
  }
  return s;
}

// Many rounds over random databases: long patterns take the indexed path, and every result
// must be the skip-table search's over the same bytes, in both case modes, with patterns
// planted at both ends, across entry boundaries, overlapping themselves and in other cases.
TEST(FileSearch, IndexedSearchAgreesWithTheSkipTableSearch) {
  TempDir dir;
  std::mt19937 random(7177);
  const int databases = kSanitized ? 60 : 500;
  const int patterns_per_database = kSanitized ? 400 : 2000;
  int64_t rounds = 0, found = 0;
  for (int d = 0; d < databases; ++d) {
    const std::string alphabet = d % 3 == 0   ? "aAbB\n"
                                 : d % 3 == 1 ? "=>?@NOPQRSnopqrs\n"
                                              : "aA\xC0\xE0\x8A\x9A\x9F\xFF"
                                                "bc";
    // Periodic stretches make overlapping occurrences of periodic patterns.
    std::string text = RandomText(random, 32 + random() % 3000, alphabet);
    const std::string unit = RandomText(random, 1 + random() % 5, alphabet);
    std::string periodic;
    while (periodic.size() < 100 + random() % 200) periodic += unit;
    text.insert(random() % text.size(), FlipSomeCases(random, periodic));
    // A fresh name per database: a rewrite within one tick of the clock could keep its stamp.
    const std::string path = dir / ("db" + std::to_string(d));
    WriteFile(path, text);

    TFileSearch indexed;
    TBaseSearch reference;
    indexed.SetFilename(path);
    ASSERT_EQ(indexed.Filename(), path);
    reference.SetBuffer(reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int32_t>(text.size()));
    for (int p = 0; p < patterns_per_database; ++p) {
      const size_t length = QGramIndex::kMinPattern - 2 + random() % 50;
      std::string pattern;
      switch (random() % 5) {
        case 0:  // anywhere, also at either end
          pattern = text.substr(
              random() % 2 ? text.size() - std::min(length, text.size()) : random() % text.size(),
              length);
          break;
        case 1:
          pattern = text.substr(0, length);
          break;
        case 2: {  // a self-overlapping pattern from the periodic stretch
          pattern.clear();
          while (pattern.size() < length) pattern += unit;
          break;
        }
        default:
          pattern = text.substr(random() % text.size(), length);
          if (!pattern.empty() && random() % 2)
            pattern[random() % pattern.size()] = alphabet[random() % alphabet.size()];
      }
      if (random() % 2) pattern = FlipSomeCases(random, pattern);
      const bool case_sensitive = random() % 4 == 0;
      indexed.SetPattern(pattern);
      indexed.SetCaseSensitive(case_sensitive);
      reference.SetPattern(pattern);
      reference.SetCaseSensitive(case_sensitive);
      const Offsets expected = AllMatches(reference);
      ASSERT_EQ(AllMatches(indexed), expected)
          << "database " << d << " pattern " << ::testing::PrintToString(pattern)
          << " case sensitive " << case_sensitive;
      ++rounds;
      found += static_cast<int64_t>(expected.size());
      // Starting over and going on after a pattern change mid-search, as the skip table does.
      if (p % 16 == 0 && !expected.empty()) {
        EXPECT_EQ(indexed.FindFirst(), reference.FindFirst());
        const std::string other = text.substr(random() % text.size(), length);
        indexed.SetPattern(other);
        reference.SetPattern(other);
        for (int32_t at = reference.FindNext();; at = reference.FindNext()) {
          ASSERT_EQ(indexed.FindNext(), at);
          if (at < 0) break;
        }
      }
    }
  }
  EXPECT_GT(found, rounds);  // most patterns occur, many more than once
}

TEST(FileSearch, IndexedSearchOfAnEntryInALargeDatabase) {
  TempDir dir;
  std::mt19937 random(99);
  const std::string hex = "=>?@ABCDEFNOPQRS";  // upper-case hex text shifted by 13
  std::string text;
  std::vector<std::string> entries;
  for (int i = 0; i < 40000; ++i) {
    entries.push_back(RandomText(random, i % 2 ? 64 : 32, hex));
    text += entries.back() + "\n";
  }
  text += entries[7];  // a second copy, without a line end at the file's end
  WriteFile(dir / "database.db", text);
  TFileSearch search;
  search.SetFilename(dir / "database.db");
  for (int i : {0, 7, 12345, 39999}) {
    std::string folded = entries[static_cast<size_t>(i)];
    for (char& c : folded) c = static_cast<char>(TBaseSearch::Fold(static_cast<unsigned char>(c)));
    search.SetPattern(folded);
    EXPECT_EQ(AllMatches(search), Search(text, folded)) << i;
  }
  search.SetPattern(entries[7]);
  EXPECT_EQ(AllMatches(search).size(), 2u);
  // A pattern across two entries, the line end included.
  search.SetPattern(entries[1].substr(40) + "\n" + entries[2].substr(0, 20));
  EXPECT_EQ(AllMatches(search), (Offsets{32 + 1 + 40}));
}

// nerlo-scan has a database indexed by the thread that read it while the scan's own searches
// begin: a search that comes first waits for that index, and finds what the skip table finds.
TEST(FileSearch, AnIndexPreparedOnAnotherThreadServesTheSearchesOfThisOne) {
  TempDir dir;
  std::mt19937 random(5);
  std::string text;
  std::vector<std::string> entries;
  for (int i = 0; i < 40000; ++i) {
    entries.push_back(RandomText(random, 32, "0123456789abcdef"));
    text += entries.back() + "\n";
  }
  WriteFile(dir / "tdb.ldb", text);
  TFileSearch idle;
  idle.PrepareIndex();  // nothing held: nothing to do
  for (int round = 0; round < 5; ++round) {
    WriteFile(dir / "tdb.ldb", text + std::to_string(round));  // a fresh snapshot each round
    TFileSearch reader;
    reader.SetFilename(dir / "tdb.ldb");
    std::thread preparer([&reader] { reader.PrepareIndex(); });
    TFileSearch search;
    search.SetFilename(dir / "tdb.ldb");
    for (int i : {3, 20000, 39999}) {
      search.SetPattern(entries[static_cast<size_t>(i)]);
      EXPECT_TRUE(search.Indexed());
      EXPECT_EQ(AllMatches(search), Search(text, entries[static_cast<size_t>(i)])) << i;
    }
    preparer.join();
  }
}

// A database written moments ago is read again at most once a second, and a read that finds
// the same bytes keeps the snapshot (and so its index).
TEST(FileSearch, AFreshDatabaseIsNotReadForEverySetting) {
  TempDir dir;
  const std::string path = dir / "tdb.ldb";
  std::string content(100000, 'x');
  content.replace(5000, 40, std::string(40, 'q'));
  WriteFile(path, content);
  FrozenClock clock;
  ProbeSearch search;
  search.SetPattern(std::string(40, 'Q'));
  const uint64_t before = TFileSearch::DatabaseReads();
  search.SetFilename(path);
  const unsigned char* block = search.Block();
  for (int i = 0; i < 200; ++i) {
    search.SetFilename(path);
    ASSERT_EQ(AllMatches(search), (Offsets{5000}));
  }
  EXPECT_EQ(TFileSearch::DatabaseReads() - before, 1u);
  clock.Advance(std::chrono::milliseconds(999));
  search.SetFilename(path);
  EXPECT_EQ(TFileSearch::DatabaseReads() - before, 1u);
  clock.Advance(std::chrono::milliseconds(2));
  search.SetFilename(path);
  EXPECT_EQ(search.Block(), block);  // read again, same bytes: the same snapshot
  EXPECT_EQ(TFileSearch::DatabaseReads() - before, 2u);
}

// Only a change within the clock's last two seconds forces a read: a modification time in the
// future does not.
TEST(FileSearch, ADatabaseStampedInTheFutureIsKept) {
  TempDir dir;
  const std::string path = dir / "database.db";
  WriteFile(path, "future-entry");
  std::filesystem::last_write_time(
      path, std::filesystem::file_time_type::clock::now() + std::chrono::hours(3));
  FrozenClock clock;
  clock.Advance(std::chrono::milliseconds(2100));  // the inode change ages
  TFileSearch search;
  search.SetPattern("entry");
  search.SetFilename(path);
  const uint64_t before = TFileSearch::DatabaseReads();
  clock.Advance(std::chrono::milliseconds(1100));
  search.SetFilename(path);
  EXPECT_EQ(AllMatches(search), (Offsets{7}));
  EXPECT_EQ(TFileSearch::DatabaseReads(), before);
}

TEST(QGramIndex, CandidatesCoverEveryOccurrenceAndRespectTheLimit) {
  std::string text(20000, '.');
  const std::string entry = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (size_t at : {size_t{0}, size_t{17}, size_t{4095}, text.size() - entry.size()})
    text.replace(at, entry.size(), entry);
  const QGramIndex index(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  EXPECT_LT(index.MemoryBytes(), text.size() / 2);
  std::vector<uint32_t> out;
  ASSERT_TRUE(index.Candidates(reinterpret_cast<const unsigned char*>(entry.data()), entry.size(),
                               1000, &out));
  for (uint32_t at : {0u, 17u, 4095u, static_cast<uint32_t>(text.size() - entry.size())})
    EXPECT_TRUE(std::binary_search(out.begin(), out.end(), at)) << at;
  EXPECT_TRUE(std::is_sorted(out.begin(), out.end()));
  // A pattern standing nearly everywhere has too many candidates for the limit.
  const std::string dots(40, '.');
  EXPECT_FALSE(index.Candidates(reinterpret_cast<const unsigned char*>(dots.data()), dots.size(),
                                100, &out));
  EXPECT_FALSE(index.Candidates(reinterpret_cast<const unsigned char*>(dots.data()),
                                QGramIndex::kMinPattern - 1, 100000, &out));
  const QGramIndex tiny(reinterpret_cast<const unsigned char*>(text.data()), 3);
  EXPECT_TRUE(
      tiny.Candidates(reinterpret_cast<const unsigned char*>(dots.data()), dots.size(), 100, &out));
  EXPECT_TRUE(out.empty());
}

// The index folds the text eight bytes at a time when they are all below 0x80, through the
// table otherwise: either way an entry is found whatever the case of every byte in it.
TEST(QGramIndex, CandidatesFoldEveryByteAsTheSearchDoes) {
  for (int c = 0; c < 256; ++c) {
    std::string entry = "abcdefghijklmnopqrstuvwxyz012345";
    entry[5] = entry[20] = static_cast<char>(c);
    std::string folded = entry;
    for (char& b : folded) b = static_cast<char>(TBaseSearch::Fold(static_cast<unsigned char>(b)));
    for (const std::string& stored : {entry, folded}) {
      const std::string text = std::string(16, '.') + stored + std::string(16, '.');
      const QGramIndex index(reinterpret_cast<const unsigned char*>(text.data()), text.size());
      std::vector<uint32_t> out;
      ASSERT_TRUE(index.Candidates(reinterpret_cast<const unsigned char*>(folded.data()),
                                   folded.size(), 100, &out));
      EXPECT_TRUE(std::binary_search(out.begin(), out.end(), 16u)) << "byte " << c;
    }
  }
}

// A lookup compares every candidate with the text, one memory miss each in a large database:
// the samples' tags leave few strangers among the candidates of a pattern that is absent.
TEST(QGramIndex, AnAbsentPatternHasFewCandidates) {
  std::mt19937 random(7);
  const std::string alphabet = "0123456789ABCDEF";
  const std::string text = RandomText(random, 1 << 20, alphabet);
  const QGramIndex index(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  size_t candidates = 0;
  constexpr int kPatterns = 200;
  std::vector<uint32_t> out;
  for (int i = 0; i < kPatterns; ++i) {
    const std::string pattern = RandomText(random, 64, alphabet);
    ASSERT_TRUE(index.Candidates(reinterpret_cast<const unsigned char*>(pattern.data()),
                                 pattern.size(), 100000, &out));
    candidates += out.size();
  }
  // Sixteen probes of one or two samples each, one in sixteen of them of the pattern's tag.
  EXPECT_LT(candidates, 4u * kPatterns);
}

}  // namespace
}  // namespace nerlo::sigdb
