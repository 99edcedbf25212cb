// The quarantine: keep, then delete; entries that restore byte for byte with mode and time;
// refusals that leave the file in place with the reason (full disk, no permission, quota);
// damaged entries; crashes at any step of a deletion; clean files swapped in meanwhile.
#include "scan/quarantine.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/quarantine_io.h"
#include "scan/deletion_batch.h"
#include "sigdb/crypto.h"
#include "sigdb/md5.h"
#include "tests/unit/os_test_util.h"
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

// A folder on a memory file system when there is one: the kill and swap trials flush
// hundreds of entries.
std::string FastBase() {
  return fs::is_directory("/dev/shm") && access("/dev/shm", W_OK) == 0
             ? std::string("/dev/shm")
             : fs::temp_directory_path().string();
}

// Deletes dir/name, the file as it is now, through the quarantine.
KeptDeletion DeleteNow(Quarantine* q, const std::string& dir, const std::string& name,
                       const std::string& check = "hash") {
  platform::DirectoryRef folder =
      platform::Directory::OpenRoot(dir, platform::LinkPolicy::kNoFollow, nullptr);
  if (folder == nullptr) return {};
  return DeleteKeeping(q, *folder, name, StampOf(dir + "/" + name), dir + "/" + name, check);
}

std::string Bytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

