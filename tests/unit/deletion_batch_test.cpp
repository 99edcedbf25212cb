// Deletions that wait in a batch for one flush of the quarantine: the flush comes before any
// removal; a failed flush, a cancel or a kill leave every file in its place or in a complete
// entry; a scan's rows, their order and its counts are those of deletions one at a time.
#include "scan/deletion_batch.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "scan/quarantine.h"
#include "tests/unit/os_test_util.h"
#include "tests/unit/scan_run_fixture.h"
#include "tests/unit/test_util.h"

namespace nerlo::scan {
namespace {

using nerlo::testing::Names;
using nerlo::testing::ReadFile;
using nerlo::testing::StampOf;
using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;
using platform::DeleteOutcome;
namespace fs = std::filesystem;

int CountPrefixed(const std::string& dir, const std::string& prefix) {
  int n = 0;
  for (const std::string& name : Names(dir)) n += name.rfind(prefix, 0) == 0;
  return n;
}

std::string Bytes(int i) { return "infected file " + std::to_string(i) + std::string(3000, 'x'); }

class DeletionBatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = dir_ / "files";
    fs::create_directory(files_);
    quarantine_ = std::make_unique<Quarantine>(dir_ / "q");
    std::string error;
    ASSERT_TRUE(quarantine_->Open(&error)) << error;
    folder_ = platform::Directory::OpenRoot(files_, platform::LinkPolicy::kNoFollow, nullptr);
    ASSERT_NE(folder_, nullptr);
  }
  // Writes files f(first)..f(n-1) and adds their deletions to batch; each must wait.
  void AddFiles(DeletionBatch& batch, int n, int first = 0) {
    for (int i = first; i < n; ++i) {
      const std::string name = "f" + std::to_string(i);
      WriteFile(files_ + "/" + name, Bytes(i));
      const auto ended = batch.Add(quarantine_.get(), *folder_, name, StampOf(files_ + "/" + name),
                                   files_ + "/" + name, "hash");
      ASSERT_FALSE(ended.has_value()) << ended->result.reason;
    }
  }
  void ExpectAllInPlaceAndNothingKept(int n) {
    for (int i = 0; i < n; ++i)
      EXPECT_EQ(ReadFile(files_ + "/f" + std::to_string(i)), Bytes(i)) << i;
    EXPECT_EQ(CountPrefixed(files_, ".nerlo-delete-"), 0);
    EXPECT_TRUE(Names(dir_ / "q").empty()) << "no entry, temporary or marker left";
  }

  TempDir dir_;
  std::string files_;
  std::unique_ptr<Quarantine> quarantine_;
  platform::DirectoryRef folder_;
};

TEST_F(DeletionBatchTest, CopiesAreFlushedBeforeAnyFileIsRemoved) {
  DeletionBatch batch(DeletionLimits{4, 1 << 20, std::chrono::seconds(60)});
  int flushes = 0;
  quarantine_->SetFlushHook([&](std::string*) {
    ++flushes;
    // Every file of the batch is still whole under its hidden name, and its copy is written
    // but not yet published.
    EXPECT_EQ(CountPrefixed(files_, ".nerlo-delete-"), 4);
    EXPECT_EQ(CountPrefixed(dir_ / "q", ".tmp-"), 4);
    EXPECT_EQ(CountPrefixed(dir_ / "q", ".pending-"), 1);
    return true;
  });
  AddFiles(batch, 4);
  EXPECT_TRUE(batch.Full());
  EXPECT_EQ(flushes, 0) << "nothing is flushed before the batch is finished";
  const std::vector<KeptDeletion> done = batch.Finish();
  EXPECT_EQ(flushes, 1);
  ASSERT_EQ(done.size(), 4u);
  std::vector<QuarantineRecord> records;
  std::string error;
  ASSERT_TRUE(quarantine_->List(&records, &error));
  ASSERT_EQ(records.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(done[i].result.outcome, DeleteOutcome::kDeleted) << done[i].result.reason;
    std::string bytes;
    QuarantineRecord record;
    ASSERT_TRUE(quarantine_->ReadOriginal(done[i].id, &bytes, &record, &error)) << error;
    EXPECT_EQ(bytes, Bytes(i));
    EXPECT_EQ(record.original_path, files_ + "/f" + std::to_string(i));
  }
  EXPECT_TRUE(Names(files_).empty());
  EXPECT_EQ(CountPrefixed(dir_ / "q", "."), 0) << "no temporary or marker left";
  EXPECT_TRUE(batch.Empty());
}

