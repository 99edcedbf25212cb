#include "app/qt_message_queue.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <condition_variable>
#include <memory>

namespace nerlo::app {

namespace {
// Runs fn, swallowing what escapes it: nothing may unwind through Qt's event delivery.
void RunSwallowing(const std::function<void()>& fn) {
  try {
    fn();
  } catch (...) {
  }
}
}  // namespace

QtMessageQueue::QtMessageQueue() : owner_(std::this_thread::get_id()) {}

QtMessageQueue::~QtMessageQueue() {
  // A Synchronize caller may still be waiting: run what is left rather than drop it.
  RunPosted();
}

void QtMessageQueue::RunPosted() {
  std::unique_lock<std::mutex> lock(mutex_);
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

void QtMessageQueue::ProcessQtEvents() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  last_events_ = std::chrono::steady_clock::now();
}

void QtMessageQueue::ProcessMessages() {
  if (any_posted_.load(std::memory_order_relaxed)) RunPosted();
  if (std::chrono::steady_clock::now() - last_events_ < kMinimumInterval) return;
  ProcessQtEvents();
  RunPosted();
}

void QtMessageQueue::WaitForMessages(std::chrono::milliseconds timeout) {
  if (!any_posted_.load(std::memory_order_relaxed)) {
    // A timer makes sure that the wait ends after timeout even when nothing else arrives;
    // every post wakes the loop too.
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(timeout);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  ProcessQtEvents();
  RunPosted();
}

void QtMessageQueue::Synchronize(std::function<void()> fn) {
  RunOrQueueAndWait(owner_, std::move(fn));
}

void QtMessageQueue::Queue(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.push_back(std::move(fn));
    any_posted_.store(true, std::memory_order_relaxed);
  }
  // Wakes the event loop, which then runs the posted calls, also when no scan pumps.
  QMetaObject::invokeMethod(
      this, [this] { RunPosted(); }, Qt::QueuedConnection);
}

}  // namespace nerlo::app
