#include "app/qt_message_queue.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

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

void QtMessageQueue::RunAll() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  last_run_ = std::chrono::steady_clock::now();
}

void QtMessageQueue::ProcessMessages() {
  if (std::chrono::steady_clock::now() - last_run_ < kMinimumInterval) return;
  RunAll();
}

void QtMessageQueue::WaitForMessages(std::chrono::milliseconds timeout) {
  // A timer makes sure that the wait ends after timeout even when nothing else arrives.
  QTimer wake;
  wake.setSingleShot(true);
  wake.start(timeout);
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  RunAll();
}

void QtMessageQueue::Synchronize(std::function<void()> fn) {
  if (std::this_thread::get_id() == owner_) {
    RunSwallowing(fn);
    return;
  }
  QMetaObject::invokeMethod(
      this, [fn = std::move(fn)] { RunSwallowing(fn); }, Qt::BlockingQueuedConnection);
}

void QtMessageQueue::Queue(std::function<void()> fn) {
  QMetaObject::invokeMethod(
      this, [fn = std::move(fn)] { RunSwallowing(fn); }, Qt::QueuedConnection);
}

}  // namespace nerlo::app
