#include "scan/read_ahead.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <system_error>

#include "platform/message_queue.h"
#include "scan/file_find.h"
#include "sigdb/md5.h"
#include "sigdb/md5_multi.h"

namespace nerlo::scan {

namespace {

// Largest single read, and the piece of the fingerprint between two pacing calls.
constexpr size_t kReadPiece = 1024 * 1024;
constexpr size_t kHashPiece = 64 * 1024;

// The most bytes one helper takes in one batch (a single larger file is taken alone), which
// bounds how long Clear waits for the files in a helper's hands.
constexpr int64_t kBatchBytes = 16 << 20;

// The fewest files not begun that wake a helper (when the processor fingerprints one at a
// time, a helper still takes this many in a row for one wake-up).
constexpr size_t kMinHandOff = 8;

// The most 64-byte blocks a helper feeds each lane before it looks for new files again.
constexpr size_t kRunBlocks = 1024;

// How long the user-interface thread waits for a helper between two runs of its messages.
constexpr std::chrono::milliseconds kWaitSlice{5};

}  // namespace

void ReadWhole(platform::File& file, int64_t limit, ExaminedBytes& out,
               const std::function<void(size_t)>& pace) {
  FileBytes& buffer = out.bytes;
  buffer.clear();
  out.reason.clear();
  out.whole = true;
  const int64_t size = file.Stamp().size;
  if (size >= limit) {
    out.outcome = ExaminedBytes::Outcome::kTooLarge;
    return;
  }
  // Room for the whole file and one byte more, so that an unchanged file is read whole and
  // its end seen in the same buffer; a file that grows meanwhile gets more room, up to the
  // limit, and reaching the limit means it is too large to be examined.
  const size_t cap = static_cast<size_t>(limit);
  size_t held = 0;
  const size_t room = static_cast<size_t>(size) + 1;
  platform::ErrorCode error = 0;
  try {
    for (;;) {
      if (held == buffer.size()) {
        if (held >= cap) {
          out.outcome = ExaminedBytes::Outcome::kNotExamined;
          out.reason = "grew to the size limit while it was read";
          buffer.clear();
          return;
        }
        buffer.resize(std::min(std::max(room, 2 * held), cap));
      }
      const size_t ask = std::min(buffer.size() - held, kReadPiece);
      const int64_t n = file.Read(buffer.data() + held, ask, &error);
      if (n < 0) {
        out.outcome = ExaminedBytes::Outcome::kNotExamined;
        out.reason = ReasonText(error);
        buffer.clear();
        return;
      }
      if (n == 0) break;
      held += static_cast<size_t>(n);
      if (pace) pace(static_cast<size_t>(n));
      // A read that stopped short exactly at the size the file had when opened has met its
      // end: asking again would only be told so.
      if (static_cast<size_t>(n) < ask && held == static_cast<size_t>(size)) break;
    }
  } catch (const std::bad_alloc&) {
    out.outcome = ExaminedBytes::Outcome::kNotExamined;
    out.reason = "not enough memory to read it";
    buffer.clear();
    return;
  }
  buffer.resize(held);
  out.identity = file.Stamp().identity;
  out.stamp = file.Stamp();
  out.outcome = ExaminedBytes::Outcome::kRead;
}

namespace {

void SearchHeuristics(ExaminedBytes& out, const THeuristicScanner* scanner,
                      const std::function<void(size_t)>& pace) {
  out.heuristics_searched = scanner != nullptr;
  out.heuristic_hits.clear();
  if (scanner == nullptr) return;
  std::function<void()> pump;
  size_t interval = 0;
  if (pace) {
    interval = kHashPiece;
    pump = [&pace, interval] { pace(interval); };
  }
  out.heuristic_hits = scanner->Scan(out.bytes.data(), out.bytes.size(), pump, interval);
}

// How many files a helper holds at once: twice the messages its processor hashes side by side,
// so that a lane whose file ends finds the next one read.
size_t BatchSize() { return 2 * sigdb::MD5EngineLanes(sigdb::BestMD5Engine()); }

}  // namespace

void DigestBytes(ExaminedBytes& out, const THeuristicScanner* scanner,
                 const std::function<void(size_t)>& pace) {
  const FileBytes& bytes = out.bytes;
  sigdb::TMD5 md5;
  for (size_t at = 0; at < bytes.size(); at += kHashPiece) {
    const size_t piece = std::min(kHashPiece, bytes.size() - at);
    md5.Update(reinterpret_cast<const char*>(bytes.data()) + at, piece);
    if (pace) pace(piece);
  }
  out.md5_text = md5.DigestText();
  SearchHeuristics(out, scanner, pace);
}

TReadAhead::TReadAhead(size_t threads, size_t depth, int64_t max_bytes, int64_t size_limit,
                       const ThreadStarter& start, size_t kept_bytes)
    : size_limit_(size_limit),
      kept_bytes_(kept_bytes),
      depth_(std::max<size_t>(depth, 1)),
      max_bytes_(max_bytes),
      batch_(BatchSize()),
      hand_off_(std::max(batch_, kMinHandOff)) {
  threads_.reserve(threads);
  for (size_t i = 0; i < threads; ++i) {
    try {
      threads_.push_back(start([this] { Run(); }));
    } catch (const std::system_error& e) {
      // Out of threads or of memory for their stacks: fewer helpers, or the reads on the
      // caller's thread, rather than no scan.
      start_error_ = e.code().message();
      break;
    }
  }
}

size_t TReadAhead::OpenFiles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unstarted_;
}

