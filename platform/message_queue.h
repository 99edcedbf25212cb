// The user-interface thread's message queue, as the engine sees it.
//
// The walk, the heuristic matcher and the lookup workers only ever use this interface: the
// desktop program implements it over its event loop, the command-line scanner and the tests
// use PlainMessageQueue. The process has one installed queue (Messages()); the free functions
// below forward to it.
//
// Exceptions: an exception that escapes a call posted by Synchronize or Queue is swallowed on
// the user-interface thread, by every queue, and the calls after it still run. Nothing may
// unwind through the desktop program's event loop, and a worker cannot be told of a failure
// through the queue: a call that can fail reports it itself (the engine's calls catch and
// report their own errors).
#pragma once

#include <atomic>
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
  // swallowed.
  virtual void Synchronize(std::function<void()> fn) = 0;

  // Any thread: has fn run on the user-interface thread later, without waiting. Calls posted
  // by Synchronize and Queue run in the order in which they were posted. An exception that
  // escapes fn is swallowed.
  virtual void Queue(std::function<void()> fn) = 0;

 protected:
  // The posted calls, common to every queue.

  // Synchronize's common part: on the user-interface thread (owner) runs fn at once;
  // elsewhere posts it with Queue and waits until it has run.
  void RunOrQueueAndWait(std::thread::id owner, std::function<void()> fn);

  // Any thread: appends fn to the posted calls and wakes WaitForPosted. wake, when given, runs
  // under the same lock (it may not post): a queue that must also wake an event loop does it
  // there, since the queue may be gone as soon as fn has run.
  void Post(std::function<void()> fn, const std::function<void()>& wake = {});

  // User-interface thread: runs the posted calls, in order, until none is left (also those
  // that they post), swallowing what escapes them.
  void RunPosted();

  // True when a call is posted; a hint for skipping RunPosted's lock, any thread.
  bool AnyPosted() const { return any_posted_.load(std::memory_order_relaxed); }

  // Waits until a call is posted or timeout has passed.
  void WaitForPosted(std::chrono::milliseconds timeout);

 private:
  std::mutex posted_mutex_;
  std::condition_variable posted_cv_;
  std::deque<std::function<void()>> posted_;
  std::atomic<bool> any_posted_{false};
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
  std::thread::id owner_;
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
