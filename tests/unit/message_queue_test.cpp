#include "platform/message_queue.h"

#include <gtest/gtest.h>

#include <atomic>
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

}  // namespace
}  // namespace nerlo::platform