TEST(Sha256, PublishedVectorsWholeAndInPieces) {
  EXPECT_EQ(sigdb::Sha256Hex(""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sigdb::Sha256Hex("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  sigdb::Sha256 pieces;
  for (char c : two_blocks) pieces.Update(&c, 1);
  EXPECT_EQ(pieces.FinishHex(), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(QuarantineSettings, DefaultsValuesAndMalformedLines) {
  QuarantineSettings d = ParseQuarantineSettings("");
  EXPECT_TRUE(d.keep);
  EXPECT_EQ(d.max_bytes, int64_t{1} << 30);
  EXPECT_EQ(d.max_days, 30);
  QuarantineSettings s = ParseQuarantineSettings(
      "[Other]\r\nKeep=0\r\n[quarantine]\r\n keep = 0 \r\nMAXSIZEMB=5\r\nMaxDays=7\r\nKeep=1\r\n");
  EXPECT_FALSE(s.keep);  // the first Keep of the section wins; [Other] is not read
  EXPECT_EQ(s.max_bytes, 5 << 20);
  EXPECT_EQ(s.max_days, 7);
  QuarantineSettings bad =
      ParseQuarantineSettings("[Quarantine]\nKeep=yes\nMaxSizeMB=-1\nMaxDays=0\n");
  EXPECT_TRUE(bad.keep);
  EXPECT_EQ(bad.max_bytes, int64_t{1} << 30);
  EXPECT_EQ(bad.max_days, 30);
}

class QuarantineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = dir_ / "quarantine";
    q_ = std::make_unique<Quarantine>(folder_);
    std::string error;
    ASSERT_TRUE(q_->Open(&error)) << error;
  }
  TempDir dir_;
  std::string folder_;
  std::unique_ptr<Quarantine> q_;
};

TEST_F(QuarantineTest, DeletedFileIsKeptPrivatelyScrambledAndRestoresByteForByte) {
  const std::string bytes = Bytes(300000, 1) + "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR";
  WriteFile(dir_ / "doc.exe", bytes);
  ASSERT_EQ(chmod((dir_ / "doc.exe").c_str(), 0751), 0);
  const struct timespec times[2] = {{1600000000, 123456789}, {1600000000, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, (dir_ / "doc.exe").c_str(), times, 0), 0);

  const KeptDeletion done = DeleteNow(q_.get(), dir_.path(), "doc.exe", "heuristic 2");
  ASSERT_EQ(done.result.outcome, DeleteOutcome::kDeleted) << done.result.reason;
  EXPECT_FALSE(fs::exists(dir_ / "doc.exe"));
  EXPECT_EQ(Names(dir_.path()), std::set<std::string>{"quarantine"});  // nothing left aside

  struct stat st;
  ASSERT_EQ(stat(folder_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  const std::string entry = folder_ + "/" + done.id + ".nq";
  ASSERT_EQ(stat(entry.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(Names(folder_), std::set<std::string>{done.id + ".nq"});
  const std::string stored = ReadFile(entry);
  EXPECT_EQ(stored.find("EICAR"), std::string::npos) << "stored bytes must not be the original";
  EXPECT_EQ(stored.rfind("NERLO QUARANTINE ENTRY", 0), 0u);

  std::vector<QuarantineRecord> records;
  std::string error;
  ASSERT_TRUE(q_->List(&records, &error));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].id, done.id);
  EXPECT_EQ(records[0].original_path, dir_ / "doc.exe");
  EXPECT_EQ(records[0].size, static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(records[0].mode, 0751u);
  EXPECT_EQ(records[0].owner, geteuid());
  EXPECT_EQ(records[0].sha256, sigdb::Sha256Hex(bytes));
  EXPECT_EQ(records[0].checks, std::vector<std::string>{"heuristic 2"});

  std::string restored;
  ASSERT_TRUE(q_->Restore(done.id, "", &restored, &error)) << error;
  EXPECT_EQ(restored, dir_ / "doc.exe");
  EXPECT_EQ(ReadFile(dir_ / "doc.exe"), bytes);
  ASSERT_EQ(stat((dir_ / "doc.exe").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
  // Restored means gone from the quarantine, and no temporary left beside the file.
  EXPECT_TRUE(Names(folder_).empty());
  EXPECT_EQ(Names(dir_.path()), (std::set<std::string>{"doc.exe", "quarantine"}));
}

TEST_F(QuarantineTest, ScansMD5IsTakenOnlyForTheSameBytes) {
  const std::string bytes = Bytes(70000, 3);
  const std::string scans_md5 = "0123456789ABCDEF0123456789ABCDEF";  // not the MD5 of bytes
  const auto keep = [&](const std::string& name, const std::string& examined) {
    WriteFile(dir_ / name, bytes);
    platform::DirectoryRef folder =
        platform::Directory::OpenRoot(dir_.path(), platform::LinkPolicy::kNoFollow, nullptr);
    const KeptDeletion done = DeleteKeeping(q_.get(), *folder, name, StampOf(dir_ / name),
                                            dir_ / name, "hash", {examined, scans_md5});
    EXPECT_EQ(done.result.outcome, DeleteOutcome::kDeleted) << done.result.reason;
    QuarantineRecord record;
    std::string error;
    EXPECT_TRUE(q_->Find(done.id, &record, &error)) << error;
    return record.md5;
  };
  // The bytes the scan examined are those copied: their MD5 is not computed again.
  EXPECT_EQ(keep("same", bytes), scans_md5);
  // Any other bytes (one byte changed, one byte short, none): the copy's own MD5.
  sigdb::TMD5 md5;
  md5.Update(bytes.data(), bytes.size());
  const std::string own = md5.DigestText();
  std::string changed = bytes;
  changed[69999] ^= 1;
  EXPECT_EQ(keep("changed", changed), own);
  EXPECT_EQ(keep("shorter", bytes.substr(0, 69999)), own);
  EXPECT_EQ(keep("none", ""), own);
}

TEST_F(QuarantineTest, RestoreNeverReplacesAndNeedsAnExistingFolder) {
  WriteFile(dir_ / "sub/a", "infected");
  const KeptDeletion done = DeleteNow(q_.get(), dir_ / "sub", "a");
  ASSERT_EQ(done.result.outcome, DeleteOutcome::kDeleted);
  WriteFile(dir_ / "sub/a", "a new file of the same name");
  std::string restored, error;
  EXPECT_FALSE(q_->Restore(done.id, "", &restored, &error));
  EXPECT_NE(error.find("exists; it is not replaced"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(dir_ / "sub/a"), "a new file of the same name");
  EXPECT_FALSE(q_->Restore(done.id, dir_ / "missing/a", &restored, &error));
  EXPECT_NE(error.find("does not exist"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
  // --to a folder keeps the original name there.
  fs::create_directory(dir_ / "elsewhere");
  ASSERT_TRUE(q_->Restore(done.id, dir_ / "elsewhere", &restored, &error)) << error;
  EXPECT_EQ(restored, dir_ / "elsewhere/a");
  EXPECT_EQ(ReadFile(dir_ / "elsewhere/a"), "infected");
  EXPECT_FALSE(q_->Restore(done.id, "", &restored, &error));  // the entry is gone now
  EXPECT_NE(error.find("no quarantine entry"), std::string::npos);
  EXPECT_FALSE(q_->Remove("../../etc/passwd", &error));
}

TEST_F(QuarantineTest, DamagedBytesAreRefusedByTheHashCheck) {
  WriteFile(dir_ / "f", Bytes(5000, 2));
  const KeptDeletion done = DeleteNow(q_.get(), dir_.path(), "f");
  ASSERT_EQ(done.result.outcome, DeleteOutcome::kDeleted);
  const std::string entry = folder_ + "/" + done.id + ".nq";
  std::string stored = ReadFile(entry);
  stored[stored.size() - 100] ^= 1;
  WriteFile(entry, stored);
  std::string restored, error;
  EXPECT_FALSE(q_->Restore(done.id, "", &restored, &error));
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(dir_ / "f"));
  EXPECT_FALSE(q_->Export(done.id, dir_ / "sample", &error));
  EXPECT_FALSE(fs::exists(dir_ / "sample"));
  EXPECT_TRUE(fs::exists(entry)) << "a damaged entry is not removed by a failed restore";
}

TEST_F(QuarantineTest, NamesWithNewlinesAndInvalidUtf8ExportAndRestore) {
  const std::string name = "line\nbreak\xff\xfe.bin";
  WriteFile(dir_ / name, "odd name");
  const KeptDeletion done = DeleteNow(q_.get(), dir_.path(), name);
  ASSERT_EQ(done.result.outcome, DeleteOutcome::kDeleted);
  QuarantineRecord record;
  std::string error, restored;
  ASSERT_TRUE(q_->Find(done.id, &record, &error));
  EXPECT_EQ(record.original_path, dir_ / name);
  ASSERT_TRUE(q_->Export(done.id, dir_ / "sample", &error)) << error;
  EXPECT_EQ(ReadFile(dir_ / "sample"), "odd name");
  EXPECT_FALSE(q_->Export(done.id, dir_ / "sample", &error));  // never over a file
  ASSERT_TRUE(q_->Restore(done.id, "", &restored, &error)) << error;
  EXPECT_EQ(ReadFile(dir_ / name), "odd name");
}

TEST(QuarantineQuota, FileLargerThanTheQuotaStaysAndOldestEntriesMakeRoom) {
  TempDir dir;
  static int64_t now = 1'800'000'000;
  QuarantineSettings settings;
  settings.max_bytes = 1 << 20;
  settings.max_days = 30;
  Quarantine q(dir / "q", settings, [] { return now; });
  std::string error;
  ASSERT_TRUE(q.Open(&error));

  WriteFile(dir / "big", Bytes((1 << 20) + 1, 3));
  KeptDeletion big = DeleteNow(&q, dir.path(), "big");
  EXPECT_EQ(big.result.outcome, DeleteOutcome::kRefused);
  EXPECT_NE(big.result.reason.find("larger than the quarantine's limit of 1 MiB"),
            std::string::npos)
      << big.result.reason;
  EXPECT_EQ(ReadFile(dir / "big").size(), (1u << 20) + 1);
  EXPECT_TRUE(Names(dir / "q").empty());

  // Three entries of 400 KB fit two at a time: the oldest goes.
  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) {
    now += 60;
    WriteFile(dir / "f", Bytes(400000, 10 + i));
    const KeptDeletion d = DeleteNow(&q, dir.path(), "f");
    ASSERT_EQ(d.result.outcome, DeleteOutcome::kDeleted) << d.result.reason;
    ids.push_back(d.id);
  }
  std::vector<QuarantineRecord> records;
  ASSERT_TRUE(q.List(&records, &error));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].id, ids[1]);
  EXPECT_EQ(records[1].id, ids[2]);

  // 31 days later both are too old: a new entry removes them, purge --older-than too.
  now += 31 * 86400;
  WriteFile(dir / "g", "small");
  ASSERT_EQ(DeleteNow(&q, dir.path(), "g").result.outcome, DeleteOutcome::kDeleted);
  ASSERT_TRUE(q.List(&records, &error));
  ASSERT_EQ(records.size(), 1u);
  now += 2 * 86400;
  int removed = -1;
  ASSERT_TRUE(q.Purge(3, &removed, &error));
  EXPECT_EQ(removed, 0);
  ASSERT_TRUE(q.Purge(1, &removed, &error));
  EXPECT_EQ(removed, 1);
}

TEST(QuarantineFaults, FullFileSystemLeavesTheFileInPlaceAsRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  TempDir dir;
  fs::create_directory(dir / "small");
  ASSERT_EQ(mount("tmpfs", (dir / "small").c_str(), "tmpfs", 0, "size=64k"), 0)
      << "cannot mount a tmpfs: " << strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{dir / "small"};
  Quarantine q(dir / "small/quarantine");
  std::string error;
  ASSERT_TRUE(q.Open(&error)) << error;
  const std::string bytes = Bytes(200000, 4);
  WriteFile(dir / "victim", bytes);
  const KeptDeletion d = DeleteNow(&q, dir.path(), "victim");
  EXPECT_EQ(d.result.outcome, DeleteOutcome::kRefused);
  EXPECT_NE(d.result.reason.find(strerror(ENOSPC)), std::string::npos) << d.result.reason;
  EXPECT_EQ(ReadFile(dir / "victim"), bytes);
  EXPECT_TRUE(Names(dir / "small/quarantine").empty()) << "no half entry, no marker left";
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"small", "victim"}));
}

TEST(QuarantineFaults, QuarantineTheUserMayNotWriteLeavesTheFileInPlace) {
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  fs::create_directory(dir / "q");
  ASSERT_EQ(chmod((dir / "q").c_str(), 0555), 0);
  fs::create_directory(dir / "user");
  ASSERT_EQ(chmod((dir / "user").c_str(), 0777), 0);
  WriteFile(dir / "user/victim", "infected");
  ASSERT_EQ(chmod((dir / "user/victim").c_str(), 0666), 0);
  const std::string failure = nerlo::testing::RunAsNobody([&]() -> std::string {
    Quarantine q(dir / "q");
    std::string error;
    q.Open(&error);  // the folder can be read but not written
    const KeptDeletion d = DeleteNow(&q, dir / "user", "victim");
    if (d.result.outcome != DeleteOutcome::kRefused) return "deleted without a kept copy";
    if (d.result.reason.find(strerror(EACCES)) == std::string::npos)
      return "reason: " + d.result.reason;
    return ReadFile(dir / "user/victim") == "infected" ? "" : "the file is not in place";
  });
  EXPECT_EQ(failure, "");
  EXPECT_EQ(Names(dir / "user"), std::set<std::string>{"victim"});
}

TEST(QuarantineFaults, UnopenedOrTurnedOffQuarantine) {
  TempDir dir;
  WriteFile(dir / "plain", "x");
  WriteFile(dir / "kept", "y");
  WriteFile(dir / "blocker", "a file where the folder should be");
  Quarantine broken(dir / "blocker/q");
  std::string error;
  EXPECT_FALSE(broken.Open(&error));
  const KeptDeletion refused = DeleteNow(&broken, dir.path(), "kept");
  EXPECT_EQ(refused.result.outcome, DeleteOutcome::kRefused);
  EXPECT_NE(refused.result.reason.find("cannot be used"), std::string::npos)
      << refused.result.reason;
  EXPECT_TRUE(fs::exists(dir / "kept"));
  // No quarantine: plain deletion.
  EXPECT_EQ(DeleteNow(nullptr, dir.path(), "plain").result.outcome, DeleteOutcome::kDeleted);
}

// The child of a kill trial: deletes the file through the quarantine and is killed at step
// kill_at (counted over every step the deletion passes).
std::atomic<int> steps_left{0};
void KillAtStep(const char*) {
  if (--steps_left == 0) raise(SIGKILL);
}
int steps_seen = 0;
void CountStep(const char*) { ++steps_seen; }

TEST(QuarantineFaults, KilledAtAnyStepTheFileIsInPlaceOrInACompleteEntry) {
  TempDir dir(FastBase());
  const std::string files = dir / "files", folder = dir / "q";
  fs::create_directory(files);
  const std::string bytes = Bytes(300000, 5);  // five pieces of writing
  // How many steps a deletion passes.
  {
    Quarantine q(folder);
    std::string error;
    ASSERT_TRUE(q.Open(&error));
    q.SetStepHook(CountStep);
    WriteFile(files + "/v", bytes);
    ASSERT_EQ(DeleteNow(&q, files, "v").result.outcome, DeleteOutcome::kDeleted);
    fs::remove_all(folder);
  }
  ASSERT_GE(steps_seen, 9);
  std::mt19937 random(2024);
  int in_place = 0, kept = 0;
  for (int trial = 0; trial < 200; ++trial) {
    WriteFile(files + "/v", bytes);
    const int kill_at = 1 + static_cast<int>(random() % static_cast<unsigned>(steps_seen));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Quarantine q(folder);
      std::string error;
      if (!q.Open(&error)) _exit(3);
      steps_left = kill_at;
      q.SetStepHook(KillAtStep);
      DeleteNow(&q, files, "v");
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "trial " << trial << " step " << kill_at;
    // The next start cleans up: afterwards the file is in its place, or in a complete entry
    // that restores it, and nothing is left under a temporary name anywhere.
    Quarantine next(folder);
    std::string error;
    ASSERT_TRUE(next.Open(&error)) << error;
    std::vector<QuarantineRecord> records;
    ASSERT_TRUE(next.List(&records, &error));
    const bool here = fs::exists(files + "/v");
    if (here) {
      EXPECT_EQ(ReadFile(files + "/v"), bytes);
      EXPECT_TRUE(records.empty()) << "trial " << trial << ": a copy of a file not deleted";
      ++in_place;
    } else {
      ASSERT_EQ(records.size(), 1u) << "trial " << trial << " step " << kill_at << ": lost";
      std::string restored;
      ASSERT_TRUE(next.Restore(records[0].id, "", &restored, &error)) << error;
      EXPECT_EQ(ReadFile(files + "/v"), bytes);
      ++kept;
    }
    EXPECT_EQ(Names(files), std::set<std::string>{"v"}) << "trial " << trial;
    for (const std::string& name : Names(folder))
      EXPECT_EQ(name.rfind(".", 0), std::string::npos) << "left over: " << name;
    fs::remove(files + "/v");
    fs::remove_all(folder);
  }
  // Both outcomes must have happened for the trials to mean anything.
  EXPECT_GT(in_place, 0);
  EXPECT_GT(kept, 0);
  std::printf("200 kill trials: file in place after %d, restored from its entry after %d\n",
              in_place, kept);
}

void Spin(int microseconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
  while (std::chrono::steady_clock::now() < until) {
  }
}

TEST(QuarantineStress, CleanFileRenamedOverTheNameIsNeverKeptNorDeleted) {
  TempDir dir(FastBase());
  fs::create_directory(dir / "scanned");
  Quarantine q(dir / "q");
  std::string error;
  ASSERT_TRUE(q.Open(&error));
  platform::DirectoryRef folder =
      platform::Directory::OpenRoot(dir / "scanned", platform::LinkPolicy::kNoFollow, nullptr);
  ASSERT_NE(folder, nullptr);
  std::mt19937 random(777);
  std::atomic<int> posted{-1}, done{-1};
  std::atomic<bool> quit{false};
  std::atomic<int> delay{0};
  std::string clean;
  std::thread racer([&] {
    for (int seen = -1;;) {
      int trial;
      for (int spins = 0; (trial = posted.load()) == seen; ++spins) {
        if (quit.load()) return;
        if (spins % 64 == 63) std::this_thread::yield();
      }
      seen = trial;
      Spin(delay.load());
      rename(clean.c_str(), (dir / "scanned/target").c_str());
      done = trial;
    }
  });
  int trials = 0, infected_deleted = 0, clean_lost = 0, clean_kept = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  for (; trials < 400 && std::chrono::steady_clock::now() < deadline; ++trials) {
    clean = dir / ("scanned/clean" + std::to_string(trials));
    WriteFile(dir / "scanned/target", "infected " + std::to_string(trials));
    WriteFile(clean, "clean");
    const platform::FileStamp examined = StampOf(dir / "scanned/target");
    // The rename lands before, inside and after the deletion.
    delay = static_cast<int>(random() % 30);
    const int deleter_delay = static_cast<int>(random() % 30);
    posted = trials;
    Spin(deleter_delay);
    const KeptDeletion d =
        DeleteKeeping(&q, *folder, "target", examined, dir / "scanned/target", "hash");
    while (done.load() != trials) {
    }
    if (d.result.outcome == DeleteOutcome::kDeleted) ++infected_deleted;
    if (ReadFile(dir / "scanned/target") != "clean") ++clean_lost;
    std::vector<QuarantineRecord> records;
    ASSERT_TRUE(q.List(&records, &error));
    for (const QuarantineRecord& r : records) {
      std::string bytes;
      QuarantineRecord full;
      ASSERT_TRUE(q.ReadOriginal(r.id, &bytes, &full, &error)) << error;
      if (bytes == "clean") ++clean_kept;
      q.Remove(r.id, &error);
    }
    for (const std::string& name : Names(dir / "scanned")) fs::remove(dir / ("scanned/" + name));
  }
  quit = true;
  racer.join();
  EXPECT_GE(trials, 50);
  EXPECT_EQ(clean_lost, 0) << "of " << trials;
  EXPECT_EQ(clean_kept, 0) << "of " << trials;
  EXPECT_GT(infected_deleted, 0);
  std::printf("%d swap trials: examined file deleted and kept in %d\n", trials, infected_deleted);
}

// The two sides of the race, each forced: the clean file takes the name before the deletion
// begins, and while the examined file is aside being copied.
std::string swap_from, swap_to;
void SwapAtOpen(const char* step) {
  if (std::string_view(step) == "open") rename(swap_from.c_str(), swap_to.c_str());
}

TEST(QuarantineStress, CleanFileTakingTheNameBeforeOrDuringTheCopyIsLeftAlone) {
  TempDir dir;
  Quarantine q(dir / "q");
  std::string error;
  ASSERT_TRUE(q.Open(&error));
  platform::DirectoryRef folder =
      platform::Directory::OpenRoot(dir.path(), platform::LinkPolicy::kNoFollow, nullptr);
  WriteFile(dir / "target", "infected");
  WriteFile(dir / "clean", "clean");
  platform::FileStamp examined = StampOf(dir / "target");
  std::ifstream hold(dir / "target");  // keeps the inode number from being reused
  fs::rename(dir / "clean", dir / "target");
  KeptDeletion before = DeleteKeeping(&q, *folder, "target", examined, dir / "target", "hash");
  EXPECT_EQ(before.result.outcome, DeleteOutcome::kRefused);
  EXPECT_EQ(ReadFile(dir / "target"), "clean");
  EXPECT_TRUE(Names(dir / "q").empty());

  WriteFile(dir / "infected", "infected");
  WriteFile(dir / "clean", "clean");
  examined = StampOf(dir / "infected");
  swap_from = dir / "clean";
  swap_to = dir / "infected";
  q.SetStepHook(SwapAtOpen);
  KeptDeletion during = DeleteKeeping(&q, *folder, "infected", examined, dir / "infected", "hash");
  q.SetStepHook(nullptr);
  EXPECT_EQ(during.result.outcome, DeleteOutcome::kDeleted);
  EXPECT_EQ(ReadFile(dir / "infected"), "clean");
  std::string bytes;
  QuarantineRecord record;
  ASSERT_TRUE(q.ReadOriginal(during.id, &bytes, &record, &error)) << error;
  EXPECT_EQ(bytes, "infected");
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"infected", "q", "target"}));
}

TEST(DeleteAtKeep, HookSeesTheCheckedFileAndARefusalPutsItBack) {
  TempDir dir;
  WriteFile(dir / "f", "contents");
  ASSERT_EQ(chmod((dir / "f").c_str(), 0640), 0);
  platform::DirectoryRef folder =
      platform::Directory::OpenRoot(dir.path(), platform::LinkPolicy::kNoFollow, nullptr);
  const platform::FileStamp stamp = StampOf(dir / "f");
  std::string seen, reason;
  uint32_t mode = 0;
  const platform::KeepHook refuse = [&](platform::AsideFile& file, std::string* why) {
    char buffer[64];
    platform::ErrorCode code = 0;
    const int64_t n = file.Read(buffer, sizeof buffer, &code);
    seen.assign(buffer, static_cast<size_t>(std::max<int64_t>(n, 0)));
    mode = file.Details().mode;
    EXPECT_EQ(file.Details().stamp.identity, stamp.identity);
    EXPECT_FALSE(fs::exists(dir / "f")) << "the hook runs while the file is aside";
    *why = "no room";
    return false;
  };
  const platform::DeleteResult result = platform::DeleteAt(*folder, "f", stamp, refuse);
  EXPECT_EQ(result.outcome, DeleteOutcome::kRefused);
  reason = result.reason;
  EXPECT_EQ(seen, "contents");
  EXPECT_EQ(mode, 0640u);
  EXPECT_EQ(reason, "no room");
  EXPECT_EQ(ReadFile(dir / "f"), "contents");
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"f"});
}

}  // namespace
}  // namespace nerlo::scan
