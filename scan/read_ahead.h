// Reading and fingerprinting of files ahead of the walk, on helper threads, so that both
// processor cores work while the user-interface thread hands out verdicts and lookups.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "scan/file_bytes.h"
#include "scan/heuristic_scanner.h"
#include "scan/thread_start.h"

namespace nerlo::scan {

// What one read of a file gave: its bytes (at most the size limit), with everything that is
// worked out from the bytes alone, before any verdict.
struct ExaminedBytes {
  enum class Outcome {
    kRead,         // bytes, identity and md5_text hold the file
    kTooLarge,     // at or above the size limit when opened: not examined, not an error
    kNotExamined,  // could not be opened or read, or grew to the limit while it was read
    kDeferred,     // not read ahead (the line was full): to be read when the walk reports it
  };
  Outcome outcome = Outcome::kNotExamined;
  std::string reason;  // kNotExamined: the system's error text, or why
  FileBytes bytes;
  platform::FileIdentity identity;
  // Identity, size and change times of the file as it was opened for this read: a deletion
  // removes the file only while it still has them.
  platform::FileStamp stamp;
  std::string md5_text;  // the MD5 text of bytes
  // The 0-based heuristic list places that occur in bytes, ascending; meaningful only when
  // heuristics_searched is set (the search is skipped while the heuristics switch is off).
  std::vector<size_t> heuristic_hits;
  bool heuristics_searched = false;
  // False when bytes holds only the file's first bytes (a read-ahead that keeps a prefix cut
  // the rest once the file was hashed and searched): md5_text and heuristic_hits still
  // describe the whole file as it was read.
  bool whole = true;
};

// Reads the open file from its current position to its end into out, refusing to hold
// limit bytes or more: a file that reaches limit while it is read is not examined. size_hint
// is the size taken from the descriptor. pace, when given, is called with the count of every
// piece read. Fills outcome, reason, bytes, identity and stamp; the buffer's allocation is
// reused.
void ReadWhole(platform::File& file, int64_t limit, ExaminedBytes& out,
               const std::function<void(size_t)>& pace = {});

// Computes md5_text and, when scanner is given, heuristic_hits of out's bytes. pace as above.
void DigestBytes(ExaminedBytes& out, const THeuristicScanner* scanner,
                 const std::function<void(size_t)>& pace = {});

// A first-in first-out line of files opened by the user-interface thread and read, hashed and
// searched for the heuristic strings by helper threads. The user-interface thread submits a
// file when the walk lists it and takes the results in the same order when the walk reports
// it; what was never reported is dropped unused. A helper holds up to twice as many files as
// its processor fingerprints side by side (within a byte budget): it reads each file it takes
// and searches it at once, then hashes it in a lane of its own beside the others it holds,
// and hands each over as its hash ends. A lane whose file has ended takes the next file read,
// so the lanes stay full across the helper's intakes.
//
// Threads wake each other once per batch, not once per file: a helper is woken when a whole
// batch of files waits to be begun (or the file the walk reports next has not been begun), and the
// user-interface thread, when it has to wait for a result, takes every result ready after it under
// the same lock and serves the next files from those.
//
// All methods are for the user-interface thread. The scanner handed to Submit must stay
// loaded and unchanged until the job has been taken or dropped (Clear waits for every helper
// that is reading or searching, so a Clear before reloading it is enough).
class TReadAhead {
 public:
  // threads helper threads (none: Submit never queues, Full is always true); at most depth
  // jobs are queued, and files of at most max_bytes in all (whatever their number, one) are
  // read and held at once: a file without room waits, open, until the files before it have
  // been taken, and is then read in its turn. A helper that cannot be started (start raises
  // std::system_error) is done without: ThreadCount and StartError tell it, and with none
  // every file is read by the caller. Nothing started is left running when this raises.
  //
  // kept_bytes: once a file has been hashed and searched for the heuristic strings, only its
  // first kept_bytes bytes are kept for the taker (whole set to false), and the rest goes back
  // to the budget at once instead of when the walk takes the file, which may be long after
  // (the walk waits for the files before it in its order). A file that was not searched is
  // kept whole, since its taker may still have to search it.
  TReadAhead(size_t threads, size_t depth, int64_t max_bytes, int64_t size_limit,
             const ThreadStarter& start = StartThread, size_t kept_bytes = kKeepWhole);
  static constexpr size_t kKeepWhole = static_cast<size_t>(-1);
  // Drops every job and ends the helper threads.
  ~TReadAhead();
  TReadAhead(const TReadAhead&) = delete;
  TReadAhead& operator=(const TReadAhead&) = delete;

