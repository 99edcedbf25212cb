#include "platform/message_queue.h"

#include <atomic>
#include <memory>

namespace nerlo::platform {

void MessageQueue::RunOrQueueAndWait(std::thread::id owner, std::function<void()> fn) {
  if (std::this_thread::get_id() == owner) {
    try {
      fn();
    } catch (...) {
    }
    return;
  }
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  Queue([fn = std::move(fn), done] {
    try {
      fn();
    } catch (...) {
    }
    std::lock_guard<std::mutex> lock(done->mutex);
    done->done = true;
    done->cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(done->mutex);
  done->cv.wait(lock, [&] { return done->done; });
}

PlainMessageQueue::PlainMessageQueue() : owner_(std::this_thread::get_id()) {}

PlainMessageQueue::~PlainMessageQueue() {
  // Messages still pending belong to workers that have ended their interest in them; a
  // Synchronize caller would still be waiting, so run them rather than drop them.
  std::unique_lock<std::mutex> lock(mutex_);
  RunPending(lock);
}

void PlainMessageQueue::RunPending(std::unique_lock<std::mutex>& lock) {
  while (!pending_.empty()) {
    std::function<void()> fn = std::move(pending_.front());
    pending_.pop_front();
    lock.unlock();
    fn();
    lock.lock();
  }
}

void PlainMessageQueue::ProcessMessages() {
  std::unique_lock<std::mutex> lock(mutex_);
  RunPending(lock);
}

void PlainMessageQueue::WaitForMessages(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  posted_.wait_for(lock, timeout, [this] { return !pending_.empty(); });
  RunPending(lock);
}

void PlainMessageQueue::Synchronize(std::function<void()> fn) {
  RunOrQueueAndWait(owner_, std::move(fn));
}

void PlainMessageQueue::Queue(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(fn));
  }
  posted_.notify_all();
}

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
