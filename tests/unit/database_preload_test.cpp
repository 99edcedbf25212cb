#include "scan/database_preload.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "held_threads.h"
#include "platform/message_queue.h"
#include "sigdb/file_search.h"
#include "test_util.h"

namespace nerlo::scan {
namespace {

using nerlo::testing::HeldThreads;
using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;

// Counts the waits for messages, and runs hook at the first.
class CountingQueue : public platform::PlainMessageQueue {
 public:
  void WaitForMessages(std::chrono::milliseconds timeout) override {
    ++waits;
    if (hook) std::exchange(hook, nullptr)();
    PlainMessageQueue::WaitForMessages(timeout);
  }
  int waits = 0;
  std::function<void()> hook;
};

// The first search of a database waits for its read, with messages running meanwhile (the read
// here can only begin once messages have run), and then finds it read and indexed: it does not
// read it again. A database that is missing, or whose thread could not be started, is left to
// its first search.
TEST(DatabasePreload, TheFirstSearchFindsTheDatabaseReadWhileMessagesRan) {
  TempDir dir;
  const std::string path = dir / "tdb.ldb";
  std::string content(200000, 'x');
  const std::string entry = "QRSTUVWXYZQRSTUVWXYZQRSTUVWXYZQRSTUVWXYZ";
  content.replace(150000, entry.size(), entry);
  WriteFile(path, content);
  CountingQueue queue;
  platform::InstallMessageQueue(&queue);
  {
    HeldThreads threads;
    TDatabasePreload preload(threads.Starter());
    const uint64_t before = sigdb::TFileSearch::DatabaseReads();
    preload.Start({path, dir / "missing.db"});
    queue.hook = [&threads] { threads.Release(); };
    preload.Await(path);
    EXPECT_GE(queue.waits, 1);
    EXPECT_EQ(sigdb::TFileSearch::DatabaseReads() - before, 1u);
    sigdb::TFileSearch search;
    search.SetPattern(entry);
    search.SetFilename(path);
    EXPECT_EQ(sigdb::TFileSearch::DatabaseReads() - before, 1u);
    EXPECT_TRUE(search.Indexed());
    EXPECT_EQ(search.FindFirst(), 150000);
    preload.Await(dir / "missing.db");
    queue.waits = 0;
    preload.Await(dir / "never-started.db");
    EXPECT_EQ(queue.waits, 0);
    threads.Release();  // should a wait above have been skipped, the reads still end
  }
  {
    const std::string other = dir / "database.db";
    WriteFile(other, "an entry");
    TDatabasePreload preload([](std::function<void()>) -> std::thread {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    const uint64_t before = sigdb::TFileSearch::DatabaseReads();
    preload.Start({other});
    preload.Await(other);
    EXPECT_EQ(sigdb::TFileSearch::DatabaseReads(), before);
    sigdb::TFileSearch search;
    search.SetPattern("entry");
    search.SetFilename(other);
    EXPECT_EQ(sigdb::TFileSearch::DatabaseReads() - before, 1u);
    EXPECT_EQ(search.FindFirst(), 3);
  }
  platform::InstallMessageQueue(nullptr);
}

}  // namespace
}  // namespace nerlo::scan