TEST_F(DeletionBatchTest, FailedFlushLeavesEveryFileInPlaceWithTheReason) {
  DeletionBatch batch;
  quarantine_->SetFlushHook([](std::string* reason) {
    *reason = "cannot write to the quarantine: Input/output error";
    return false;
  });
  AddFiles(batch, 3);
  const std::vector<KeptDeletion> done = batch.Finish();
  ASSERT_EQ(done.size(), 3u);
  for (const KeptDeletion& d : done) {
    EXPECT_EQ(d.result.outcome, DeleteOutcome::kRefused);
    EXPECT_EQ(d.result.reason, "cannot write to the quarantine: Input/output error");
    EXPECT_TRUE(d.id.empty());
  }
  ExpectAllInPlaceAndNothingKept(3);
}

// A flush that waits until the test lets it end, and says on which thread it ran.
class HeldFlush {
 public:
  explicit HeldFlush(bool result = true) : result_(result) {}
  bool operator()(std::string* reason) {
    std::unique_lock<std::mutex> lock(mutex_);
    threads_.push_back(std::this_thread::get_id());
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
    if (!result_) *reason = "cannot write to the quarantine: Input/output error";
    return result_;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  // Waits until n flushes have begun.
  std::vector<std::thread::id> WaitForFlushes(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return threads_.size() >= n; });
    return threads_;
  }

 private:
  bool result_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool released_ = false;
  std::vector<std::thread::id> threads_;
};

void WaitUntilFlushEnded(const DeletionBatch& batch) {
  while (!batch.FlushEnded()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST_F(DeletionBatchTest, SealedBatchFlushesOnItsOwnThreadWhileTheNextOneFills) {
  DeletionBatch batch(DeletionLimits{2, 1 << 20, std::chrono::seconds(60)});
  auto flush = std::make_shared<HeldFlush>();
  quarantine_->SetFlushHook([flush](std::string* reason) { return (*flush)(reason); });
  AddFiles(batch, 2);
  ASSERT_TRUE(batch.Full());
  EXPECT_TRUE(batch.Seal().empty());
  const std::vector<std::thread::id> threads = flush->WaitForFlushes(1);
  EXPECT_NE(threads[0], std::this_thread::get_id());
  // While the flush has not ended, nothing of the sealed batch is removed, and the next
  // deletions join a batch of their own.
  EXPECT_FALSE(batch.FlushEnded());
  EXPECT_TRUE(batch.Collect().empty());
  AddFiles(batch, 3, 2);
  EXPECT_EQ(batch.Size(), 1u);
  for (const std::string& aside : Names(files_))
    EXPECT_TRUE(batch.Holds(StampOf(files_ + "/" + aside).identity)) << "sealed or not";
  EXPECT_EQ(CountPrefixed(files_, ".nerlo-delete-"), 3);
  flush->Release();
  WaitUntilFlushEnded(batch);
  const std::vector<KeptDeletion> first = batch.Collect();
  ASSERT_EQ(first.size(), 2u);
  std::string bytes, error;
  QuarantineRecord record;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(first[i].result.outcome, DeleteOutcome::kDeleted) << first[i].result.reason;
    ASSERT_TRUE(quarantine_->ReadOriginal(first[i].id, &bytes, &record, &error)) << error;
    EXPECT_EQ(bytes, Bytes(i)) << "outcomes in the order of the Adds";
  }
  EXPECT_EQ(CountPrefixed(files_, ".nerlo-delete-"), 1) << "f2 waits for a flush of its own";
  EXPECT_EQ(CountPrefixed(dir_ / "q", ".pending-"), 1) << "only f2's marker is left";
  const std::vector<KeptDeletion> rest = batch.Finish();
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].result.outcome, DeleteOutcome::kDeleted);
  EXPECT_EQ(flush->WaitForFlushes(2).size(), 2u);
  EXPECT_TRUE(Names(files_).empty());
  EXPECT_EQ(CountPrefixed(dir_ / "q", "."), 0) << "no temporary or marker left";
}

