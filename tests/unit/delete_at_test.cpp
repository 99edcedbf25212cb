// Deletion through a folder's handle: only the examined file is ever removed, also while
// other files are renamed over its name, and a writable folder below a search-only one works.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tests/unit/os_test_util.h"
#include "tests/unit/test_util.h"

namespace nerlo::platform {
namespace {

using nerlo::testing::ReadFile;
using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;
namespace fs = std::filesystem;

FileIdentity IdentityOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return {};
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), true};
}

// Names in dir, to see that nothing is left behind under a temporary name.
std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

DirectoryRef Open(const std::string& dir) {
  return Directory::OpenRoot(dir, LinkPolicy::kNoFollow, nullptr);
}

TEST(DeleteAt, RemovesOnlyTheExaminedFileAndLeavesNoTemporaryName) {
  TempDir dir;
  WriteFile(dir / "infected", "x");
  WriteFile(dir / "other", "o");
  DirectoryRef folder = Open(dir.path());
  ASSERT_NE(folder, nullptr);
  const FileIdentity examined = IdentityOf(dir / "infected");
  EXPECT_EQ(DeleteAt(*folder, "infected", examined), DeleteOutcome::kDeleted);
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"other"});
  // Gone now: a second detection of the same file.
  EXPECT_EQ(DeleteAt(*folder, "infected", examined), DeleteOutcome::kAlreadyGone);
  EXPECT_EQ(DeleteAt(*folder, "infected", FileIdentity{}), DeleteOutcome::kRefused);
}

TEST(DeleteAt, ReplacementRenamedOverTheNameIsKept) {
  TempDir dir;
  WriteFile(dir / "doc", "infected");
  DirectoryRef folder = Open(dir.path());
  const FileIdentity examined = IdentityOf(dir / "doc");
  // Kept open so that its inode number cannot be reused by the replacement.
  std::ifstream hold(dir / "doc");
  WriteFile(dir / "doc.tmp", "clean");
  fs::rename(dir / "doc.tmp", dir / "doc");
  EXPECT_EQ(DeleteAt(*folder, "doc", examined), DeleteOutcome::kRefused);
  EXPECT_EQ(ReadFile(dir / "doc"), "clean");
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"doc"});
}

TEST(DeleteAt, LinksFoldersAndOddNamesAreRefused) {
  TempDir dir;
  WriteFile(dir / "real", "x");
  ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
  fs::create_directory(dir / "sub");
  DirectoryRef folder = Open(dir.path());
  // The link leads to the examined file, but the link itself is not that file.
  EXPECT_EQ(DeleteAt(*folder, "link", IdentityOf(dir / "real")), DeleteOutcome::kRefused);
  EXPECT_EQ(DeleteAt(*folder, "sub", IdentityOf(dir / "sub")), DeleteOutcome::kRefused);
  EXPECT_EQ(DeleteAt(*folder, "../real", IdentityOf(dir / "real")), DeleteOutcome::kRefused);
  EXPECT_EQ(DeleteAt(*folder, ".", IdentityOf(dir.path())), DeleteOutcome::kRefused);
  EXPECT_TRUE(fs::exists(dir / "real"));
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"link", "real", "sub"}));
}

TEST(DeleteAt, WritableFolderBelowASearchOnlyFolderAsAnUnprivilegedUser) {
  TempDir dir;
  WriteFile(dir / "home/box/infected", "x");
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod((dir / "home").c_str(), 0711), 0);  // search only: cannot be listed
  ASSERT_EQ(chmod((dir / "home/box").c_str(), 0777), 0);
  const FileIdentity examined = IdentityOf(dir / "home/box/infected");
  const std::string failure = nerlo::testing::RunAsNobody([&]() -> std::string {
    DirectoryListing listing;
    if (listing.Open(dir / "home", "*", false)) return "the search-only folder could be listed";
    ErrorCode error = 0;
    DirectoryRef box = Directory::OpenRoot(dir / "home/box", LinkPolicy::kFollow, &error);
    if (box == nullptr) return "cannot open the folder: " + ErrorText(error);
    if (DeleteAt(*box, "infected", examined) != DeleteOutcome::kDeleted) return "not deleted";
    return "";
  });
  EXPECT_EQ(failure, "");
  EXPECT_FALSE(fs::exists(dir / "home/box/infected"));
}

