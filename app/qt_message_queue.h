// The message queue of the desktop program, over Qt's event loop. Install it (InstallMessageQueue)
// after the application object exists and before any window is created.
#pragma once

#include <QObject>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/message_queue.h"

namespace nerlo::app {

// Posted calls run in posting order at every ProcessMessages and WaitForMessages, and from Qt's
// event loop (each post wakes it). ProcessMessages handles Qt's own events (input, painting,
// timers) at most once per kMinimumInterval, since the engine pumps far more often than the
// screen can change; posted calls never wait for the interval, because a worker takes its next
// lookup only after its end notice has run.
class QtMessageQueue : public QObject, public platform::MessageQueue {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // The calling thread, which must run Qt's event loop, becomes the user-interface thread.
  // clock gives the time that kMinimumInterval is measured with.
  explicit QtMessageQueue(Clock clock = std::chrono::steady_clock::now);
  ~QtMessageQueue() override;

  void ProcessMessages() override;
  void WaitForMessages(std::chrono::milliseconds timeout) override;
  void Synchronize(std::function<void()> fn) override;
  void Queue(std::function<void()> fn) override;

  static constexpr std::chrono::microseconds kMinimumInterval{8000};

 private:
  void ProcessQtEvents();

  std::thread::id owner_;
  Clock clock_;
  std::chrono::steady_clock::time_point last_events_{};
};

}  // namespace nerlo::app
