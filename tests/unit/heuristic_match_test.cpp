#include "tests/oracle/heuristic_match.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>
#include <string>

#include "platform/exceptions.h"
#include "platform/message_queue.h"
#include "test_util.h"

namespace nerlo::testing {
namespace {


int64_t MatchIn(const TempDir& dir, std::string_view s, std::string_view contents) {
  const std::string path = dir / "file";
  WriteFile(path, contents);
  return MatchHeuristic(s, path);
}

TEST(MatchHeuristic, FindsFirstOccurrenceIncludingOnesInsideABrokenPartialMatch) {
  TempDir dir;
  EXPECT_EQ(MatchIn(dir, "ab", "ab"), 0);
  EXPECT_EQ(MatchIn(dir, "ab", "xab"), 1);  // ends on the last byte of the file
  EXPECT_EQ(MatchIn(dir, "ab", "xxab"), 2);
  EXPECT_EQ(MatchIn(dir, "ab", "aab"), 1);
  EXPECT_EQ(MatchIn(dir, "aab", "aaab"), 1);
  EXPECT_EQ(MatchIn(dir, "abab", "abaabab"), 3);
  EXPECT_EQ(MatchIn(dir, "ab", "abab"), 0);
  EXPECT_EQ(MatchIn(dir, "ab", "AB"), -1);  // bytes compared exactly, no case folding
  EXPECT_EQ(MatchIn(dir, "aa", "a"), -1);
  EXPECT_EQ(MatchIn(dir, "a", ""), -1);
  EXPECT_EQ(MatchIn(dir, std::string("\0\xFF", 2), std::string("x\0\0\xFF", 4)), 2);
}

TEST(MatchHeuristic, EmptyStringIsNotFoundAndDoesNotOpenTheFile) {
  TempDir dir;
  EXPECT_EQ(MatchIn(dir, "", "anything"), -1);
  EXPECT_EQ(MatchHeuristic("", dir / "does-not-exist"), -1);
}

TEST(MatchHeuristic, ReadOnlyFileIsSearched) {
  TempDir dir;
  const std::string path = dir / "ro";
  WriteFile(path, "xxsecretxx");
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  EXPECT_EQ(MatchHeuristic("secret", path), 2);
}

TEST(MatchHeuristic, OpenFailuresRaiseInOutErrorNamingTheFile) {
  TempDir dir;
  const std::string missing = dir / "missing";
  try {
    MatchHeuristic("ab", missing);
    FAIL() << "no exception";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message().rfind("Cannot open file \"" + missing + "\". ", 0), 0u) << e.Message();
  }
  EXPECT_THROW(MatchHeuristic("ab", dir.path()), EInOutError);  // a directory
}

TEST(MatchHeuristic, ReportsIdentityOfTheOpenedFile) {
  TempDir dir;
  const std::string path = dir / "file";
  WriteFile(path, "abc");
  platform::FileIdentity identity;
  EXPECT_EQ(MatchHeuristic("zz", path, &identity), -1);
  platform::FileStamp stamp;
  ASSERT_TRUE(platform::StatPath(path, &stamp));
  EXPECT_TRUE(identity.valid);
  EXPECT_EQ(identity, stamp.identity);
}

TEST(MatchHeuristic, FindsMatchesCrossingBlockBoundariesAtEverySplit) {
  TempDir dir;
  const std::string s = "needle";
  for (size_t boundary : {size_t{1024}, size_t{2048}}) {
    for (size_t start = boundary - s.size(); start <= boundary; ++start) {
      // A broken partial match just before the occurrence makes the search resume inside it.
      std::string contents(start, 'n');
      contents += s;
      contents += std::string(100, 'x');
      EXPECT_EQ(MatchIn(dir, s, contents), static_cast<int64_t>(start))
          << "boundary " << boundary << " start " << start;
    }
  }
  // A string longer than a block, starting partway into the first block.
  std::string big;
  for (int i = 0; i < 3000; ++i) big.push_back(static_cast<char>('a' + i % 7));
  std::string contents = std::string(500, 'z') + big + "tail";
  EXPECT_EQ(MatchIn(dir, big, contents), 500);
}

class CountingQueue : public platform::MessageQueue {
 public:
  void ProcessMessages() override { ++pumps; }
  void WaitForMessages(std::chrono::milliseconds) override { ++pumps; }
  void Synchronize(std::function<void()> fn) override { fn(); }
  void Queue(std::function<void()> fn) override { fn(); }
  int pumps = 0;
};

TEST(MatchHeuristic, PumpsMessagesAfterEveryReadIncludingTheEmptyOne) {
  TempDir dir;
  const std::string path = dir / "file";
  WriteFile(path, std::string(3000, 'x'));
  CountingQueue queue;
  platform::InstallMessageQueue(&queue);
  const int64_t absent = MatchHeuristic("ab", path);
  const int after_absent = queue.pumps;
  queue.pumps = 0;
  const int64_t present = MatchHeuristic("xx", path);  // found in the first block
  const int after_present = queue.pumps;
  platform::InstallMessageQueue(nullptr);
  EXPECT_EQ(absent, -1);
  EXPECT_EQ(after_absent, 4);  // 1024, 1024, 952, then the read that finds the end
  EXPECT_EQ(present, 0);
  EXPECT_EQ(after_present, 1);  // stops reading at the first occurrence
}

TEST(MatchHeuristic, AgreesWithStringFindOnRandomSmallAlphabetFiles) {
  TempDir dir;
  std::mt19937 random(20240607);
  for (int round = 0; round < 200; ++round) {
    const size_t alphabet = 2 + random() % 2;
    std::string contents(1000 + random() % 4000, 'a');
    for (char& c : contents) c = static_cast<char>('a' + random() % alphabet);
    std::string s(1 + random() % 12, 'a');
    for (char& c : s) c = static_cast<char>('a' + random() % alphabet);
    const size_t expected = contents.find(s);
    EXPECT_EQ(MatchIn(dir, s, contents),
              expected == std::string::npos ? -1 : static_cast<int64_t>(expected))
        << "s=" << s << " round " << round;
  }
}

}  // namespace
}  // namespace nerlo::testing