// Spins for about the given number of microseconds, without yielding the processor.
void Spin(int microseconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
  while (std::chrono::steady_clock::now() < until) {
  }
}

// An editor saving with write-then-rename races the deletion of the detected file it
// replaces, at every moment around it. The clean replacement must survive every trial: it
// keeps a second name in another folder, so its link count tells whether its name in the
// scanned folder was removed.
TEST(DeleteAtStress, CleanReplacementRenamedOverTheNameIsNeverDeleted) {
  TempDir dir;
  fs::create_directory(dir / "scanned");
  fs::create_directory(dir / "keep");
  DirectoryRef folder = Open(dir / "scanned");
  ASSERT_NE(folder, nullptr);
  std::mt19937 random(12345);
  // A count of trials, not a time, however fast the machine; more trials (up to four times as
  // many) while the race has not yet been seen to land both before and after the deletion.
  constexpr int kTrials = 1000;
  int trials = 0, clean_deleted = 0, infected_deleted = 0, stranded = 0;
  // One racer thread for every trial, started by a spinning hand-shake so that both sides
  // begin within a fraction of a microsecond of each other.
  std::atomic<int> posted{-1}, done{-1}, racer_delay{0};
  std::atomic<bool> quit{false};
  std::string clean;
  std::thread racer([&] {
    for (int seen = -1;;) {
      int trial;
      // Spins while a trial is being prepared (so that it starts at once), yielding now and
      // then so that the preparation itself gets a processor.
      for (int spins = 0; (trial = posted.load()) == seen; ++spins) {
        if (quit.load()) return;
        if (spins % 64 == 63) std::this_thread::yield();
      }
      seen = trial;
      Spin(racer_delay.load());
      rename(clean.c_str(), (dir / "scanned/target").c_str());
      done = trial;
    }
  });
  for (; trials < kTrials || (infected_deleted == trials && trials < 4 * kTrials); ++trials) {
    clean = dir / ("scanned/clean" + std::to_string(trials));
    const std::string keep = dir / ("keep/" + std::to_string(trials));
    WriteFile(dir / "scanned/target", "infected");
    WriteFile(clean, "clean");
    ASSERT_EQ(link(clean.c_str(), keep.c_str()), 0);
    const FileIdentity examined = IdentityOf(dir / "scanned/target");
    // The deletion takes a few microseconds: land the rename before, inside and after it.
    racer_delay = static_cast<int>(random() % 12);
    const int deleter_delay = static_cast<int>(random() % 3);
    posted = trials;
    Spin(deleter_delay);
    const DeleteOutcome outcome = DeleteAt(*folder, "target", examined);
    while (done.load() != trials) {
    }
    struct stat st;
    ASSERT_EQ(stat(keep.c_str(), &st), 0);
    if (st.st_nlink != 2) ++clean_deleted;
    if (outcome == DeleteOutcome::kDeleted) ++infected_deleted;
    for (const std::string& name : Names(dir / "scanned")) {
      if (name != "target" && name.rfind("clean", 0) != 0) ++stranded;
      fs::remove(dir / ("scanned/" + name));
    }
    fs::remove(keep);
  }
  quit = true;
  racer.join();
  EXPECT_EQ(clean_deleted, 0) << "of " << trials << " trials";
  // The race must really have been run both ways for the result to mean anything.
  EXPECT_GT(infected_deleted, 0);
  EXPECT_LT(infected_deleted, trials);
  std::printf(
      "%d trials: examined file deleted in %d, clean replacement deleted in %d, left "
      "under a temporary name in %d\n",
      trials, infected_deleted, clean_deleted, stranded);
}

}  // namespace
}  // namespace nerlo::platform
