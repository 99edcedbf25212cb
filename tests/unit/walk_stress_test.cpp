// A folder of the target swapped for a link to an outside folder, over and over, while the
// target is scanned with "Delete them": nothing outside is ever opened or deleted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/message_queue.h"
#include "scan/scan_run.h"
#include "tests/unit/os_test_util.h"
#include "tests/unit/scan_run_fixture.h"
#include "tests/unit/test_util.h"

namespace nerlo::scan {
namespace {

using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;
namespace fs = std::filesystem;

// Scans of the target while the swapper runs: a fixed count, however fast the machine.
constexpr int kTrials = 1000;

// Creates folder/victim unless it exists, never through a link (the folder may be swapped at
// any moment).
void PutVictim(const std::string& folder, const std::string& content) {
  const int dir_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir_fd < 0) return;
  const int fd =
      openat(dir_fd, "victim", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  close(dir_fd);
  if (fd < 0) return;
  EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
}

TEST(WalkStress, FolderSwappedForALinkLoopNeverLeadsOutsideTheTarget) {
  TempDir dir;
  TempDir db;
  testing::WriteDatabases(db.path(), {}, {}, {"MARKER"});
  const std::string infected = "MARKER infected";
  for (int i = 0; i < 4; ++i) WriteFile(dir / ("outside/bait" + std::to_string(i)), infected);
  WriteFile(dir / "outside/deeper/bait", infected);
  fs::create_directories(dir / "target/sub");
  nerlo::testing::InotifyWatch watch_outside(dir / "outside", IN_OPEN | IN_DELETE);
  nerlo::testing::InotifyWatch watch_deeper(dir / "outside/deeper", IN_OPEN | IN_DELETE);
  ASSERT_TRUE(watch_outside.ok() && watch_deeper.ok());

  platform::PlainMessageQueue queue;
  platform::InstallMessageQueue(&queue);
  testing::RecordingView view;
  testing::Settings settings;
  settings.delete_them = true;
  int trials = 0, removed = 0, escapes = 0;
  {
    TScanRun run(view, settings, db.path() + "/");
    run.FormShow();
    run.ff.SetFileName(dir / "target/*.*");

    const std::string sub = dir / "target/sub", real = dir / "target/sub.real";
    const std::string outside = dir / "outside";
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
      while (!stop.load()) {
        if (rename(sub.c_str(), real.c_str()) != 0) continue;
        const bool linked = symlink(outside.c_str(), sub.c_str()) == 0;
        std::this_thread::yield();
        if (linked) unlink(sub.c_str());
        rename(real.c_str(), sub.c_str());
        std::this_thread::yield();
      }
    });
    for (; trials < kTrials; ++trials) {
      // The infected files inside the target are put back for every trial (the swapper may
      // have the folder aside at the moment: then it is written where it is).
      for (const std::string& folder : {sub, real}) PutVictim(folder, infected);
      const int32_t before = run.RemovedCount();
      run.ff.Start();
      removed += run.RemovedCount() - before;
      escapes += watch_outside.Drain() + watch_deeper.Drain();
    }
    stop = true;
    swapper.join();
    run.WaitForLookups();
  }
  platform::InstallMessageQueue(nullptr);
  escapes += watch_outside.Drain() + watch_deeper.Drain();

  std::printf("%d trials: %d files deleted inside the target, %d events outside\n", trials, removed,
              escapes);
  EXPECT_EQ(escapes, 0);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(fs::exists(dir / ("outside/bait" + std::to_string(i))));
  EXPECT_TRUE(fs::exists(dir / "outside/deeper/bait"));
  EXPECT_FALSE(fs::exists(dir / "outside/victim"));
  // The target's own files were found and deleted throughout.
  EXPECT_GT(removed, 0);
}

}  // namespace
}  // namespace nerlo::scan