namespace nerlo::testing {
namespace {

TEST(FindHeuristics, HitsInListOrderAsTheFileSearchFindsThem) {
  const std::string bytes("xxaabab--\0\xFFtail", 15);
  const std::vector<std::string> list = {
      "tail", "", "abab", "nothere", "aab", "tail!", std::string("\0\xFF", 2)};
  EXPECT_EQ(FindHeuristics(bytes, list),
            (std::vector<size_t>{0, 2, 4, 6}));
  EXPECT_TRUE(FindHeuristics("", list).empty());
}

TEST(FindHeuristics, OccurrencesAcrossPieceBoundariesAndProgressCoversEveryPass) {
  std::mt19937 random(7);
  std::string bytes(3 * kHeuristicPiece + 17, '\0');
  for (char& c : bytes) c = static_cast<char>('a' + random() % 3);
  // A string that straddles each boundary between two pieces, and one at the very end.
  std::vector<std::string> list;
  for (size_t boundary = kHeuristicPiece; boundary < bytes.size(); boundary += kHeuristicPiece)
    list.push_back(bytes.substr(boundary - 5, 11) + "z");
  for (size_t i = 0; i < list.size(); ++i)
    bytes.replace(kHeuristicPiece * (i + 1) - 5, 12, list[i]);
  list.push_back(bytes.substr(bytes.size() - 9));
  list.push_back("zzzzzz");  // absent: searched to the end
  size_t progressed = 0;
  const std::vector<size_t> hits = FindHeuristics(bytes, list, [&](size_t piece) {
    EXPECT_LE(piece, kHeuristicPiece);
    progressed += piece;
  });
  EXPECT_EQ(hits, (std::vector<size_t>{0, 1, 2, 3}));
  // The absent string's pass alone covers every byte.
  EXPECT_GE(progressed, bytes.size());
  // The same answers as the file-based matcher gives.
  TempDir dir;
  WriteFile(dir / "f", bytes);
  for (size_t i = 0; i < list.size(); ++i)
    EXPECT_EQ(MatchHeuristic(list[i], dir / "f") != -1, i < 4) << i;
}

}  // namespace
}  // namespace nerlo::testing
