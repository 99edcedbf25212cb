// Deletions through the quarantine, made durable together. Each detection's file is checked,
// moved aside and copied into the quarantine at once, as DeleteAt and Quarantine::Stage do;
// the copies of several files are then made durable by one flush of the quarantine's file
// system, and only after it are the files removed. A flush per file would cost a disk cache
// flush per deleted file, which is most of the time of a scan that deletes many.
//
// While a deletion waits, its file is under its hidden name in its folder, held by handles
// of the file and of the folder, and the quarantine has a marker of it and its copy under a
// temporary name: a process killed then leaves the file to be given its name back by the next
// start (see Quarantine::Open), never lost. A failed flush gives every waiting file its name
// back, with the reason.
//
// The flush of a full batch runs on a thread of its own (Seal), so that the next files are
// examined, copied and join the next batch while the disk writes; only one flush runs at a
// time, and a batch's files are removed on the caller's thread once its flush has ended
// (Collect, or Finish).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "scan/quarantine.h"
#include "scan/thread_start.h"

namespace nerlo::scan {

// The outcome of a deletion through the quarantine.
struct KeptDeletion {
  platform::DeleteResult result;  // as platform::DeleteAt says; for a refusal also why
  std::string id;                 // the entry made, when the file was deleted
};

// How many deletions may wait for one flush: at most files of them, of at most bytes bytes
// together, the first at most age long (as Due tells; the caller looks).
struct DeletionLimits {
  size_t files = 64;
  int64_t bytes = 32 << 20;
  std::chrono::milliseconds age{500};
};

class DeletionBatch {
 public:
  using Clock = std::chrono::steady_clock;

  // start starts the thread of a flush; when it cannot, the flush runs at once.
  explicit DeletionBatch(DeletionLimits limits = {}, ThreadStarter start = StartThread)
      : limits_(limits), start_(std::move(start)) {}
  // Deletions still waiting are abandoned (after a flush in progress has ended): their files
  // get their names back.
  ~DeletionBatch() { Abandon("the deletion was cancelled"); }
  DeletionBatch(const DeletionBatch&) = delete;
  DeletionBatch& operator=(const DeletionBatch&) = delete;

  const DeletionLimits& Limits() const { return limits_; }
  // Takes effect from the next Add (files at least 1).
  void SetLimits(DeletionLimits limits);
  // Test hook: replaces the clock that Due reads.
  void SetClock(Clock::time_point (*now)()) { now_ = now; }

  // Begins deleting the entry name of dir, the file examined (shown as path; check names the
  // check that fired; content, the bytes the scan examined, when it has them), after keeping
  // it in quarantine, as DeleteKeeping does. Returns the
  // outcome when the deletion ended at once: refused or already gone (the file is in its
  // place, or was not there), or with a null quarantine a plain platform::DeleteAt. Returns
  // nullopt when it waits: Collect or Finish gives its outcome, in the order of the Adds. The
  // caller finishes the batch first when Fits says no, and seals it after an Add that makes
  // it Full; every waiting deletion goes through the same quarantine.
  std::optional<KeptDeletion> Add(Quarantine* quarantine, const platform::Directory& dir,
                                  const std::string& name, const platform::FileStamp& examined,
                                  const std::string& path, std::string_view check,
                                  const ExaminedContent& content = {});

  // No deletion waits, neither to join a batch nor for a flush.
  bool Empty() const { return waiting_.empty() && sealed_.empty(); }
  // The deletions not yet sealed.
  size_t Size() const { return waiting_.size(); }
  // The deletions not yet sealed have reached the limit of files or bytes.
  bool Full() const;
  // A deletion of a file of size bytes through quarantine may join the waiting ones.
  bool Fits(const Quarantine* quarantine, int64_t size) const;
  // The first deletion not yet sealed has waited the limit's age or longer.
  bool Due() const;
  // A deletion of the file identity waits (sealed or not).
  bool Holds(const platform::FileIdentity& identity) const;

  // Seals the deletions not yet sealed as a batch and starts making their copies durable
  // (Quarantine::Flush) on a thread of its own. A batch sealed before is finished first (its
  // flush waited for, as Collect); its outcomes are returned. Nothing to seal: as Collect
  // after waiting.
  std::vector<KeptDeletion> Seal();
  // The flush of the sealed batch has ended, so that Collect returns without waiting.
  bool FlushEnded() const;
  // When the flush of the sealed batch has ended: publishes each entry and removes its file
  // (platform::PendingDeletion::Finish), in the order of the Adds, and returns the outcomes;
  // a file changed meanwhile gets its name back and its entry is dropped. When the flush
  // failed, every file (also those not yet sealed, whose copies the failed write may have
  // been one of) gets its name back and the outcomes are refusals with the flush's reason.
  // No flush ended: nothing.
  std::vector<KeptDeletion> Collect();
  // Ends every deletion: the sealed batch as Collect (after waiting for its flush), then the
  // others after a flush of their own; outcomes in the order of the Adds. Afterwards nothing
  // waits.
  std::vector<KeptDeletion> Finish();
  // Gives every waiting file its name back (after waiting for a flush in progress) and drops
  // its copy; the outcomes are refusals with reason, in the order of the Adds.
  std::vector<KeptDeletion> Abandon(const std::string& reason);

 private:
  struct Waiting {
    platform::PendingDeletion deletion;
    std::string id;
    platform::FileIdentity identity;
  };
  // Drops the copy of w after its outcome; fills done's id when it was deleted.
  void Settle(Waiting& w, KeptDeletion& done);
  // Waits for the flush thread, when one runs.
  void JoinFlush();
  // Ends the deletions of batch: removes the files when flushed, else gives every one its
  // name back with the reason; appends the outcomes to outcomes.
  void End(std::vector<Waiting>& batch, bool flushed, const std::string& reason,
           std::vector<KeptDeletion>& outcomes);

  DeletionLimits limits_;
  ThreadStarter start_;
  Clock::time_point (*now_)() = &Clock::now;
  Quarantine* quarantine_ = nullptr;
  // Deletions not yet sealed, with their bytes and when the first was added.
  std::vector<Waiting> waiting_;
  int64_t bytes_ = 0;
  Clock::time_point first_added_{};
  // The sealed batch, its pending marker, and its flush: the thread running it (not joinable
  // when it ran at once), whether it has ended, and its result.
  std::vector<Waiting> sealed_;
  platform::NewFile sealed_marker_;
  std::thread flush_thread_;
  std::atomic<bool> flush_ended_{false};
  bool flush_ok_ = false;
  std::string flush_reason_;
};

// Deletes the entry name of dir, the file examined (shown as path), as platform::DeleteAt
// does, after keeping it in quarantine: a deletion batch of one. The moved-aside file is
// copied through its descriptor and the copy flushed to the disk before the file is removed;
// when it cannot be kept it gets its name back and the outcome is kRefused with the reason.
// quarantine null: plain DeleteAt.
KeptDeletion DeleteKeeping(Quarantine* quarantine, const platform::Directory& dir,
                           const std::string& name, const platform::FileStamp& examined,
                           const std::string& path, std::string_view check,
                           const ExaminedContent& content = {});

}  // namespace nerlo::scan