TEST_F(DeletionBatchTest, FailedFlushGivesUpTheDeletionsAddedWhileItRan) {
  DeletionBatch batch(DeletionLimits{2, 1 << 20, std::chrono::seconds(60)});
  auto flush = std::make_shared<HeldFlush>(false);
  quarantine_->SetFlushHook([flush](std::string* reason) { return (*flush)(reason); });
  AddFiles(batch, 2);
  batch.Seal();
  flush->WaitForFlushes(1);
  // The copy of f2 is written while the failing flush runs: the failure may be its own.
  AddFiles(batch, 3, 2);
  flush->Release();
  const std::vector<KeptDeletion> done = batch.Finish();
  ASSERT_EQ(done.size(), 3u);
  for (const KeptDeletion& d : done) {
    EXPECT_EQ(d.result.outcome, DeleteOutcome::kRefused);
    EXPECT_EQ(d.result.reason, "cannot write to the quarantine: Input/output error");
  }
  EXPECT_EQ(flush->WaitForFlushes(1).size(), 1u) << "f2 is given up, not flushed alone";
  ExpectAllInPlaceAndNothingKept(3);
}

TEST_F(DeletionBatchTest, FlushWithoutAThreadRunsAtOnceAndADestroyedBatchWaitsForItsFlush) {
  {
    DeletionBatch batch({}, [](std::function<void()>) -> std::thread {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    std::thread::id ran_on;
    quarantine_->SetFlushHook([&](std::string*) {
      ran_on = std::this_thread::get_id();
      return true;
    });
    AddFiles(batch, 2);
    EXPECT_TRUE(batch.Seal().empty());
    EXPECT_EQ(ran_on, std::this_thread::get_id());
    EXPECT_TRUE(batch.FlushEnded());
    const std::vector<KeptDeletion> done = batch.Collect();
    ASSERT_EQ(done.size(), 2u);
    EXPECT_TRUE(Names(files_).empty());
    std::string error;
    for (const KeptDeletion& d : done) EXPECT_TRUE(quarantine_->Remove(d.id, &error)) << error;
  }
  {
    auto flush = std::make_shared<HeldFlush>();
    quarantine_->SetFlushHook([flush](std::string* reason) { return (*flush)(reason); });
    std::thread releaser;
    {
      DeletionBatch batch;
      AddFiles(batch, 2);
      batch.Seal();
      flush->WaitForFlushes(1);
      releaser = std::thread([flush] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        flush->Release();
      });
    }  // the batch is cancelled: it waits for the flush, then gives the files their names back
    releaser.join();
    ExpectAllInPlaceAndNothingKept(2);
  }
}

TEST_F(DeletionBatchTest, CancelledOrDestroyedBatchGivesEveryFileItsNameBack) {
  {
    DeletionBatch batch;
    AddFiles(batch, 3);
    const std::vector<KeptDeletion> done = batch.Abandon("the scan was stopped");
    ASSERT_EQ(done.size(), 3u);
    for (const KeptDeletion& d : done) EXPECT_EQ(d.result.reason, "the scan was stopped");
  }
  ExpectAllInPlaceAndNothingKept(3);
  {
    DeletionBatch batch;
    AddFiles(batch, 2);
  }
  ExpectAllInPlaceAndNothingKept(2);
}

TEST_F(DeletionBatchTest, FileChangedOrReplacedWhileWaitingIsNotRemoved) {
  DeletionBatch batch;
  AddFiles(batch, 2);
  // f0 is written through its hidden name, and a clean file is renamed over f1's hidden name:
  // neither is what was examined and kept.
  std::vector<std::string> aside;
  for (const std::string& name : Names(files_)) aside.push_back(files_ + "/" + name);
  ASSERT_EQ(aside.size(), 2u);
  std::string changed, replaced;
  for (const std::string& path : aside) (ReadFile(path) == Bytes(0) ? changed : replaced) = path;
  WriteFile(changed, "rewritten");
  WriteFile(dir_ / "clean", "clean");
  fs::rename(dir_ / "clean", replaced);
  const std::vector<KeptDeletion> done = batch.Finish();
  ASSERT_EQ(done.size(), 2u);
  for (const KeptDeletion& d : done) {
    EXPECT_EQ(d.result.outcome, DeleteOutcome::kRefused);
    EXPECT_EQ(d.result.reason, "changed since it was examined");
  }
  EXPECT_EQ(ReadFile(files_ + "/f0"), "rewritten");
  EXPECT_EQ(ReadFile(files_ + "/f1"), "clean");
  std::vector<QuarantineRecord> records;
  std::string error;
  ASSERT_TRUE(quarantine_->List(&records, &error));
  EXPECT_TRUE(records.empty()) << "copies of files not deleted are dropped";
}

TEST_F(DeletionBatchTest, LimitsOfFilesBytesAgeAndQuotaRoom) {
  static DeletionBatch::Clock::time_point now{};
  DeletionBatch batch(DeletionLimits{10, 8000, std::chrono::milliseconds(500)});
  batch.SetClock([] { return now; });
  EXPECT_FALSE(batch.Due());
  AddFiles(batch, 2);  // 2 x ~3 KB
  EXPECT_FALSE(batch.Full());
  EXPECT_TRUE(batch.Fits(quarantine_.get(), 1000));
  EXPECT_FALSE(batch.Fits(quarantine_.get(), 3000)) << "beyond the bytes limit";
  EXPECT_FALSE(batch.Fits(nullptr, 10)) << "another quarantine";
  now += std::chrono::milliseconds(499);
  EXPECT_FALSE(batch.Due());
  now += std::chrono::milliseconds(1);
  EXPECT_TRUE(batch.Due());
  AddFiles(batch, 1);  // a later deletion does not make the batch younger
  EXPECT_TRUE(batch.Due());
  batch.Finish();
  EXPECT_FALSE(batch.Due());
}

TEST(DeletionBatchQuota, EntriesWaitingAreNeverRemovedToMakeRoom) {
  TempDir dir;
  fs::create_directory(dir / "files");
  QuarantineSettings settings;
  settings.max_bytes = 1 << 20;
  Quarantine q(dir / "q", settings);
  std::string error;
  ASSERT_TRUE(q.Open(&error));
  platform::DirectoryRef folder =
      platform::Directory::OpenRoot(dir / "files", platform::LinkPolicy::kNoFollow, nullptr);
  DeletionBatch batch;
  for (int i = 0; i < 2; ++i) {
    const std::string path = dir / ("files/f" + std::to_string(i));
    WriteFile(path, std::string(400000, static_cast<char>('a' + i)));
    ASSERT_TRUE(batch.Fits(&q, 400000));
    ASSERT_FALSE(batch.Add(&q, *folder, "f" + std::to_string(i), StampOf(path), path, "hash"));
  }
  // A third would need the room of a waiting one: the batch must be finished first.
  EXPECT_FALSE(batch.Fits(&q, 400000));
  EXPECT_EQ(batch.Finish().size(), 2u);
  EXPECT_TRUE(batch.Fits(&q, 400000));
  const std::string path = dir / "files/f2";
  WriteFile(path, std::string(400000, 'c'));
  ASSERT_FALSE(batch.Add(&q, *folder, "f2", StampOf(path), path, "hash"));
  const std::vector<KeptDeletion> done = batch.Finish();
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0].result.outcome, DeleteOutcome::kDeleted) << done[0].result.reason;
  std::vector<QuarantineRecord> records;
  ASSERT_TRUE(q.List(&records, &error));
  EXPECT_EQ(records.size(), 2u) << "the oldest published entry made room";
  EXPECT_TRUE(Names(dir / "files").empty());
}

