#include "app/qt_message_queue.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace nerlo::app {

QtMessageQueue::QtMessageQueue(Clock clock)
    : owner_(std::this_thread::get_id()), clock_(std::move(clock)) {}

QtMessageQueue::~QtMessageQueue() {
  // A Synchronize caller may still be waiting: run what is left rather than drop it.
  RunPosted();
}

void QtMessageQueue::ProcessQtEvents() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  last_events_ = clock_();
}

void QtMessageQueue::ProcessMessages() {
  if (AnyPosted()) RunPosted();
  if (clock_() - last_events_ < kMinimumInterval) return;
  ProcessQtEvents();
  RunPosted();
}

void QtMessageQueue::WaitForMessages(std::chrono::milliseconds timeout) {
  if (!AnyPosted()) {
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
  // Wakes the event loop, which then runs the posted calls, also when no scan pumps. The wake
  // is posted under the queue's lock: once fn has run, this queue may be gone.
  Post(std::move(fn), [this] {
    QMetaObject::invokeMethod(
        this, [this] { RunPosted(); }, Qt::QueuedConnection);
  });
}

}  // namespace nerlo::app