TReadAhead::~TReadAhead() {
  Clear();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  work_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool TReadAhead::Full() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return threads_.empty() || jobs_.size() + ready_.size() >= depth_;
}

void TReadAhead::ReleaseTaken() {
  if (released_bytes_ == 0) return;
  held_bytes_ -= released_bytes_;
  released_bytes_ = 0;
  if (budget_blocked_) {
    budget_blocked_ = false;
    work_.notify_all();
  }
}

void TReadAhead::WakeForBatch() {
  // Fewer files are begun when the walk reports the first of them (TakeFront).
  if (unstarted_ >= std::min(hand_off_, depth_)) work_.notify_one();
}

void TReadAhead::Submit(platform::DirectoryRef dir, std::string name, platform::File file,
                        platform::ErrorCode error, const THeuristicScanner* scanner) {
  auto job = std::make_shared<Job>();
  job->dir = std::move(dir);
  job->name = std::move(name);
  job->scanner = scanner;
  const bool open = file.IsOpen();
  if (open) {
    // A file too large to be examined is never read: it holds nothing.
    job->bytes = file.Stamp().size < size_limit_ ? file.Stamp().size : 0;
    job->file = std::move(file);
  } else {
    job->result.outcome = ExaminedBytes::Outcome::kNotExamined;
    job->result.reason = ReasonText(error);
    job->started = job->done = true;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ReleaseTaken();
  jobs_.push_back(std::move(job));
  if (open) ++unstarted_;
  WakeForBatch();
}

void TReadAhead::SubmitDeferred(platform::DirectoryRef dir, std::string name) {
  auto job = std::make_shared<Job>();
  job->dir = std::move(dir);
  job->name = std::move(name);
  job->result.outcome = ExaminedBytes::Outcome::kDeferred;
  job->started = job->done = true;
  std::lock_guard<std::mutex> lock(mutex_);
  ReleaseTaken();
  jobs_.push_back(std::move(job));
}

bool TReadAhead::FrontIs(const platform::Directory* dir, const std::string& name) const {
  if (!ready_.empty()) return ready_.front()->dir.get() == dir && ready_.front()->name == name;
  std::lock_guard<std::mutex> lock(mutex_);
  return !jobs_.empty() && jobs_.front()->dir.get() == dir && jobs_.front()->name == name;
}

ExaminedBytes TReadAhead::TakeFront() {
  std::shared_ptr<Job> job;
  if (!ready_.empty()) {
    job = std::move(ready_.front());
    ready_.pop_front();
  } else {
    std::unique_lock<std::mutex> lock(mutex_);
    ReleaseTaken();
    if (jobs_.empty()) {
      ExaminedBytes none;
      none.outcome = ExaminedBytes::Outcome::kDeferred;
      return none;
    }
    // Held here: a message run while waiting may drop the line (Clear), and this file, which
    // the walk has reported, is still the one to examine.
    job = jobs_.front();
    // The file is needed now, whether or not a batch has gathered behind it.
    if (!job->started) work_.notify_all();
    while (!job->done) {
      idle_.wait_for(lock, kWaitSlice);
      if (job->done) break;
      // The windows stay responsive while a large file is read.
      lock.unlock();
      platform::ProcessMessages();
      lock.lock();
      if (job->dropped && !job->done) {
        // Dropped (Clear): no helper finishes it now, whether or not one had begun it; the
        // caller reads it.
        ExaminedBytes none;
        none.outcome = ExaminedBytes::Outcome::kDeferred;
        return none;
      }
    }
    if (!jobs_.empty() && jobs_.front() == job) {
      jobs_.pop_front();
      // Every result ready behind it is taken now too, so that the next files need no lock.
      while (!jobs_.empty() && jobs_.front()->done) {
        ready_.push_back(std::move(jobs_.front()));
        jobs_.pop_front();
      }
    } else {
      // Dropped meanwhile: Clear has already given back its bytes.
      return std::move(job->result);
    }
  }
  released_bytes_ += job->bytes;
  return std::move(job->result);
}

void TReadAhead::Clear() {
  // Jobs not begun are dropped at once (closing their files). Helpers reading or searching
  // are waited for, so that nothing they use (the scanner) may go away under them; files a
  // helper holds only to hash are its own, and it lets go of them when it next looks.
  std::deque<std::shared_ptr<Job>> dropped_ready;
  dropped_ready.swap(ready_);
  released_bytes_ = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  std::deque<std::shared_ptr<Job>> dropped;
  dropped.swap(jobs_);
  for (const std::shared_ptr<Job>& job : dropped) job->dropped = true;
  held_bytes_ = 0;
  unstarted_ = 0;
  budget_blocked_ = false;
  idle_.wait(lock, [this] { return running_ == 0; });
}

bool TReadAhead::TakeUnstarted(size_t most, std::vector<std::shared_ptr<Job>>& intake) {
  // Files are begun in their order: the first ones not begun, as many as have room.
  int64_t held = held_bytes_;
  int64_t taken = 0;
  bool first_unstarted = true;
  for (const std::shared_ptr<Job>& candidate : jobs_) {
    if (candidate->started) continue;
    if (held > 0 && held + candidate->bytes > max_bytes_) {
      // Woken again when results taken give back room.
      if (first_unstarted) budget_blocked_ = true;
      break;
    }
    first_unstarted = false;
    if (!intake.empty() && taken + candidate->bytes > kBatchBytes) break;
    intake.push_back(candidate);
    held += candidate->bytes;
    taken += candidate->bytes;
    if (intake.size() == most) break;
  }
  for (const std::shared_ptr<Job>& job : intake) {
    job->started = true;
    held_bytes_ += job->bytes;
  }
  unstarted_ -= intake.size();
  return !intake.empty();
}

void TReadAhead::KeepPrefix(Job& job) const {
  ExaminedBytes& result = job.result;
  if (!result.heuristics_searched || result.bytes.size() <= kept_bytes_) return;
  // A buffer of its own for the prefix, so that the file's whole buffer is freed now.
  FileBytes prefix(result.bytes.begin(),
                   result.bytes.begin() + static_cast<ptrdiff_t>(kept_bytes_));
  result.bytes.swap(prefix);
  result.whole = false;
  job.cut = true;
}

void TReadAhead::Run() {
  // The lanes outlive each intake: a lane whose file has ended takes the next file read at
  // once, so that the long files, which hold most of the bytes, are hashed side by side with
  // each other and not alone at the end of a batch.
  sigdb::MD5Lanes lanes;
  std::vector<std::shared_ptr<Job>> in_lane(lanes.Lanes());  // by lane tag
  std::deque<std::shared_ptr<Job>> waiting;                  // read, waiting for a lane
  std::vector<std::shared_ptr<Job>> intake;
  std::vector<std::shared_ptr<Job>> finished;
  std::vector<sigdb::MD5Lanes::Ended> ended;
  intake.reserve(batch_);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Files are taken while fewer than batch_ are in hand; with none in hand this helper
    // sleeps until a batch gathers (or the walk needs the next file).
    intake.clear();
    const size_t in_hand = lanes.Busy() + waiting.size();
    if (in_hand == 0) {
      work_.wait(lock, [this, &intake] { return ending_ || TakeUnstarted(batch_, intake); });
      if (ending_) return;
    } else if (in_hand < batch_ && unstarted_ > 0) {
      TakeUnstarted(batch_ - in_hand, intake);
    }
    // Files dropped by Clear are of no more use: their lanes go to the next ones.
    for (size_t tag = 0; tag < in_lane.size(); ++tag) {
      if (in_lane[tag] && in_lane[tag]->dropped) {
        lanes.Abandon(tag);
        in_lane[tag].reset();
      }
    }
    std::erase_if(waiting, [](const std::shared_ptr<Job>& job) { return job->dropped; });
    if (!intake.empty()) ++running_;
    lock.unlock();

    if (!intake.empty()) {
      // The whole intake is asked of the disk at once, so that a cold disk has several reads
      // in flight rather than the one this helper waits for.
      for (const std::shared_ptr<Job>& job : intake)
        if (job->file.IsOpen()) job->file.Prefetch(std::min(job->file.Stamp().size, size_limit_));
      for (const std::shared_ptr<Job>& job : intake) {
        ReadWhole(job->file, size_limit_, job->result);
        job->file.Close();
        if (job->result.outcome != ExaminedBytes::Outcome::kRead) {
          finished.push_back(job);
          continue;
        }
        // Searched while its bytes are still in the cache from the read.
        SearchHeuristics(job->result, job->scanner, {});
        waiting.push_back(job);
      }
    }
    for (size_t tag = 0; tag < in_lane.size() && !waiting.empty(); ++tag) {
      if (in_lane[tag]) continue;
      const FileBytes& bytes = waiting.front()->result.bytes;
      lanes.Add(tag, sigdb::MD5Message(bytes.data(), bytes.size()));
      in_lane[tag] = std::move(waiting.front());
      waiting.pop_front();
    }
    ended.clear();
    lanes.Run(kRunBlocks, ended);
    for (const sigdb::MD5Lanes::Ended& done : ended) {
      Job& job = *in_lane[done.tag];
      job.result.md5_text = sigdb::MD5DigestText(done.digest);
      KeepPrefix(job);
      finished.push_back(std::move(in_lane[done.tag]));
    }

    lock.lock();
    if (!intake.empty()) --running_;
    for (const std::shared_ptr<Job>& job : finished) {
      job->done = true;
      // A dropped job's bytes left the budget when it was dropped.
      if (job->cut && !job->dropped) {
        const int64_t kept = static_cast<int64_t>(job->result.bytes.size());
        if (job->bytes > kept) {
          held_bytes_ -= job->bytes - kept;
          job->bytes = kept;
          if (budget_blocked_) {
            budget_blocked_ = false;
            work_.notify_all();
          }
        }
      }
    }
    if (!intake.empty() || !finished.empty()) idle_.notify_all();
    if (!finished.empty()) {
      // Jobs dropped meanwhile go now, with their bytes, outside the lock.
      lock.unlock();
      finished.clear();
      lock.lock();
    }
  }
}

}  // namespace nerlo::scan
