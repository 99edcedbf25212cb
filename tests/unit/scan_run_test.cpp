#include "scan/scan_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/exceptions.h"
#include "platform/message_queue.h"
#include "sigdb/cipher.h"
#include "sigdb/file_search.h"
#include "sigdb/md5.h"
#include "tests/unit/os_test_util.h"
#include "tests/unit/scan_run_fixture.h"
#include "tests/unit/test_util.h"

namespace nerlo::scan {
namespace {

using namespace nerlo::scan::testing;  // NOLINT: the fixture and its helpers
using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;

TEST_F(ScanRunTest, CleanFileWritesPanelsOneThreeZeroAndCountsIt) {
  WriteFile(files_ / "clean.bin", Content(700, 1));
  Scan(files_ / "clean.bin", true);
  EXPECT_EQ(Run().ScannedCount(), 1);
  EXPECT_EQ(Run().InfectedCount(), 0);
  const std::vector<std::pair<int, std::string>> expected = {
      {1, "Scanned: 1"}, {3, "Removed: 0"}, {0, files_ / "clean.bin"}};
  EXPECT_EQ(view_.panel_writes, expected);
  EXPECT_TRUE(view_.rows.empty());
}

TEST_F(ScanRunTest, FileTooShortForWindowOneIsCountedButLeavesPanelsUntouched) {
  const std::string content = Content(431, 2);
  WriteFile(files_ / "short.bin", content);
  WriteDatabases({Encode(Md5Text(content))}, {}, {});
  Scan(files_ / "short.bin", true);
  EXPECT_EQ(Run().ScannedCount(), 1);
  EXPECT_EQ(Run().InfectedCount(), 1);  // the hash check still ran
  EXPECT_TRUE(view_.panel_writes.empty());
}

TEST_F(ScanRunTest, SizeLimitBoundary) {
  // Both files' hashes are in the database; only the smaller one may be examined.
  const std::string below = files_ / "below.bin", at = files_ / "at.bin";
  WriteFile(below, "");
  WriteFile(at, "");
  std::filesystem::resize_file(below, kSizeLimit - 1);
  std::filesystem::resize_file(at, kSizeLimit);
  WriteDatabases({Encode(Md5Text(std::string(kSizeLimit - 1, '\0'))),
                  Encode(Md5Text(std::string(kSizeLimit, '\0')))},
                 {}, {});
  Scan(below, true);
  EXPECT_EQ(Run().ScannedCount(), 1);
  EXPECT_EQ(Run().InfectedCount(), 1);

  view_.panel_writes.clear();
  Scan(at, true);
  EXPECT_EQ(Run().ScannedCount(), 0);
  EXPECT_EQ(Run().InfectedCount(), 0);
  const std::vector<std::pair<int, std::string>> expected = {
      {1, "Scanned: 0"}, {3, "Removed: 0"}, {0, at}};
  EXPECT_EQ(view_.panel_writes, expected);
}

TEST_F(ScanRunTest, EveryOccurrenceOfTheHashKeyIsOneDetection) {
  const std::string content = Content(800, 3);
  WriteFile(files_ / "f.bin", content);
  const std::string key = Encode(Md5Text(content));
  // Twice separated by a line end, once back to back with the second: three occurrences.
  WriteDatabases({key, key + key}, {}, {});
  settings_.delete_them = false;
  Scan(files_ / "f.bin", true);
  EXPECT_EQ(Run().InfectedCount(), 3);
  EXPECT_TRUE(view_.rows.empty());  // "Ignore them": no row, no panel 2
  EXPECT_EQ(view_.panels[2], "Infected: 0");
  EXPECT_EQ(view_.detections.size(), 3u);
}

TEST_F(ScanRunTest, DeleteThemWithTwoHeuristicHitsGivesOneThenHashRowsSayAlreadyDeleted) {
  const std::string content = "header MARKER-ONE middle MARKER-TWO " + Content(300, 4);
  const std::string path = files_ / "infected.txt";
  WriteFile(path, content);
  WriteDatabases({Encode(Md5Text(content))}, {}, {"MARKER-ONE", "MARKER-TWO"});
  settings_.delete_them = true;
  Scan(path, true);
  EXPECT_FALSE(std::filesystem::exists(path));
  const std::vector<Row> expected = {{path, "Infected!", "Deleted."},
                                     {path, "Infected!", "Already deleted."}};
  EXPECT_EQ(view_.rows, expected);
  EXPECT_EQ(Run().InfectedCount(), 2);
  EXPECT_EQ(Run().RemovedCount(), 1);
  EXPECT_EQ(view_.panels[2], "Infected: 2");
}

TEST_F(ScanRunTest, HeuristicsSwitchAndVerdictAreReadAtTheMomentOfUse) {
  // Long enough for every window, so that each file ends with its status panels.
  const std::string infected = "MARKER" + Content(700, 6);
  WriteFile(files_ / "a/1.txt", infected);
  WriteDatabases({}, {}, {"MARKER"});
  Scan(files_ / "a/1.txt", true);
  EXPECT_EQ(Run().InfectedCount(), 1);

  // Switch heuristics off once the first file has been handled: the second file is not
  // searched. Both files are in one folder, so the walk reports them one after the other.
  WriteFile(files_ / "b/1.txt", infected);
  WriteFile(files_ / "b/2.txt", infected);
  int files_done = 0;
  view_.on_panel = [&](int panel, const std::string&) {
    if (panel == 0 && ++files_done == 1) settings_.heuristics = false;
  };
  Scan(files_ / "b");
  EXPECT_EQ(Run().ScannedCount(), 2);
  EXPECT_EQ(Run().InfectedCount(), 1);
}

TEST_F(ScanRunTest, WindowHitsOfTwoWindowsGiveTwoDetectionsAndOneDeletion) {
  const std::string content = Content(700, 5);
  const std::string path = files_ / "w.bin";
  WriteFile(path, content);
  // Window 2 three times (one hit), window 6 once.
  WriteDatabases({},
                 {WindowEntry(content, 2), WindowEntry(content, 6), WindowEntry(content, 2),
                  WindowEntry(content, 2)},
                 {});
  settings_.delete_them = true;
  Scan(path, true);
  ASSERT_EQ(view_.rows.size(), 2u);
  std::vector<std::string> actions = {view_.rows[0].action, view_.rows[1].action};
  std::sort(actions.begin(), actions.end());
  EXPECT_EQ(actions, (std::vector<std::string>{"Already deleted.", "Deleted."}));
  EXPECT_EQ(Run().InfectedCount(), 2);
  EXPECT_EQ(Run().RemovedCount(), 1);
}

TEST_F(ScanRunTest, NoWindowLookupIsDroppedWhenWorkersAreBusy) {
  // Many small files in one folder, each with its window 1 in the database: every one of them
  // must be found although the walk outruns the workers.
  std::vector<std::string> entries;
  const int kFiles = 60;
  for (int i = 0; i < kFiles; ++i) {
    const std::string content = Content(500, 100 + i);
    WriteFile(files_ / ("f" + std::to_string(i)), content);
    entries.push_back(WindowEntry(content, 1));
  }
  WriteDatabases({}, entries, {});
  Scan(files_.path());
  EXPECT_EQ(Run().ScannedCount(), kFiles);
  EXPECT_EQ(Run().InfectedCount(), kFiles);
  EXPECT_EQ(view_.detections.size(), static_cast<size_t>(kFiles));
}

TEST_F(ScanRunTest, MissingHeuristicsDatabaseIsReportedButTheScanIsPrepared) {
  // Long enough for window 1, whose signature is in the window database.
  const std::string content = "MARKER" + Content(700, 12);
  WriteDatabases({}, {WindowEntry(content, 1)}, {"MARKER"});
  Run().FormShow();
  EXPECT_EQ(Run().Memo1.Count(), 1u);
  std::filesystem::remove(db_ / "heuristics.db");
  WriteFile(files_ / "x.txt", content);
  // Leaves a count behind to be zeroed.
  Run().HandleDetection(files_ / "x.txt", nullptr, "x.txt", {}, "hash");
  try {
    Run().FormShow();
    FAIL() << "no error raised";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message().rfind("Cannot open file \"" + (db_ / "heuristics.db") + "\". ", 0), 0u)
        << e.Message();
  }
  EXPECT_EQ(Run().InfectedCount(), 0);
  // The strings of the last successful load stay in use, and the windows are looked up.
  Run().ff.SetSearchScope(TSearchScope::ssCurrentDir);
  Run().ff.SetFileName(files_ / "x.txt");
  Run().ff.Start();
  Run().WaitForLookups();
  const std::vector<Row> expected = {{files_ / "x.txt", "heuristic 1", ""},
                                     {files_ / "x.txt", "window 1", ""}};
  EXPECT_EQ(std::vector<Row>(view_.detections.begin() + 1, view_.detections.end()), expected);
}

TEST_F(ScanRunTest, ASecondScanMatchesEveryHeuristicOnceAndStartsFromZero) {
  WriteFile(files_ / "x.txt", "MARKER");
  WriteDatabases({}, {}, {"MARKER"});
  Scan(files_ / "x.txt", true);
  Scan(files_ / "x.txt", true);
  EXPECT_EQ(Run().ScannedCount(), 1);
  EXPECT_EQ(Run().InfectedCount(), 1);
}

TEST_F(ScanRunTest, DeletionRefusesAFileThatIsNoLongerTheOneExamined) {
  settings_.delete_them = true;
  const std::string path = files_ / "swapped.bin";
  WriteFile(path, "first");
  platform::File original = platform::File::Open(path, platform::LinkPolicy::kNoFollow, nullptr);
  ASSERT_TRUE(original.IsOpen());
  const platform::FileStamp examined = original.Stamp();
  platform::DirectoryRef folder =
      platform::Directory::OpenRoot(files_.path(), platform::LinkPolicy::kNoFollow, nullptr);
  ASSERT_NE(folder, nullptr);
  // Someone replaces the file by another one of the same name (the original stays open, so
  // its inode cannot be reused for the newcomer).
  WriteFile(files_ / "other.bin", "second");
  std::filesystem::rename(files_ / "other.bin", path);

  EXPECT_FALSE(Run().HandleDetection(path, folder, "swapped.bin", examined, "hash"));
  EXPECT_EQ(nerlo::testing::ReadFile(path), "second");
  ASSERT_EQ(view_.rows.size(), 1u);
  EXPECT_EQ(view_.rows[0].action, "Not deleted. (changed since it was examined)");
  EXPECT_EQ(Run().InfectedCount(), 1);
  EXPECT_EQ(Run().RemovedCount(), 0);
  EXPECT_EQ(view_.panels[2], "Infected: 1");
}

TEST_F(ScanRunTest, DeletionGoesThroughTheFoldersHandleNeverThroughALinkInItsPlace) {
  settings_.delete_them = true;
  WriteFile(files_ / "sub/evil.bin", "x");
  WriteFile(files_ / "outside/evil.bin", "x");
  platform::DirectoryRef sub =
      platform::Directory::OpenRoot(files_ / "sub", platform::LinkPolicy::kNoFollow, nullptr);
  ASSERT_NE(sub, nullptr);
  platform::File file =
      platform::File::Open(files_ / "sub/evil.bin", platform::LinkPolicy::kNoFollow, nullptr);
  ASSERT_TRUE(file.IsOpen());
  // The examined folder moves away and a link to another folder takes its name.
  std::filesystem::rename(files_ / "sub", files_ / "moved");
  std::filesystem::create_directory_symlink(files_ / "outside", files_ / "sub");
  EXPECT_TRUE(
      Run().HandleDetection(files_ / "sub/evil.bin", sub, "evil.bin", file.Stamp(), "hash"));
  EXPECT_FALSE(std::filesystem::exists(files_ / "moved/evil.bin"));
  EXPECT_TRUE(std::filesystem::exists(files_ / "outside/evil.bin"));
  EXPECT_EQ(view_.rows.at(0).action, "Deleted.");
}

TEST_F(ScanRunTest, VanishedFileIsReportedNotCountedAndTheWalkGoesOn) {
  WriteFile(files_ / "d/a.txt", "MARKER");
  WriteFile(files_ / "d/b.txt", "MARKER");
  WriteDatabases({}, {}, {"MARKER"});
  // Read when reported: a file read ahead was opened when the walk listed it, and what
  // vanishes after that was still read.
  Run().SetReadAheadThreads(0);
  // The first file the walk reports disappears before it is examined.
  std::string removed;
  Run().ff.OnMatch = [&](TFileFind& sender) {
    if (removed.empty()) {
      removed = sender.LastMatch();
      std::filesystem::remove(removed);
    }
    Run().ffMatch(sender);
  };
  Scan(files_ / "d");
  EXPECT_EQ(Run().ScannedCount(), 1);
  EXPECT_EQ(Run().InfectedCount(), 1);
  EXPECT_EQ(Run().NotExaminedCount(), 1);
  ASSERT_EQ(view_.not_examined.size(), 1u);
  EXPECT_EQ(view_.not_examined[0].first, removed);
  EXPECT_EQ(view_.not_examined[0].second, platform::ErrorText(ENOENT));
}

TEST_F(ScanRunTest, EachExaminedFileIsOpenedAndReadOnceForEveryCheck) {
  const std::string content = "MARKER " + Content(700, 7);
  WriteFile(files_ / "f.bin", content);
  WriteDatabases({Encode(Md5Text(content))}, {WindowEntry(content, 3)},
                 {"absent-1", "MARKER", "absent-2"});
  nerlo::testing::InotifyWatch opens(files_.path(), IN_OPEN);
  nerlo::testing::InotifyWatch reads(files_.path(), IN_ACCESS);
  ASSERT_TRUE(opens.ok() && reads.ok());
  Scan(files_ / "f.bin", true);
  EXPECT_EQ(opens.Drain("f.bin"), 1);
  EXPECT_EQ(reads.Drain("f.bin"), 1);  // the read that finds the end returns nothing
  // Every check saw the bytes, in the order of the pipeline.
  const std::vector<Row> expected = {{files_ / "f.bin", "heuristic 2", ""},
                                     {files_ / "f.bin", "hash", ""},
                                     {files_ / "f.bin", "window 3", ""}};
  EXPECT_EQ(view_.detections, expected);
  EXPECT_EQ(Run().ScannedCount(), 1);
}

TEST_F(ScanRunTest, DetectionThatDeletesTheFileEndsItsRemainingChecksButTheHash) {
  const std::string content = "ONE TWO " + Content(700, 8);
  const std::string path = files_ / "f.bin";
  WriteFile(path, content);
  WriteDatabases({Encode(Md5Text(content))}, {WindowEntry(content, 1)}, {"ONE", "TWO"});
  settings_.delete_them = true;
  Scan(path, true);
  const std::vector<Row> expected = {{path, "heuristic 1", "Deleted."},
                                     {path, "hash", "Already deleted."}};
  EXPECT_EQ(view_.detections, expected);
  EXPECT_EQ(Run().RemovedCount(), 1);
  // No window was looked up, so the file's status panels were not written either.
  EXPECT_EQ(view_.panels[0], "IDLE");
}

// A queue that runs one hook at the first pump and counts every pump.
class HookQueue : public platform::PlainMessageQueue {
 public:
  void ProcessMessages() override {
    ++pumps;
    if (hook) std::exchange(hook, nullptr)();
    PlainMessageQueue::ProcessMessages();
  }
  int pumps = 0;
  std::function<void()> hook;
};

// A file growing to the limit, on both read paths: the growth lands between two pieces of a
// read on this thread, or after a file read ahead was opened and before a helper reads it.
TEST_F(ScanRunTest, FileGrowingToTheLimitWhileItIsReadIsReportedNotExamined) {
  const std::string path = files_ / "growing.log";
  const std::string content = Content(kSizeLimit - 1000, 9);
  WriteDatabases({Encode(Md5Text(content))}, {}, {});
  const auto grow = [&] {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << std::string(4000, 'g');
  };
  const std::vector<std::pair<std::string, std::string>> expected = {
      {path, "grew to the size limit while it was read"}};
  for (const bool ahead : {false, true}) {
    SCOPED_TRACE(ahead ? "read ahead" : "read inline");
    WriteFile(path, content);
    view_.not_examined.clear();
    HookQueue queue;
    if (ahead) {
      Run().SetReadAheadThreads(kReadAheadThreads);
      Run().OnFileOpened = [&](const std::string& name) {
        if (name == "growing.log") grow();
      };
    } else {
      Run().SetReadAheadThreads(0);
      Run().OnFileOpened = nullptr;
      queue.hook = grow;  // the first pump comes after the first mebibyte read
      platform::InstallMessageQueue(&queue);
    }
    Scan(path, true);
    platform::InstallMessageQueue(&queue_);
    EXPECT_EQ(Run().ScannedCount(), 0);
    EXPECT_EQ(Run().InfectedCount(), 0);
    EXPECT_EQ(Run().TooLargeCount(), 0);
    EXPECT_EQ(view_.not_examined, expected);
  }
}

TEST_F(ScanRunTest, FileShrinkingWhileItIsReadIsExaminedAsRead) {
  const std::string path = files_ / "shrinking.bin";
  const std::string content = Content(3 * 1024 * 1024, 10);
  WriteFile(path, content);
  // The first piece read is one mebibyte; the file is cut short after it.
  const std::string first_piece = content.substr(0, 1024 * 1024);
  WriteDatabases({Encode(Md5Text(first_piece))}, {WindowEntry(first_piece, 8)}, {});
  Run().SetReadAheadThreads(0);  // the hook cuts the file between two pieces of the read
  HookQueue queue;
  platform::InstallMessageQueue(&queue);
  queue.hook = [&] { std::filesystem::resize_file(path, 1000); };
  Scan(path, true);
  platform::InstallMessageQueue(&queue_);
  EXPECT_EQ(Run().ScannedCount(), 1);
  ASSERT_EQ(view_.detections.size(), 2u);
  EXPECT_EQ(view_.detections[0].diagnostic, "hash");
  EXPECT_EQ(view_.detections[1].diagnostic, "window 8");
  EXPECT_TRUE(view_.not_examined.empty());
}

TEST_F(ScanRunTest, MessagesArePumpedThroughoutALargeFile) {
  const std::string path = files_ / "large.bin";
  WriteFile(path, Content(kSizeLimit - 1, 11));
  WriteDatabases({}, {}, {"absent-1", "absent-2", "absent-3", "absent-4"});
  // On this thread; while a helper reads ahead, the waiting thread runs messages every few
  // milliseconds instead.
  Run().SetReadAheadThreads(0);
  HookQueue queue;
  platform::InstallMessageQueue(&queue);
  Run().FormShow();
  queue.pumps = 0;
  Scan(path, true);
  platform::InstallMessageQueue(&queue_);
  // The fingerprint and the pass for the strings are twice 5 MiB of work, with a pump after
  // every 256 KiB; the read pumps after every mebibyte.
  EXPECT_GE(queue.pumps, 2 * 20 + 4);
  EXPECT_EQ(Run().ScannedCount(), 1);
}

TEST_F(ScanRunTest, UnreadableFileIsReportedNotCountedAsAnUnprivilegedUser) {
  WriteFile(files_ / "d/secret", "MARKER");
  WriteFile(files_ / "d/open", "MARKER");
  ASSERT_EQ(chmod(files_.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod((files_ / "d/secret").c_str(), 0600), 0);
  ASSERT_EQ(chmod(db_.path().c_str(), 0755), 0);
  WriteDatabases({}, {}, {"MARKER"});
  const std::string failure = nerlo::testing::RunAsNobody([&]() -> std::string {
    platform::PlainMessageQueue queue;
    platform::InstallMessageQueue(&queue);
    RecordingView view;
    Settings settings;
    std::string result;
    {
      TScanRun run(view, settings, db_.path() + "/");
      WalkFolder(run, files_ / "d");
      if (run.ScannedCount() != 1) result += "scanned " + std::to_string(run.ScannedCount());
      if (run.InfectedCount() != 1) result += " infected " + std::to_string(run.InfectedCount());
      const std::vector<std::pair<std::string, std::string>> expected = {
          {files_ / "d/secret", platform::ErrorText(EACCES)}};
      if (view.not_examined != expected) result += " not examined wrong";
    }
    platform::InstallMessageQueue(nullptr);
    return result;
  });
  EXPECT_EQ(failure, "");
}

TEST_F(ScanRunTest, WaitingLookupsKeepTheDescriptorBoundAndStillDeleteTheirFiles) {
  // More folders than handles may stay open, each holding one file found by its window 1:
  // the deletions come from lookups, some while the walk is far away in other folders.
  const int kFolders = platform::kMaxOpenDirectories + 200;
  std::vector<std::string> entries;
  for (int i = 0; i < kFolders; ++i) {
    const std::string content = Content(500, 300 + i);
    WriteFile(files_ / ("d" + std::to_string(i) + "/f"), content);
    entries.push_back(WindowEntry(content, 1));
  }
  WriteDatabases({}, entries, {});
  settings_.delete_them = true;
  int most = 0;
  view_.on_panel = [&](int panel, const std::string&) {
    if (panel == kPanelCurrentFile) most = std::max(most, nerlo::testing::OpenDescriptorCount());
  };
  Scan(files_.path());
  EXPECT_EQ(Run().ScannedCount(), kFolders);
  EXPECT_EQ(Run().RemovedCount(), kFolders);
  for (int i = 0; i < kFolders; ++i)
    EXPECT_FALSE(std::filesystem::exists(files_ / ("d" + std::to_string(i) + "/f"))) << i;
  EXPECT_LE(most, 512);
  EXPECT_LE(platform::Directory::OpenHandleCount(), platform::kMaxOpenDirectories);
}

// A tree with detections of every kind, scanned with files read ahead on helper threads and
// read on this thread when reported: the same rows, detections, reports and counters.
TEST_F(ScanRunTest, ReadingAheadChangesNoResult) {
  std::vector<std::string> hashes, windows;
  for (int i = 0; i < 60; ++i) {
    const std::string dir = files_ / ("d" + std::to_string(i % 4));
    std::string content = Content(300 + 97 * i, 100 + i);
    if (i % 5 == 0) content += "MARKER";
    if (i % 7 == 0) content.replace(10, 6, "SECOND");
    if (i % 6 == 0) hashes.push_back(Encode(Md5Text(content)));
    if (i % 9 == 0 && content.size() > 662) windows.push_back(WindowEntry(content, 1 + i % 8));
    WriteFile(dir + "/f" + std::to_string(i), content);
  }
  WriteFile(files_ / "big.bin", Content(kSizeLimit, 1));
  WriteDatabases(hashes, windows, {"MARKER", "absent", "SECOND", "MARKER"});

  struct Outcome {
    std::vector<Row> rows, detections, windows;
    std::vector<std::pair<std::string, std::string>> not_examined;
    int32_t scanned, infected, removed, too_large;
  };
  auto scan_with = [&](size_t threads, bool delete_them) {
    TempDir copy;
    std::filesystem::copy(files_.path(), copy.path(),
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing);
    RecordingView view;
    Settings settings;
    settings.delete_them = delete_them;
    Outcome out;
    {
      TScanRun run(view, settings, db_.path() + "/");
      run.SetReadAheadThreads(threads);
      WalkFolder(run, copy.path());
      out = {{},
             {},
             {},
             view.not_examined,
             run.ScannedCount(),
             run.InfectedCount(),
             run.RemovedCount(),
             run.TooLargeCount()};
    }
    // Window hits come back from the workers in any order; everything else in file order.
    for (Row row : view.detections) {
      row.location = row.location.substr(copy.path().size());
      (row.diagnostic.rfind("window", 0) == 0 ? out.windows : out.detections).push_back(row);
    }
    for (Row row : view.rows) {
      row.location = row.location.substr(copy.path().size());
      out.rows.push_back(row);
    }
    std::sort(out.windows.begin(), out.windows.end(), [](const Row& a, const Row& b) {
      return std::tie(a.location, a.diagnostic) < std::tie(b.location, b.diagnostic);
    });
    std::sort(out.rows.begin(), out.rows.end(), [](const Row& a, const Row& b) {
      return std::tie(a.location, a.diagnostic, a.action) <
             std::tie(b.location, b.diagnostic, b.action);
    });
    return out;
  };
  for (bool delete_them : {false, true}) {
    SCOPED_TRACE(delete_them ? "Delete them" : "Ignore them");
    const Outcome ahead = scan_with(2, delete_them);
    const Outcome inline_read = scan_with(0, delete_them);
    EXPECT_EQ(ahead.detections, inline_read.detections);
    EXPECT_EQ(ahead.windows, inline_read.windows);
    EXPECT_EQ(ahead.rows, inline_read.rows);
    EXPECT_EQ(ahead.not_examined, inline_read.not_examined);
    EXPECT_EQ(ahead.scanned, 60);
    EXPECT_EQ(inline_read.scanned, 60);
    EXPECT_EQ(ahead.infected, inline_read.infected);
    EXPECT_GT(ahead.infected, 20);
    EXPECT_EQ(ahead.removed, inline_read.removed);
    EXPECT_EQ(ahead.too_large, 1);
    EXPECT_EQ(inline_read.too_large, 1);
  }
}

// Seven files, every byte window of each in the window database, three of them removed under
// "Delete them" by their first detection (a heuristic string or their hash). Whatever file is
// walked before a removed one (long enough for every window, or short), and whether files are
// read ahead or when reported, the detections are those of the report-only scan less what
// follows a removal: a removed file never gets the window hits of the file before it.
TEST_F(ScanRunTest, AFileRemovedByADetectionGetsNoWindowHitsOfAnotherFile) {
  struct Planned {
    size_t length;
    bool marker, hash;
  };
  const std::vector<Planned> plan = {{700, false, false}, {700, true, false},  {500, false, false},
                                     {800, false, true},  {663, false, false}, {450, true, false},
                                     {900, false, false}};
  std::vector<std::string> contents, hashes, windows;
  for (size_t i = 0; i < plan.size(); ++i) {
    std::string content = Content(plan[i].length, 40 + static_cast<int>(i));
    if (plan[i].marker) content.replace(0, 6, "MARKER");
    if (plan[i].hash) hashes.push_back(Encode(Md5Text(content)));
    for (int n = 1; n <= 8; ++n)
      if (content.size() > static_cast<size_t>(kByteWindows[n - 1].last))
        windows.push_back(WindowEntry(content, n));
    contents.push_back(content);
  }
  WriteDatabases(hashes, windows, {"MARKER"});

  // Scans a fresh folder whose files get the plan's contents in walk order (reversed or not);
  // returns "index check" of every detection, sorted, and how many files were deleted.
  int folders = 0;
  auto scan = [&](bool reversed, size_t threads, bool delete_them, int* deleted) {
    const std::string dir = files_ / ("s" + std::to_string(folders++));
    for (size_t i = 0; i < plan.size(); ++i) WriteFile(dir + "/f" + std::to_string(i), "");
    // The listing order of the folder is the order of the walk.
    std::vector<std::string> order;
    RecordingView view;
    Settings settings;
    settings.delete_them = delete_them;
    TScanRun run(view, settings, db_.path() + "/");
    run.SetReadAheadThreads(threads);
    run.ff.OnMatch = [&](TFileFind& sender) { order.push_back(sender.LastName()); };
    WalkFolder(run, dir);
    EXPECT_EQ(order.size(), plan.size());
    if (reversed) std::reverse(order.begin(), order.end());
    std::map<std::string, size_t> index;
    for (size_t i = 0; i < order.size(); ++i) {
      WriteFile(dir + "/" + order[i], contents[i]);
      index[dir + "/" + order[i]] = i;
    }
    run.ff.OnMatch = [&](TFileFind& sender) { run.ffMatch(sender); };
    WalkFolder(run, dir);
    std::vector<std::string> found;
    for (const Row& row : view.detections)
      found.push_back(std::to_string(index.at(row.location)) + " " + row.diagnostic);
    std::sort(found.begin(), found.end());
    *deleted = run.RemovedCount();
    return found;
  };

  for (const bool reversed : {false, true}) {
    for (const size_t threads : {size_t{2}, size_t{0}}) {
      SCOPED_TRACE(std::string(reversed ? "reversed" : "in plan order") + ", " +
                   std::to_string(threads) + " read-ahead threads");
      int deleted = 0;
      const std::vector<std::string> reported = scan(reversed, threads, false, &deleted);
      EXPECT_EQ(deleted, 0);
      // 8 windows of 663 bytes or more, 3 of 500, 1 of 450; three heuristic or hash hits.
      EXPECT_EQ(reported.size(), 47u);
      std::vector<std::string> expected;
      for (const std::string& detection : reported) {
        const size_t i = static_cast<size_t>(std::stoi(detection));
        if (!(plan[i].marker || plan[i].hash) || detection.find("window") == std::string::npos)
          expected.push_back(detection);
      }
      EXPECT_EQ(scan(reversed, threads, true, &deleted), expected);
      EXPECT_EQ(expected.size(), 30u);
      EXPECT_EQ(deleted, 7);
    }
  }
}

// A stop leaves the files listed ahead unexamined: not counted, not reported, not deleted,
// and their handles closed.
TEST_F(ScanRunTest, FilesReadAheadAreNeverUsedOnceTheWalkHasStopped) {
  for (int i = 0; i < 20; ++i) WriteFile(files_ / ("d/f" + std::to_string(i)), "MARKER");
  WriteDatabases({}, {}, {"MARKER"});
  settings_.delete_them = true;
  Run().ff.OnMatch = [&](TFileFind& sender) {
    Run().ffMatch(sender);
    sender.Stop();
  };
  Scan(files_ / "d");
  EXPECT_EQ(Run().ScannedCount(), 1);
  EXPECT_EQ(Run().InfectedCount(), 1);
  EXPECT_EQ(Run().RemovedCount(), 1);
  size_t left = 0;
  for (const auto& entry : std::filesystem::directory_iterator(files_ / "d")) {
    (void)entry;
    ++left;
  }
  EXPECT_EQ(left, 19u);
  // A second scan of the same folder starts afresh: nothing of the first is taken for it.
  Run().ff.OnMatch = [&](TFileFind& sender) { Run().ffMatch(sender); };
  settings_.delete_them = false;
  Scan(files_ / "d");
  EXPECT_EQ(Run().ScannedCount(), 19);
  EXPECT_EQ(Run().InfectedCount(), 19);
}

// The heuristics switch is read when the file is examined, not when it was read ahead.
TEST_F(ScanRunTest, HeuristicsSwitchTurnedOnDuringTheWalkTakesEffectFromTheNextFile) {
  for (int i = 0; i < 12; ++i) WriteFile(files_ / ("d/f" + std::to_string(i)), "MARKER");
  WriteDatabases({}, {}, {"MARKER"});
  settings_.heuristics = false;
  int reported = 0;
  Run().ff.OnMatch = [&](TFileFind& sender) {
    Run().ffMatch(sender);
    if (++reported == 3) settings_.heuristics = true;
  };
  Scan(files_ / "d");
  EXPECT_EQ(Run().ScannedCount(), 12);
  EXPECT_EQ(Run().InfectedCount(), 9);
}

// A window signature that stands at very many places is not looked up through the index but
// by its worker; it still gives one detection per window.
TEST_F(ScanRunTest, WindowLookupsTheIndexCannotAnswerGoToTheWorkers) {
  const std::string content = Content(800, 21);
  std::vector<std::string> windows(6000, WindowEntry(content, 2));
  windows.push_back(WindowEntry(content, 5));
  WriteFile(files_ / "f.bin", content);
  WriteDatabases({}, windows, {});
  bool lookups_waited = false;
  Run().ff.OnMatch = [&](TFileFind& sender) {
    Run().ffMatch(sender);
    lookups_waited = lookups_waited || Run().LookupsPending();
  };
  Scan(files_ / "f.bin", true);
  ASSERT_EQ(view_.detections.size(), 2u);
  std::vector<std::string> checks = {view_.detections[0].diagnostic,
                                     view_.detections[1].diagnostic};
  std::sort(checks.begin(), checks.end());
  EXPECT_EQ(checks, (std::vector<std::string>{"window 2", "window 5"}));
  EXPECT_TRUE(lookups_waited);
  EXPECT_EQ(Run().InfectedCount(), 2);
}

// The verdict of a window lookup comes after the walk has gone on; a file written meanwhile,
// in place or removed and made again under its name, holds what was never examined and stays.
TEST_F(ScanRunTest, FileChangedBetweenItsReadAndTheVerdictIsNotDeleted) {
  settings_.delete_them = true;
  const std::string content = Content(800, 31);
  // An entry standing too often for the index: the lookup goes to a worker, and its hit is
  // handled when messages are processed, after the walk's event has returned.
  WriteDatabases({}, std::vector<std::string>(6000, WindowEntry(content, 3)), {});
  for (const char* name : {"in-place.bin", "made-again.bin"}) WriteFile(files_ / name, content);
  Run().ff.OnMatch = [&](TFileFind& sender) {
    Run().ffMatch(sender);
    const std::string path = sender.LastMatch();
    if (sender.LastName() == "made-again.bin") std::filesystem::remove(path);
    std::ofstream out(path, std::ios::binary | std::ios::out | std::ios::trunc);
    out << "a clean file, written after the scan read it";
  };
  Scan(files_.path());
  ASSERT_EQ(view_.rows.size(), 2u);
  for (const Row& row : view_.rows)
    EXPECT_EQ(row.action, "Not deleted. (changed since it was examined)") << row.location;
  EXPECT_EQ(Run().RemovedCount(), 0);
  for (const char* name : {"in-place.bin", "made-again.bin"})
    EXPECT_EQ(nerlo::testing::ReadFile(files_ / name),
              "a clean file, written after the scan read it");
}

// Lookup threads that cannot be started: every lookup runs on the scan's own thread, every
// hit is still reported, the view hears of it once, and the scan run ends without waiting
// for a lookup that never started.
TEST_F(ScanRunTest, LookupThreadsThatCannotStartLeaveTheLookupsToTheScansThread) {
  const std::string content = Content(800, 33);
  // Entries standing too often for the index: windows 1 and 2 go to the workers.
  std::vector<std::string> windows(6000, WindowEntry(content, 1));
  windows.insert(windows.end(), 6000, WindowEntry(content, 2));
  WriteDatabases({}, windows, {});
  WriteFile(files_ / "a.bin", content);
  WriteFile(files_ / "b.bin", content);
  struct Warnings : RecordingView {
    void ScanWarning(const std::string& text) override { warnings.push_back(text); }
    std::vector<std::string> warnings;
  } view;
  auto run = std::make_unique<TScanRun>(view, settings_, db_.path() + "/");
  for (TWorker* worker : {&run->Worker1, &run->Worker2, &run->Worker3, &run->Worker4, &run->Worker5,
                          &run->Worker6, &run->Worker7, &run->Worker8}) {
    worker->SetThreadStarter([](std::function<void()>) -> std::thread {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
  }
  run->FormShow();
  run->ff.SetFileName(files_.path() + "/*.*");
  run->ff.Start();
  EXPECT_FALSE(run->LookupsPending());
  EXPECT_EQ(run->InfectedCount(), 4);
  EXPECT_EQ(view.detections.size(), 4u);
  ASSERT_EQ(view.warnings.size(), 1u);
  EXPECT_NE(view.warnings[0].find("lookup thread could not be started"), std::string::npos);
  run.reset();  // must return
}

// The clock of the databases' status checks, stopped, moved on by hand.
class StoppedClock {
 public:
  StoppedClock() {
    now_ns_ = 1'800'000'000'000'000'000;
    sigdb::TFileSearch::SetClockForTesting(&Now);
  }
  ~StoppedClock() { sigdb::TFileSearch::SetClockForTesting(nullptr); }
  StoppedClock(const StoppedClock&) = delete;
  StoppedClock& operator=(const StoppedClock&) = delete;
  void Advance(int64_t ns) { now_ns_ += ns; }

 private:
  static int64_t Now() { return now_ns_; }
  static inline int64_t now_ns_ = 0;
};

// The databases' status is taken at a scan's first lookup and again once kDatabaseRecheckNs
// have passed, not for every file: a database.db rewritten during a scan is seen by the first
// file looked up after that time, and by every file of the next scan.
TEST_F(ScanRunTest, DatabaseChangedDuringTheScanIsSeenOnceItsStatusIsCheckedAgain) {
  StoppedClock clock;
  const std::string content = Content(700, 21);
  for (int i = 0; i < 4; ++i) WriteFile(files_ / ("d/f" + std::to_string(i)), content);
  WriteDatabases({Encode(Md5Text("another file"))}, {}, {});
  Run().SetReadAheadThreads(0);  // each file is opened right before its lookups
  int opened = 0;
  Run().OnFileOpened = [&](const std::string&) {
    ++opened;
    if (opened == 2) WriteDatabases({Encode(Md5Text(content))}, {}, {});
    if (opened == 4) clock.Advance(kDatabaseRecheckNs);
  };
  Scan(files_ / "d");
  EXPECT_EQ(Run().ScannedCount(), 4);
  // Files 2 and 3 were looked up in what was read at file 1; file 4 after the new check.
  EXPECT_EQ(Run().InfectedCount(), 1);

  Scan(files_ / "d");
  EXPECT_EQ(Run().InfectedCount(), 4);

  // A clock set back is no reason to trust the status longer.
  WriteDatabases({Encode(Md5Text("another file"))}, {}, {});
  opened = 0;
  Run().OnFileOpened = [&](const std::string&) {
    if (++opened != 2) return;
    WriteDatabases({Encode(Md5Text(content))}, {}, {});
    clock.Advance(-1);
  };
  Scan(files_ / "d");
  EXPECT_EQ(Run().InfectedCount(), 3);
}

}  // namespace
}  // namespace nerlo::scan
