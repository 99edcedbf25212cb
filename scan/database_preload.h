// Reading the scan's databases, and building their indexes, on threads of their own while the
// walk begins, so that the first lookups of a scan do not read them on the user-interface
// thread, with the windows unanswered meanwhile.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "scan/thread_start.h"

namespace nerlo::scan {

// The databases are read into the snapshots that every sigdb::TFileSearch of the process
// shares: a search that takes a database's name once its read has ended finds it there, with
// its index, instead of reading it again. A database that cannot be read is left to the first
// search that takes its name, which reads it and reports why it could not (nothing is reported
// here).
//
// All methods are for the user-interface thread.
class TDatabasePreload {
 public:
  explicit TDatabasePreload(ThreadStarter start = StartThread) : start_(std::move(start)) {}
  // Waits for the reads still running.
  ~TDatabasePreload();
  TDatabasePreload(const TDatabasePreload&) = delete;
  TDatabasePreload& operator=(const TDatabasePreload&) = delete;

  // Begins reading each of paths on a thread of its own, once the reads of an earlier Start
  // have ended. A path whose thread cannot be started is left to its first search.
  void Start(const std::vector<std::string>& paths);

  // Returns once the read of path begun by Start has ended (at once for a path not being
  // read), running messages meanwhile so that the windows stay responsive.
  void Await(const std::string& path);

 private:
  struct Read {
    std::string path;
    std::atomic<bool> done{false};
    std::thread thread;
  };
  void JoinAll();

  ThreadStarter start_;
  // Shared: a message run while Await waits may begin the next reads (Start).
  std::vector<std::shared_ptr<Read>> reads_;
};

}  // namespace nerlo::scan
