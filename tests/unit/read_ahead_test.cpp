#include "scan/read_ahead.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "held_threads.h"
#include "platform/message_queue.h"
#include "sigdb/md5.h"
#include "test_util.h"
#include "tests/common/signature_entries.h"

namespace nerlo::scan {
namespace {

using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;
using Outcome = ExaminedBytes::Outcome;

platform::File OpenFile(const std::string& path) {
  platform::ErrorCode error = 0;
  return platform::File::Open(path, platform::LinkPolicy::kNoFollow, &error);
}

// Files are handed back in the order they were submitted, each with its own bytes, digest and
// heuristic hits; a file without room waits, open, and is read only once the files before it
// are taken; a file at the size limit is never read.
TEST(ReadAhead, ResultsComeBackInOrderWithinTheByteBudget) {
  TempDir dir;
  THeuristicScanner scanner;
  scanner.Load(std::vector<std::string>{"needle", "absent", "needle"});
  const std::vector<std::string> contents = {std::string(600, 'a') + "needle",
                                             std::string(600, 'b'), std::string(700, 'c'),
                                             std::string(2000, 'd')};
  for (size_t i = 0; i < contents.size(); ++i)
    WriteFile(dir / ("f" + std::to_string(i)), contents[i]);

  // A line three files deep: the third file queued wakes a helper, whichever moment the
  // helpers reach their wait.
  TReadAhead ahead(2, /*depth=*/3, /*max_bytes=*/1000, /*size_limit=*/1500);
  for (size_t i = 0; i < 3; ++i)
    ahead.Submit(nullptr, "f" + std::to_string(i), OpenFile(dir / ("f" + std::to_string(i))), 0,
                 &scanner);
  // Neither 606 + 600 bytes nor 606 + 700 fit in 1000 while the first file is held: once a
  // helper has begun the first file, the second is not read until the first is taken, so what
  // is written into it now is what it will be found to hold.
  while (ahead.OpenFiles() > 2) std::this_thread::yield();
  const std::string changed(600, 'B');
  WriteFile(dir / "f1", changed);  // the same file, truncated and written again
  ASSERT_TRUE(ahead.FrontIs(nullptr, "f0"));
  ExaminedBytes first = ahead.TakeFront();
  EXPECT_EQ(first.outcome, Outcome::kRead);
  EXPECT_EQ(std::string(first.bytes.begin(), first.bytes.end()), contents[0]);
  sigdb::TMD5 md5;
  md5.Update(contents[0].data(), contents[0].size());
  EXPECT_EQ(first.md5_text, md5.DigestText());
  EXPECT_TRUE(first.heuristics_searched);
  EXPECT_EQ(first.heuristic_hits, (std::vector<size_t>{0, 2}));
  EXPECT_TRUE(ahead.FrontIs(nullptr, "f1"));
  ExaminedBytes second = ahead.TakeFront();
  EXPECT_EQ(std::string(second.bytes.begin(), second.bytes.end()), changed);
  EXPECT_EQ(ahead.TakeFront().bytes.size(), 700u);
  EXPECT_EQ(ahead.TakeFront().outcome, Outcome::kDeferred);  // no job left
  // The file at the limit is too large and holds nothing.
  ahead.Submit(nullptr, "f3", OpenFile(dir / "f3"), 0, nullptr);
  ahead.Submit(nullptr, "f2", OpenFile(dir / "f2"), 0, nullptr);
  EXPECT_EQ(ahead.TakeFront().outcome, Outcome::kTooLarge);
  ExaminedBytes third = ahead.TakeFront();
  EXPECT_EQ(third.outcome, Outcome::kRead);
  EXPECT_EQ(third.bytes.size(), 700u);
  EXPECT_FALSE(third.heuristics_searched);
  // A file that could not be opened keeps its place and says why.
  ahead.Submit(nullptr, "gone", platform::File(), ENOENT, nullptr);
  ahead.SubmitDeferred(nullptr, "later");
  EXPECT_EQ(ahead.TakeFront().reason, platform::ErrorText(ENOENT));
  EXPECT_TRUE(ahead.FrontIs(nullptr, "later"));
  ahead.Clear();
  EXPECT_FALSE(ahead.FrontIs(nullptr, "later"));
  EXPECT_EQ(ahead.TakeFront().outcome, Outcome::kDeferred);
}

// With a kept prefix, a file hashed and searched waits for the walk with only its first bytes,
// its digest and hits still those of the whole file, and its room goes back to the budget at
// once: three files that fit the budget only one at a time are all read before the walk takes
// any. A file that was not searched, and one no longer than the prefix, come back whole.
TEST(ReadAhead, FilesWaitingForTheWalkKeepOnlyTheirPrefix) {
  TempDir dir;
  THeuristicScanner scanner;
  scanner.Load(std::vector<std::string>{"head", "tail"});
  std::vector<std::string> contents;
  for (int i = 0; i < 3; ++i)
    contents.push_back("head" + std::string(800, static_cast<char>('a' + i)) + "tail");
  contents.push_back(std::string(50, 'z'));
  for (size_t i = 0; i < contents.size(); ++i)
    WriteFile(dir / ("f" + std::to_string(i)), contents[i]);

  TReadAhead ahead(2, /*depth=*/3, /*max_bytes=*/1000, /*size_limit=*/1500, StartThread,
                   /*kept_bytes=*/50);
  for (size_t i = 0; i < 3; ++i)
    ahead.Submit(nullptr, "f" + std::to_string(i), OpenFile(dir / ("f" + std::to_string(i))), 0,
                 &scanner);
  // Without the room given back, the second file would wait for the first to be taken.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ahead.OpenFiles() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(ahead.OpenFiles(), 0u);
  for (size_t i = 0; i < 3; ++i) {
    const ExaminedBytes got = ahead.TakeFront();
    ASSERT_EQ(got.outcome, Outcome::kRead) << i;
    EXPECT_FALSE(got.whole);
    EXPECT_EQ(std::string(got.bytes.begin(), got.bytes.end()), contents[i].substr(0, 50));
    EXPECT_EQ(got.md5_text, nerlo::testing::Md5Text(contents[i]));
    EXPECT_EQ(got.heuristic_hits, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(got.stamp.size, 808);
  }
  ahead.Submit(nullptr, "f0", OpenFile(dir / "f0"), 0, nullptr);
  ahead.Submit(nullptr, "f3", OpenFile(dir / "f3"), 0, &scanner);
  for (size_t i : {0, 3}) {
    const ExaminedBytes got = ahead.TakeFront();
    ASSERT_EQ(got.outcome, Outcome::kRead) << i;
    EXPECT_TRUE(got.whole);
    EXPECT_EQ(std::string(got.bytes.begin(), got.bytes.end()), contents[i]);
  }
}

// A helper that cannot be started leaves fewer helpers (or none: the caller reads), never a
// thread left running when the constructor returns or raises.
TEST(ReadAhead, HelpersThatCannotStartAreDoneWithout) {
  TempDir dir;
  WriteFile(dir / "f", "needle");
  for (int fail_at : {0, 1}) {
    int started = 0;
    const ThreadStarter start = [&](std::function<void()> body) {
      if (started == fail_at)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      ++started;
      return std::thread(std::move(body));
    };
    TReadAhead ahead(2, 8, 1000, 1500, start);
    EXPECT_EQ(ahead.ThreadCount(), static_cast<size_t>(fail_at));
    EXPECT_EQ(ahead.StartError(),
              std::make_error_code(std::errc::resource_unavailable_try_again).message());
    EXPECT_EQ(ahead.Full(), fail_at == 0);
    if (fail_at == 1) {
      platform::DirectoryRef folder =
          platform::Directory::OpenRoot(dir.path(), platform::LinkPolicy::kNoFollow, nullptr);
      ahead.Submit(folder, "f", OpenFile(dir / "f"), 0, nullptr);
      const ExaminedBytes got = ahead.TakeFront();
      EXPECT_EQ(got.outcome, Outcome::kRead);
      EXPECT_EQ(std::string(got.bytes.begin(), got.bytes.end()), "needle");
      EXPECT_EQ(got.stamp.size, 6);
      EXPECT_EQ(ahead.OpenFiles(), 0u);
    }
  }
}

// Files taken by a helper together are fingerprinted together, each keeping its own digest and
// heuristic hits, in order, among files that are not read (too large, not opened). The second
// large file has no room while the first is held, so the small files queued behind it wait too,
// and are taken with it in one go once the first is handed over.
TEST(ReadAhead, FilesTakenTogetherKeepTheirOwnDigestsAndHits) {
  TempDir dir;
  THeuristicScanner scanner;
  scanner.Load(std::vector<std::string>{"needle", "pin"});
  std::mt19937 random(11);
  std::vector<std::string> contents = {std::string(60000, 'a'), std::string(60000, 'b')};
  for (int i = 0; i < 40; ++i) {
    std::string bytes(random() % 2400, '\0');
    for (char& c : bytes) c = static_cast<char>('a' + random() % 26);
    if (i % 3 == 0) bytes.insert(bytes.size() / 2, i % 2 ? "needle" : "pin");
    contents.push_back(bytes);
  }
  contents[7] = std::string(80000, 'x');  // above the size limit: never read
  contents[9].clear();
  for (size_t i = 0; i < contents.size(); ++i)
    WriteFile(dir / ("f" + std::to_string(i)), contents[i]);

  TReadAhead ahead(2, 128, /*max_bytes=*/100000, /*size_limit=*/70000);
  for (size_t i = 0; i < contents.size(); ++i) {
    const std::string name = "f" + std::to_string(i);
    if (i == 12) {
      ahead.Submit(nullptr, name, platform::File(), ENOENT, &scanner);
      continue;
    }
    ahead.Submit(nullptr, name, OpenFile(dir / name), 0, i % 2 ? &scanner : nullptr);
  }
  for (size_t i = 0; i < contents.size(); ++i) {
    ASSERT_TRUE(ahead.FrontIs(nullptr, "f" + std::to_string(i)));
    const ExaminedBytes got = ahead.TakeFront();
    if (i == 12) {
      EXPECT_EQ(got.outcome, Outcome::kNotExamined);
      continue;
    }
    if (i == 7) {
      EXPECT_EQ(got.outcome, Outcome::kTooLarge);
      continue;
    }
    ExaminedBytes expected;
    expected.bytes.assign(contents[i].begin(), contents[i].end());
    DigestBytes(expected, i % 2 ? &scanner : nullptr);
    ASSERT_EQ(got.outcome, Outcome::kRead) << i;
    EXPECT_EQ(std::string(got.bytes.begin(), got.bytes.end()), contents[i]) << i;
    EXPECT_EQ(got.md5_text, expected.md5_text) << i;
    EXPECT_EQ(got.heuristics_searched, expected.heuristics_searched) << i;
    EXPECT_EQ(got.heuristic_hits, expected.heuristic_hits) << i;
  }
}

// Walks as the scan does: the line is kept filled ahead of the files taken, so that helpers
// get their files in batches; every result comes back in its order with its own bytes, for a
// line of one file, for lines whose last batch is short and ends with the last file, and for a
// line shallower than a batch.
TEST(ReadAhead, FilesHandedOverInBatchesComeBackInOrder) {
  TempDir dir;
  std::vector<std::string> contents;
  for (int i = 0; i < 53; ++i) {
    contents.push_back(std::string(100 + 37 * i, static_cast<char>('a' + i % 26)));
    WriteFile(dir / ("f" + std::to_string(i)), contents.back());
  }
  for (const size_t files : {size_t{1}, size_t{17}, size_t{53}}) {
    for (const size_t depth : {size_t{3}, size_t{40}, size_t{128}}) {
      SCOPED_TRACE(std::to_string(files) + " files, depth " + std::to_string(depth));
      TReadAhead ahead(2, depth, /*max_bytes=*/1 << 20, /*size_limit=*/1 << 20);
      size_t submitted = 0;
      for (size_t taken = 0; taken < files; ++taken) {
        while (submitted < files && !ahead.Full()) {
          const std::string name = "f" + std::to_string(submitted++);
          ahead.Submit(nullptr, name, OpenFile(dir / name), 0, nullptr);
        }
        ASSERT_TRUE(ahead.FrontIs(nullptr, "f" + std::to_string(taken)));
        const ExaminedBytes got = ahead.TakeFront();
        ASSERT_EQ(got.outcome, Outcome::kRead);
        EXPECT_EQ(std::string(got.bytes.begin(), got.bytes.end()), contents[taken]);
      }
      EXPECT_EQ(ahead.TakeFront().outcome, Outcome::kDeferred);
      EXPECT_EQ(ahead.OpenFiles(), 0u);
    }
  }
}

class HookQueue : public platform::PlainMessageQueue {
 public:
  void ProcessMessages() override {
    if (hook) std::exchange(hook, nullptr)();
    PlainMessageQueue::ProcessMessages();
  }
  std::function<void()> hook;
};

// A stop while the walk waits for the file it reports: the line is dropped, the file that no
// helper began comes back kDeferred (read by the caller) instead of being waited for forever,
// files ready behind the one taken are dropped too, and the line serves a new walk afterwards.
TEST(ReadAhead, ClearWhileTheReportedFileIsAwaitedDropsTheLine) {
  TempDir dir;
  for (int i = 0; i < 6; ++i)
    WriteFile(dir / ("f" + std::to_string(i)), "bytes " + std::to_string(i));
  nerlo::testing::HeldThreads helpers;
  HookQueue queue;
  platform::InstallMessageQueue(&queue);
  {
    TReadAhead ahead(2, 8, 1 << 20, 1 << 20, helpers.Starter());
    for (int i = 0; i < 3; ++i) {
      const std::string name = "f" + std::to_string(i);
      ahead.Submit(nullptr, name, OpenFile(dir / name), 0, nullptr);
    }
    queue.hook = [&] { ahead.Clear(); };
    EXPECT_EQ(ahead.TakeFront().outcome, Outcome::kDeferred);
    EXPECT_FALSE(ahead.FrontIs(nullptr, "f1"));
    EXPECT_EQ(ahead.OpenFiles(), 0u);
    helpers.Release();

    // A new walk; the first file is taken, and the two read with it wait in the walk's hands
    // when the line is dropped.
    for (int i = 3; i < 6; ++i) {
      const std::string name = "f" + std::to_string(i);
      ahead.Submit(nullptr, name, OpenFile(dir / name), 0, nullptr);
    }
    ASSERT_TRUE(ahead.FrontIs(nullptr, "f3"));
    const ExaminedBytes third = ahead.TakeFront();
    EXPECT_EQ(std::string(third.bytes.begin(), third.bytes.end()), "bytes 3");
    ahead.Clear();
    EXPECT_FALSE(ahead.FrontIs(nullptr, "f4"));
    EXPECT_EQ(ahead.TakeFront().outcome, Outcome::kDeferred);
    ahead.Submit(nullptr, "f5", OpenFile(dir / "f5"), 0, nullptr);
    ASSERT_TRUE(ahead.FrontIs(nullptr, "f5"));
    const ExaminedBytes fifth = ahead.TakeFront();
    EXPECT_EQ(std::string(fifth.bytes.begin(), fifth.bytes.end()), "bytes 5");
  }
  platform::InstallMessageQueue(nullptr);
}

// A stop while the reported file is still being hashed: the helper lets go of it, so the walk
// must not wait for it; the file comes back kDeferred (or read, had the helper finished first),
// and the line serves the next walk.
TEST(ReadAhead, ClearWhileTheReportedFileIsHashedDoesNotWaitForIt) {
  TempDir dir;
  std::string big(4 << 20, 'x');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i >> 12);
  WriteFile(dir / "big", big);
  WriteFile(dir / "next", "next bytes");
  HookQueue queue;
  platform::InstallMessageQueue(&queue);
  for (int round = 0; round < 5; ++round) {
    TReadAhead ahead(1, 8, 16 << 20, 8 << 20);
    ahead.Submit(nullptr, "big", OpenFile(dir / "big"), 0, nullptr);
    queue.hook = [&] { ahead.Clear(); };
    const ExaminedBytes first = ahead.TakeFront();
    if (first.outcome == Outcome::kRead) {
      EXPECT_EQ(first.bytes.size(), big.size());
      EXPECT_EQ(first.md5_text, nerlo::testing::Md5Text(big));
    } else {
      EXPECT_EQ(first.outcome, Outcome::kDeferred);
    }
    queue.hook = nullptr;
    ahead.Submit(nullptr, "next", OpenFile(dir / "next"), 0, nullptr);
    ASSERT_TRUE(ahead.FrontIs(nullptr, "next"));
    const ExaminedBytes next = ahead.TakeFront();
    EXPECT_EQ(std::string(next.bytes.begin(), next.bytes.end()), "next bytes");
  }
  platform::InstallMessageQueue(nullptr);
}

}  // namespace
}  // namespace nerlo::scan
