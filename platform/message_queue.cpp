#include "platform/message_queue.h"

#include <memory>

namespace nerlo::platform {

namespace {
// Nothing may unwind through the loop that runs the posted calls.
void RunSwallowing(const std::function<void()>& fn) {
  try {
    fn();
  } catch (...) {
  }
}
}  // namespace

void MessageQueue::RunOrQueueAndWait(std::thread::id owner, std::function<void()> fn) {
  if (std::this_thread::get_id() == owner) {
    RunSwallowing(fn);
    return;
  }
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  Queue([fn = std::move(fn), done] {
    RunSwallowing(fn);
    std::lock_guard<std::mutex> lock(done->mutex);
    done->done = true;
    done->cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(done->mutex);
  done->cv.wait(lock, [&] { return done->done; });
}

void MessageQueue::Post(std::function<void()> fn, const std::function<void()>& wake) {
  // Everything is done under the lock: the user-interface thread can take fn only after the
  // lock is released, and once fn has run the queue may be destroyed (a worker's Synchronize
  // has returned, the scan has ended), so nothing here may touch the queue after that.
  std::lock_guard<std::mutex> lock(posted_mutex_);
  posted_.push_back(std::move(fn));
  any_posted_.store(true, std::memory_order_relaxed);
  posted_cv_.notify_all();
  if (wake) wake();
}

void MessageQueue::RunPosted() {
  std::unique_lock<std::mutex> lock(posted_mutex_);
  while (!posted_.empty()) {
    std::function<void()> fn = std::move(posted_.front());
    posted_.pop_front();
    any_posted_.store(!posted_.empty(), std::memory_order_relaxed);
    lock.unlock();
    RunSwallowing(fn);
    lock.lock();
  }
  any_posted_.store(false, std::memory_order_relaxed);
}

void MessageQueue::WaitForPosted(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(posted_mutex_);
  posted_cv_.wait_for(lock, timeout, [this] { return !posted_.empty(); });
}

PlainMessageQueue::PlainMessageQueue() : owner_(std::this_thread::get_id()) {}

PlainMessageQueue::~PlainMessageQueue() {
  // Messages still pending belong to workers that have ended their interest in them; a
  // Synchronize caller would still be waiting, so run them rather than drop them.
  RunPosted();
}

void PlainMessageQueue::ProcessMessages() { RunPosted(); }

void PlainMessageQueue::WaitForMessages(std::chrono::milliseconds timeout) {
  WaitForPosted(timeout);
  RunPosted();
}

void PlainMessageQueue::Synchronize(std::function<void()> fn) {
  RunOrQueueAndWait(owner_, std::move(fn));
}

void PlainMessageQueue::Queue(std::function<void()> fn) { Post(std::move(fn)); }

namespace {
std::atomic<MessageQueue*> installed{nullptr};
}  // namespace

MessageQueue& Messages() {
  MessageQueue* queue = installed.load(std::memory_order_acquire);
  if (queue != nullptr) return *queue;
  static PlainMessageQueue fallback;
  return fallback;
}

void InstallMessageQueue(MessageQueue* queue) { installed.store(queue, std::memory_order_release); }

}  // namespace nerlo::platform
