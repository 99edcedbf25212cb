// Lookup workers: each looks byte-window signatures up in the window database on a thread of
// its own and hands its findings back to the user-interface thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "scan/thread_start.h"
#include "sigdb/file_search.h"

namespace nerlo::scan {

// One window lookup, handed to a worker when it is started and kept unchanged by the worker
// until the lookup has ended.
struct WindowLookupRequest {
  std::string file_path;        // the scanned file, as the walk reported it
  int window_number = 0;        // 1 to 8, equal to the worker's number
  std::string database_path;    // the window database, tdb.ldb
  std::string signature;        // the encoded hex text of the window
  platform::FileIdentity file;  // the file whose bytes the window was taken from
  platform::FileStamp stamp;    // that file as it was read: a deletion needs it unchanged
  // The folder that holds that file, and its name there: a detection deletes through these.
  // Sharing the folder costs no descriptor while the request waits (the platform bounds the
  // handles that are open).
  platform::DirectoryRef directory;
  std::string name;
};

class TWorker;

// One execution of a worker: the lookup of one request. Created by Start, ended by the end
// notice on the user-interface thread.
class TWorkerExecuteThread {
 public:
  TWorkerExecuteThread(TWorker& worker, intptr_t data) : worker_(worker), data_(data) {}
  TWorker& Worker() const { return worker_; }
  intptr_t& Data() { return data_; }
  int Progress() const { return progress_; }
  // Set when the worker is destroyed while this execution runs; the lookup does not look.
  bool Terminated() const { return terminated_; }
  void Terminate() { terminated_ = true; }

 private:
  TWorker& worker_;
  intptr_t data_;
  int progress_ = 0;
  std::atomic<bool> terminated_{false};
};

// Keeps the count of its members' running executions. Thread-safe.
class TWorkerGroup {
 public:
  void Join(TWorker* worker);
  void Leave(TWorker* worker);
  int RunningCount() const;

 private:
  friend class TWorker;
  void ExecutionStarted();
  void ExecutionEnded();

  mutable std::mutex mutex_;
  std::vector<TWorker*> members_;
  int running_ = 0;
};

// A worker runs one lookup at a time on its own thread. Start, Busy, the end notice and
// destruction belong to the user-interface thread; OnExecute runs on the worker's thread.
// When that thread cannot be started (StartError tells why), every lookup of the worker runs
// within Start, on the caller's thread, end notice included: slower, but none is lost and
// nothing waits for a thread that does not exist.
//
// A request that arrives while the worker is running, or while its end notice is pending,
// waits in the worker's queue (first in, first out) and is started when the end notice has
// been handled; no request is ever dropped. The queue holds at most kMaxQueued requests: Start
// on a full queue processes messages until there is room.
class TWorker {
 public:
  using DataNotifyEvent =
      std::function<void(TWorker& sender, TWorkerExecuteThread& thread, intptr_t& data)>;

  static constexpr size_t kMaxQueued = 1024;

  TWorker() = default;
  // Drops the queued requests and, if a lookup runs, waits for it while processing messages
  // (so that its hit report is still handled), then ends the worker's thread.
  ~TWorker();
  TWorker(const TWorker&) = delete;
  TWorker& operator=(const TWorker&) = delete;

  TWorkerGroup* ThreadGroup() const { return group_; }
  void SetThreadGroup(TWorkerGroup* group);

  // The search that the worker prepares for each request: Filename is set to the request's
  // database path and Pattern to its signature before the lookup runs. Not owned.
  sigdb::TFileSearch* Search() const { return search_; }
  void SetSearch(sigdb::TFileSearch* search) { search_ = search; }

  // Runs on the worker's thread for every lookup. An exception that escapes it is swallowed.
  DataNotifyEvent OnExecute;

  // Starts a lookup of request now if the worker is idle, else queues it.
  void Start(WindowLookupRequest request);
  // True while a lookup runs or requests wait.
  bool Busy() const { return execution_ != nullptr || !queue_.empty(); }

  // The request of the running (or last) lookup. Read by OnExecute.
  const WindowLookupRequest& Request() const { return request_; }

  // How the worker's thread is started when the first lookup comes (StartThread unless
  // replaced before it).
  void SetThreadStarter(ThreadStarter start) { start_thread_ = std::move(start); }
  // The system's text of why the worker's thread could not be started; empty while it could.
  const std::string& StartError() const { return start_error_; }

 private:
  void Begin(WindowLookupRequest request);
  // Runs the armed execution on this thread, then its end notice.
  void RunInline();
  void EndNotice();
  void ThreadMain();

  TWorkerGroup* group_ = nullptr;
  sigdb::TFileSearch* search_ = nullptr;
  WindowLookupRequest request_;
  std::unique_ptr<TWorkerExecuteThread> execution_;
  std::deque<WindowLookupRequest> queue_;
  bool destroying_ = false;

  // Hand-over to the worker's thread.
  std::mutex mutex_;
  std::condition_variable wake_;
  TWorkerExecuteThread* job_ = nullptr;
  bool quit_ = false;
  ThreadStarter start_thread_ = StartThread;
  std::string start_error_;
  std::thread thread_;
};

}  // namespace nerlo::scan
