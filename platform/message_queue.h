// The user-interface thread's message queue, as the engine sees it.
//
// The walk, the heuristic matcher and the lookup workers only ever use this interface: the
// desktop program implements it over its event loop, the command-line scanner and the tests
// use PlainMessageQueue. The process has one installed queue (Messages()); the free functions
// below forward to it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace nerlo::platform {

class MessageQueue {
 public:
  virtual ~MessageQueue() = default;

  // User-interface thread only: runs every message that is pending, including messages that
  // the running ones post, and returns when none is left. The engine calls this very often
  // (after every file, every directory entry and every block that the heuristic matcher
  // reads), so an implementation may return at once, running nothing, when it last ran less
  // than a few milliseconds ago: the desktop program's queue does (see QtMessageQueue). A
  // caller that must see its messages run waits with WaitForMessages, which never skips.
  virtual void ProcessMessages() = 0;

  // User-interface thread only: waits until a message is pending or timeout has passed, then
  // runs what is pending as ProcessMessages does, whenever it last ran. Used by loops that
  // wait for workers.
  virtual void WaitForMessages(std::chrono::milliseconds timeout) = 0;

  // Any thread: runs fn on the user-interface thread and returns once it has run. Called on
  // the user-interface thread itself, it runs fn at once. An exception that escapes fn is
  // swallowed on the user-interface thread.
  virtual void Synchronize(std::function<void()> fn) = 0;

  // Any thread: has fn run on the user-interface thread later, without waiting. Calls posted
  // by Synchronize and Queue run in the order in which they were posted.
  virtual void Queue(std::function<void()> fn) = 0;

 protected:
  // Synchronize's common part: on the user-interface thread (owner) runs fn at once;
  // elsewhere posts it with Queue and waits until it has run. An exception that escapes fn
  // is swallowed.
  void RunOrQueueAndWait(std::thread::id owner, std::function<void()> fn);
};

// A mutex-and-condition queue drained by ProcessMessages. The thread that creates it is its
// user-interface thread.
class PlainMessageQueue : public MessageQueue {
 public:
  PlainMessageQueue();
  ~PlainMessageQueue() override;

  void ProcessMessages() override;
  void WaitForMessages(std::chrono::milliseconds timeout) override;
  void Synchronize(std::function<void()> fn) override;
  void Queue(std::function<void()> fn) override;

 private:
  void RunPending(std::unique_lock<std::mutex>& lock);

  std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> pending_;
};

// The installed queue. Until one is installed, a PlainMessageQueue owned by this module serves,
// created on first use by the thread that uses it first.
MessageQueue& Messages();

// Installs queue as the process's queue (nullptr restores the default). The caller keeps it
// alive while it is installed. Call only while no worker runs.
void InstallMessageQueue(MessageQueue* queue);

inline void ProcessMessages() { Messages().ProcessMessages(); }
inline void Synchronize(std::function<void()> fn) { Messages().Synchronize(std::move(fn)); }
inline void Queue(std::function<void()> fn) { Messages().Queue(std::move(fn)); }

}  // namespace nerlo::platform