// Kill trials of a batch of files: killed at any step, each file is afterwards in its place or
// in a complete entry that restores it, never neither.
std::atomic<int> steps_left{0};
void KillAtStep(const char*) {
  if (--steps_left == 0) raise(SIGKILL);
}
int steps_seen = 0;
void CountStep(const char*) { ++steps_seen; }

void DeleteBatchOf(Quarantine& q, const std::string& files, int n) {
  platform::DirectoryRef folder =
      platform::Directory::OpenRoot(files, platform::LinkPolicy::kNoFollow, nullptr);
  DeletionBatch batch;
  for (int i = 0; i < n; ++i) {
    const std::string name = "f" + std::to_string(i);
    batch.Add(&q, *folder, name, StampOf(files + "/" + name), files + "/" + name, "hash");
  }
  batch.Finish();
}

TEST(DeletionBatchFaults, KilledAtAnyStepEveryFileIsInPlaceOrInACompleteEntry) {
  const std::string base = fs::is_directory("/dev/shm") && access("/dev/shm", W_OK) == 0
                               ? std::string("/dev/shm")
                               : fs::temp_directory_path().string();
  TempDir dir(base);
  const std::string files = dir / "files", folder = dir / "q";
  fs::create_directory(files);
  constexpr int kFiles = 4;
  const auto write_files = [&] {
    for (int i = 0; i < kFiles; ++i)
      WriteFile(files + "/f" + std::to_string(i), Bytes(i) + std::string(150000, 'y'));
  };
  {
    Quarantine q(folder);
    std::string error;
    ASSERT_TRUE(q.Open(&error));
    q.SetStepHook(CountStep);
    write_files();
    DeleteBatchOf(q, files, kFiles);
    ASSERT_TRUE(Names(files).empty());
    fs::remove_all(folder);
  }
  ASSERT_GE(steps_seen, 6 * kFiles);
  std::mt19937 random(14);
  int in_place = 0, kept = 0;
  for (int trial = 0; trial < 120; ++trial) {
    write_files();
    const int kill_at = 1 + static_cast<int>(random() % static_cast<unsigned>(steps_seen));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Quarantine q(folder);
      std::string error;
      if (!q.Open(&error)) _exit(3);
      steps_left = kill_at;
      q.SetStepHook(KillAtStep);
      DeleteBatchOf(q, files, kFiles);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "trial " << trial << " step " << kill_at;
    Quarantine next(folder);
    std::string error;
    ASSERT_TRUE(next.Open(&error)) << error;
    std::vector<QuarantineRecord> records;
    ASSERT_TRUE(next.List(&records, &error));
    std::set<std::string> entries;
    for (const QuarantineRecord& r : records) {
      std::string bytes;
      QuarantineRecord full;
      ASSERT_TRUE(next.ReadOriginal(r.id, &bytes, &full, &error)) << error;
      entries.insert(full.original_path);
    }
    for (int i = 0; i < kFiles; ++i) {
      const std::string path = files + "/f" + std::to_string(i);
      const bool here = fs::exists(path);
      const bool entry = entries.count(path) > 0;
      EXPECT_NE(here, entry) << "trial " << trial << " step " << kill_at << " file " << i
                             << (here ? ": in place and kept" : ": lost");
      if (here) {
        EXPECT_EQ(ReadFile(path), Bytes(i) + std::string(150000, 'y'));
      }
      (here ? in_place : kept) += 1;
    }
    EXPECT_EQ(CountPrefixed(files, "."), 0) << "trial " << trial << ": left aside";
    EXPECT_EQ(CountPrefixed(folder, "."), 0) << "trial " << trial << ": left over";
    for (const std::string& name : Names(files)) fs::remove(files + "/" + name);
    fs::remove_all(folder);
  }
  EXPECT_GT(in_place, 0);
  EXPECT_GT(kept, 0);
}

