#include "platform/message_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace nerlo::platform {
namespace {

TEST(PlainMessageQueue, SynchronizeFromWorkerRunsOnOwnerThreadAndWaits) {
  PlainMessageQueue queue;
  const std::thread::id owner = std::this_thread::get_id();
  std::atomic<bool> returned{false};
  std::thread::id ran_on;
  std::thread worker([&] {
    queue.Synchronize([&] { ran_on = std::this_thread::get_id(); });
    returned = true;
  });
  while (!returned) queue.WaitForMessages(std::chrono::milliseconds(10));
  worker.join();
  EXPECT_EQ(ran_on, owner);
}

// Once a worker's last call has run, the owner may destroy the queue at once (a scan has ended,
// a test restores its queue), while the worker is still on its way out of Synchronize. The queue
// lives in a buffer scribbled over as soon as it is destroyed: a late touch of it hangs or
// crashes the worker.
TEST(PlainMessageQueue, MayBeDestroyedAsSoonAsTheLastPostedCallHasRun) {
  struct State {
    alignas(PlainMessageQueue) unsigned char place[sizeof(PlainMessageQueue)];
    std::atomic<bool> ran{false};
    std::atomic<bool> left{false};
  };
  static State state;  // outlives a worker that is left behind hanging
  for (int i = 0; i < 2000; ++i) {
    state.ran = false;
    state.left = false;
    auto* queue = new (state.place) PlainMessageQueue();
    std::thread worker([queue] {
      queue->Synchronize([] { state.ran = true; });
      state.left = true;
    });
    while (!state.ran) queue->ProcessMessages();
    queue->~PlainMessageQueue();
    std::memset(state.place, 0xA5, sizeof state.place);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!state.left && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    if (!state.left) {
      worker.detach();
      FAIL() << "a worker still used the destroyed queue, round " << i;
    }
    worker.join();
  }
}

TEST(PlainMessageQueue, MessagesRunInPostingOrderIncludingNestedPosts) {
  PlainMessageQueue queue;
  std::vector<int> order;
  queue.Queue([&] {
    order.push_back(1);
    queue.Queue([&] { order.push_back(3); });
  });
  queue.Queue([&] { order.push_back(2); });
  queue.ProcessMessages();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(PlainMessageQueue, SynchronizeOnOwnerThreadRunsAtOnceAndSwallowsExceptions) {
  PlainMessageQueue queue;
  bool ran = false;
  queue.Synchronize([&] {
    ran = true;
    throw 1;
  });
  EXPECT_TRUE(ran);
}

// One rule for every queue: what escapes a posted call is swallowed, the calls after it run.
TEST(PlainMessageQueue, ExceptionsFromPostedCallsAreSwallowedAndLaterCallsRun) {
  PlainMessageQueue queue;
  std::vector<int> order;
  queue.Queue([&] {
    order.push_back(1);
    throw std::runtime_error("queued");
  });
  queue.Queue([&] { order.push_back(2); });
  EXPECT_NO_THROW(queue.ProcessMessages());
  EXPECT_EQ(order, (std::vector<int>{1, 2}));

  std::thread worker([&] {
    queue.Synchronize([&] {
      order.push_back(3);
      throw 3;
    });
    queue.Queue([&] { throw 4; });
    queue.Queue([&] { order.push_back(5); });
  });
  while (order.size() < 4) EXPECT_NO_THROW(queue.WaitForMessages(std::chrono::milliseconds(50)));
  worker.join();
  EXPECT_NO_THROW(queue.ProcessMessages());
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 5}));
}

}  // namespace
}  // namespace nerlo::platform
