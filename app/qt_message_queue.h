// The message queue of the desktop program, over Qt's event loop. Install it (InstallMessageQueue)
// after the application object exists and before any window is created.
#pragma once

#include <QObject>
#include <chrono>
#include <thread>

#include "platform/message_queue.h"

namespace nerlo::app {

class QtMessageQueue : public QObject, public platform::MessageQueue {
 public:
  // The calling thread, which must run Qt's event loop, becomes the user-interface thread.
  QtMessageQueue();

  // Lets Qt process its pending events (input, painting, timers, and the calls that Queue and
  // Synchronize posted). Returns at once, without processing, when it last ran less than
  // kMinimumInterval ago: the engine asks for this once per block of every file, far more
  // often than anything on screen can change.
  void ProcessMessages() override;
  void WaitForMessages(std::chrono::milliseconds timeout) override;
  void Synchronize(std::function<void()> fn) override;
  void Queue(std::function<void()> fn) override;

  static constexpr std::chrono::microseconds kMinimumInterval{4000};

 private:
  void RunAll();

  std::thread::id owner_;
  std::chrono::steady_clock::time_point last_run_{};
};

}  // namespace nerlo::app
