#include "scan/worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/message_queue.h"

namespace nerlo::scan {
namespace {

using namespace std::chrono_literals;

// Every test gets its own queue, owned by the test's thread.
class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::InstallMessageQueue(&queue_); }
  void TearDown() override { platform::InstallMessageQueue(nullptr); }

  void PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "timed out";
      queue_.WaitForMessages(5ms);
    }
  }

  static WindowLookupRequest Request(std::string path) {
    WindowLookupRequest request;
    request.file_path = std::move(path);
    request.window_number = 1;
    return request;
  }

  platform::PlainMessageQueue queue_;
};

TEST_F(WorkerTest, RequestsForABusyWorkerWaitAndAreLookedUpInOrder) {
  TWorkerGroup group;
  std::vector<std::string> looked_up;  // written on the user-interface thread only
  auto worker = std::make_unique<TWorker>();
  worker->SetThreadGroup(&group);
  worker->OnExecute = [&](TWorker& sender, TWorkerExecuteThread&, intptr_t& data) {
    EXPECT_EQ(data, 0);
    std::string path = sender.Request().file_path;
    platform::Synchronize([&] {
      // The hit is handled while the lookup still counts as running.
      EXPECT_TRUE(sender.Busy());
      EXPECT_EQ(group.RunningCount(), 1);
      looked_up.push_back(path);
    });
  };
  for (int i = 0; i < 50; ++i) worker->Start(Request("file" + std::to_string(i)));
  EXPECT_TRUE(worker->Busy());
  EXPECT_EQ(group.RunningCount(), 1);
  PumpUntil([&] { return !worker->Busy(); });
  ASSERT_EQ(looked_up.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(looked_up[i], "file" + std::to_string(i));
  EXPECT_EQ(group.RunningCount(), 0);
}

TEST_F(WorkerTest, AFullQueueMakesStartProcessMessagesUntilThereIsRoom) {
  TWorker worker;
  std::atomic<int> executed{0};
  worker.OnExecute = [&](TWorker&, TWorkerExecuteThread&, intptr_t&) { ++executed; };
  // Requests started and not yet looked up: the queue plus at most the one lookup that has
  // begun but not yet entered OnExecute. Nothing ends while Start does not process messages,
  // so the queue fills up.
  int most_waiting = 0;
  const int total = static_cast<int>(TWorker::kMaxQueued) + 200;
  for (int i = 0; i < total; ++i) {
    worker.Start(Request("f"));
    most_waiting = std::max(most_waiting, i + 1 - executed.load());
  }
  EXPECT_GE(most_waiting, static_cast<int>(TWorker::kMaxQueued));
  EXPECT_LE(most_waiting, static_cast<int>(TWorker::kMaxQueued) + 1);
  PumpUntil([&] { return !worker.Busy(); });
  EXPECT_EQ(executed.load(), total);
}

TEST_F(WorkerTest, AnExceptionInALookupIsSwallowedAndTheWorkerGoesOn) {
  TWorker worker;
  int calls = 0;
  worker.OnExecute = [&](TWorker&, TWorkerExecuteThread&, intptr_t&) {
    if (++calls == 1) throw std::runtime_error("lookup failed");
  };
  worker.Start(Request("a"));
  worker.Start(Request("b"));
  PumpUntil([&] { return !worker.Busy(); });
  EXPECT_EQ(calls, 2);
}

TEST_F(WorkerTest, DestructionWaitsForTheRunningLookupAndHandlesItsHit) {
  bool hit_handled = false;
  int lookups = 0;
  std::promise<void> started;
  {
    TWorker worker;
    worker.OnExecute = [&](TWorker&, TWorkerExecuteThread& thread, intptr_t&) {
      ++lookups;
      started.set_value();
      // The lookup goes on only once the destructor has begun: it asks the thread to end
      // first, then waits for the hit report and the end notice.
      while (!thread.Terminated()) std::this_thread::yield();
      platform::Synchronize([&] { hit_handled = true; });
    };
    worker.Start(Request("running"));
    worker.Start(Request("queued, dropped at destruction"));
    // A lookup that has not begun when the worker is destroyed is not run at all.
    started.get_future().wait();
  }  // the destructor processes messages until the lookup's end notice has run
  EXPECT_TRUE(hit_handled);
  EXPECT_EQ(lookups, 1);
}

// A worker whose thread cannot be started runs each lookup within Start, on the caller's
// thread, end notice included: nothing is left running or waiting, and no lookup is lost.
TEST_F(WorkerTest, LookupsOfAWorkerWhoseThreadCannotStartRunWithinStart) {
  TWorkerGroup group;
  TWorker worker;
  worker.SetThreadGroup(&group);
  int starts = 0;
  worker.SetThreadStarter([&](std::function<void()>) -> std::thread {
    ++starts;
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  });
  std::vector<std::string> looked_up;
  const auto caller = std::this_thread::get_id();
  bool on_caller = true;
  worker.OnExecute = [&](TWorker& sender, TWorkerExecuteThread&, intptr_t&) {
    on_caller = on_caller && std::this_thread::get_id() == caller;
    looked_up.push_back(sender.Request().file_path);
    if (looked_up.size() == 2) throw std::runtime_error("a failed lookup");
  };
  for (const char* path : {"a", "b", "c"}) {
    worker.Start(Request(path));
    EXPECT_FALSE(worker.Busy());
    EXPECT_EQ(group.RunningCount(), 0);
  }
  EXPECT_EQ(looked_up, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(on_caller);
  EXPECT_EQ(starts, 1);  // not tried again for every lookup
  EXPECT_FALSE(worker.StartError().empty());
}

}  // namespace
}  // namespace nerlo::scan