// ---- The scan: rows, order and counts as with deletions one at a time ----------------------

using testing::Content;
using testing::Encode;
using testing::Md5Text;

// Records everything a scan run tells its view, in one sequence.
class LogView : public ScanView {
 public:
  explicit LogView(std::string root) : root_(std::move(root)) {}
  void AddResultRow(const std::string& location, const std::string& diagnostic,
                    const std::string& action) override {
    log.push_back("row " + Local(location) + " | " + diagnostic + " | " + action);
  }
  void SetPanelText(int panel, const std::string& text) override {
    log.push_back("panel " + std::to_string(panel) + " " + Local(text));
  }
  void DetectionReported(const std::string& path, std::string_view action,
                         std::string_view check) override {
    log.push_back("detection " + Local(path) + " " + std::string(action) + " " +
                  std::string(check));
  }
  void ResultRowKept(const std::string&) override { log.push_back("kept"); }
  void FileNotExamined(const std::string& path, const std::string& reason) override {
    log.push_back("not examined " + Local(path) + " " + reason);
  }
  std::string Local(const std::string& text) const {
    return text.rfind(root_, 0) == 0 ? text.substr(root_.size()) : text;
  }
  std::vector<std::string> log;

 private:
  std::string root_;
};

struct ScanOutcome {
  std::vector<std::string> log;
  int32_t scanned = 0, infected = 0, removed = 0, quarantined = 0;
  std::vector<size_t> rows_at_flush;
};

