#include "platform/message_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
