// Threads of the engine held at their start until a test lets them go, so that the test
// decides what happens before they do any work.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "scan/thread_start.h"

namespace nerlo::testing {

class HeldThreads {
 public:
  // Starts threads that wait for Release before they run their body.
  scan::ThreadStarter Starter() {
    return [this](std::function<void()> body) {
      return std::thread([this, body = std::move(body)] {
        {
          std::unique_lock<std::mutex> lock(mutex_);
          go_.wait(lock, [this] { return released_; });
        }
        body();
      });
    };
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    go_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable go_;
  bool released_ = false;
};

}  // namespace nerlo::testing