// Scans a fresh folder of infected (by a heuristic string, and by a hash listed twice), clean
// and too large files under "Delete them" with deletions waiting limit files at most.
ScanOutcome ScanDeleting(size_t limit, bool fail_flush = false, int stop_after = -1,
                         DeletionBatch::Clock::time_point (*clock)() = nullptr,
                         void (*on_open)() = nullptr) {
  platform::PlainMessageQueue queue;
  platform::InstallMessageQueue(&queue);
  TempDir db, dir;
  const std::string hashed = Content(5000, 99);
  testing::WriteDatabases(db.path(), {Encode(Md5Text(hashed)), Encode(Md5Text(hashed))}, {},
                          {"EVIL-MARK"});
  const std::string root = dir / "scan";
  fs::create_directories(root + "/sub");
  for (int i = 0; i < 20; ++i) {
    const std::string folder = root + (i % 3 == 0 ? "/sub" : "");
    if (i % 4 == 1) {
      WriteFile(folder + "/clean" + std::to_string(i), Content(3000, i));
    } else if (i % 7 == 3) {
      WriteFile(folder + "/hashed" + std::to_string(i), hashed);
    } else {
      WriteFile(folder + "/evil" + std::to_string(i), Content(2000, i) + "EVIL-MARK");
    }
  }
  WriteFile(root + "/large", std::string(kSizeLimit, 'z'));
  Quarantine quarantine(dir / "q");
  std::string error;
  EXPECT_TRUE(quarantine.Open(&error)) << error;
  LogView view(root);
  testing::Settings settings;
  settings.delete_them = true;
  ScanOutcome out;
  {
    TScanRun run(view, settings, db.path() + "/");
    run.SetQuarantine(&quarantine);
    run.SetDeletionLimits(DeletionLimits{limit, 32 << 20, std::chrono::hours(1)});
    if (clock != nullptr) {
      run.SetDeletionLimits(DeletionLimits{limit, 32 << 20, std::chrono::milliseconds(500)});
      run.SetDeletionClock(clock);
    }
    quarantine.SetFlushHook([&](std::string* reason) {
      out.rows_at_flush.push_back(static_cast<size_t>(std::count_if(
          view.log.begin(), view.log.end(), [](auto& l) { return l.rfind("row ", 0) == 0; })));
      // Every row shown so far that says "Deleted." is of a file that is gone.
      for (const std::string& line : view.log) {
        if (line.rfind("row ", 0) != 0 || line.find("| Deleted.") == std::string::npos) continue;
        const std::string path = root + line.substr(4, line.find(" |") - 4);
        EXPECT_FALSE(fs::exists(path)) << line;
      }
      if (!fail_flush) return true;
      *reason = "cannot write to the quarantine: No space left on device";
      return false;
    });
    int opened = 0;
    run.OnFileOpened = [&](const std::string&) {
      if (on_open != nullptr) on_open();
      if (++opened == stop_after) run.ff.Stop();
    };
    testing::WalkFolder(run, root);
    out.scanned = run.ScannedCount();
    out.infected = run.InfectedCount();
    out.removed = run.RemovedCount();
    out.quarantined = run.QuarantinedCount();
    run.SetQuarantine(nullptr);
  }
  out.log = view.log;
  // Nothing is left aside, and every file is in its place or deleted with an entry.
  int present = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().filename();
    EXPECT_NE(name.rfind(".nerlo-delete-", 0), 0u) << name;
    present += entry.is_regular_file();
  }
  std::vector<QuarantineRecord> records;
  EXPECT_TRUE(quarantine.List(&records, &error));
  EXPECT_EQ(static_cast<int32_t>(records.size()), out.quarantined);
  EXPECT_EQ(present + out.quarantined, 21);
  platform::InstallMessageQueue(nullptr);
  return out;
}