  // True when no further job can be submitted now.
  bool Full() const;

  // Helper threads running, and the system's text of why the others could not be started
  // (empty when all were).
  size_t ThreadCount() const { return threads_.size(); }
  const std::string& StartError() const { return start_error_; }
  // Files queued open and not yet begun: each holds a descriptor.
  size_t OpenFiles() const;

  // Queues the file (already opened; when open failed, error says why and the job is done at
  // once) under the key (dir, name) that FrontIs compares.
  void Submit(platform::DirectoryRef dir, std::string name, platform::File file,
              platform::ErrorCode error, const THeuristicScanner* scanner);

  // Queues (dir, name) as done, kDeferred, without opening it.
  void SubmitDeferred(platform::DirectoryRef dir, std::string name);

  // Whether the oldest job is the one for (dir, name).
  bool FrontIs(const platform::Directory* dir, const std::string& name) const;

  // Takes the oldest job's result, waiting for it (running messages meanwhile, so the
  // windows stay responsive) when a helper is still at work on it. With no job, or when a
  // message run meanwhile dropped the job before a helper began it, the result is kDeferred:
  // the caller reads the file itself.
  ExaminedBytes TakeFront();

  // Drops every job, waiting for the helpers to let go of the ones they are working on.
  void Clear();

 private:
  struct Job {
    platform::DirectoryRef dir;
    std::string name;
    platform::File file;
    const THeuristicScanner* scanner = nullptr;
    int64_t bytes = 0;  // what the job holds against max_bytes once started
    bool cut = false;   // its bytes were cut to the kept prefix: bytes is to be lowered
    bool started = false;
    bool done = false;
    bool dropped = false;  // by Clear: a helper holding it lets go without finishing it
    ExaminedBytes result;
  };

  void Run();
  // Cuts the finished job's bytes to the kept prefix when it was searched and is longer.
  void KeepPrefix(Job& job) const;
  // Lock held. Begins up to most of the first files not begun that fit the byte budget (one
  // intake holds at most kBatchBytes, or one larger file), appending them to intake.
  bool TakeUnstarted(size_t most, std::vector<std::shared_ptr<Job>>& intake);
  // Lock held. Returns the bytes of the results taken since the last call to the budget and
  // wakes the helpers when a file was waiting for that room.
  void ReleaseTaken();
  // Lock held. Wakes a helper when enough files wait to be begun to make a batch.
  void WakeForBatch();

  const int64_t size_limit_;
  const size_t kept_bytes_;
  const size_t depth_;
  const int64_t max_bytes_;
  const size_t batch_;     // the most files one helper holds at once
  const size_t hand_off_;  // files not begun that make a helper worth waking
  int64_t held_bytes_ = 0;
  size_t unstarted_ = 0;         // jobs queued open and not yet begun
  bool budget_blocked_ = false;  // a helper waits for room in max_bytes_
  mutable std::mutex mutex_;
  std::condition_variable work_;  // a job to start, or the end
  std::condition_variable idle_;  // a job has finished
  std::deque<std::shared_ptr<Job>> jobs_;
  size_t running_ = 0;
  bool ending_ = false;
  // User-interface thread only: results taken out of jobs_ in one go, in their order, and the
  // bytes of results handed out since the lock was last held (still counted in held_bytes_).
  std::deque<std::shared_ptr<Job>> ready_;
  int64_t released_bytes_ = 0;
  std::vector<std::thread> threads_;
  std::string start_error_;
};

}  // namespace nerlo::scan