TEST(DeletionBatchScan, RowsOrderAndCountsAreThoseOfDeletionsOneAtATime) {
  const ScanOutcome one = ScanDeleting(1);
  EXPECT_EQ(one.scanned, 20);
  EXPECT_EQ(one.removed, 15);
  EXPECT_EQ(one.infected, 17) << "the hash listed twice is found twice in each hashed file";
  EXPECT_EQ(std::count(one.log.begin(), one.log.end(), "kept"), 15);
  for (size_t limit : {size_t{4}, size_t{64}}) {
    const ScanOutcome batched = ScanDeleting(limit);
    EXPECT_EQ(batched.log, one.log) << "limit " << limit;
    EXPECT_EQ(batched.removed, one.removed);
    EXPECT_EQ(batched.infected, one.infected);
    EXPECT_EQ(batched.quarantined, one.quarantined);
    EXPECT_EQ(batched.scanned, one.scanned);
    EXPECT_LT(batched.rows_at_flush.size(), one.rows_at_flush.size()) << "limit " << limit;
  }
}

TEST(DeletionBatchScan, FailedFlushSaysNotDeletedForEveryFileOfTheBatch) {
  const ScanOutcome failed = ScanDeleting(64, true);
  EXPECT_EQ(failed.removed, 0);
  EXPECT_EQ(failed.quarantined, 0);
  int refused = 0;
  for (const std::string& line : failed.log) {
    if (line.rfind("row ", 0) != 0) continue;
    EXPECT_EQ(line.find("Deleted."), std::string::npos) << line;
    refused += line.find(
                   "| Not deleted. (cannot write to the quarantine: No space left on "
                   "device)") != std::string::npos;
  }
  // The hashed files' second detection finds them moved back since (as one at a time): it
  // says "changed since it was examined".
  EXPECT_EQ(refused, 15);
  EXPECT_EQ(failed.log, ScanDeleting(1, true).log);
}

TEST(DeletionBatchScan, StoppedScanFinishesTheWaitingDeletions) {
  const ScanOutcome stopped = ScanDeleting(64, false, 7);
  EXPECT_GT(stopped.removed, 0);
  EXPECT_LT(stopped.scanned, 20);
  EXPECT_EQ(stopped.removed, stopped.quarantined);
  EXPECT_EQ(stopped.rows_at_flush.size(), 1u);
}

DeletionBatch::Clock::time_point scan_now{};
TEST(DeletionBatchScan, ADeletionWaitsNoLongerThanTheAgeLimit) {
  // A slow scan: 300 ms pass between two looks at the clock, so that a deletion is due at
  // the second look after it and no batch grows beyond two or three.
  const ScanOutcome slow = ScanDeleting(64, false, -1, [] {
    scan_now += std::chrono::milliseconds(300);
    return scan_now;
  });
  EXPECT_EQ(slow.removed, 15);
  EXPECT_GE(slow.rows_at_flush.size(), 6u);
}

}  // namespace
}  // namespace nerlo::scan
