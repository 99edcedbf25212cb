#include "scan/deletion_batch.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <utility>

namespace nerlo::scan {

void DeletionBatch::SetLimits(DeletionLimits limits) {
  limits.files = std::max<size_t>(limits.files, 1);
  limits_ = limits;
}

bool DeletionBatch::Full() const {
  return waiting_.size() >= limits_.files || bytes_ >= limits_.bytes;
}

bool DeletionBatch::Fits(const Quarantine* quarantine, int64_t size) const {
  if (Empty()) return true;
  if (quarantine != quarantine_ || !quarantine->RoomBesideStaged(size)) return false;
  // A file larger than a batch may have one of its own.
  return waiting_.empty() || (!Full() && bytes_ + size <= limits_.bytes);
}

bool DeletionBatch::Due() const {
  return !waiting_.empty() && now_() - first_added_ >= limits_.age;
}

bool DeletionBatch::Holds(const platform::FileIdentity& identity) const {
  const auto same = [&](const Waiting& w) { return w.identity == identity; };
  return std::any_of(waiting_.begin(), waiting_.end(), same) ||
         std::any_of(sealed_.begin(), sealed_.end(), same);
}

std::optional<KeptDeletion> DeletionBatch::Add(Quarantine* quarantine,
                                               const platform::Directory& dir,
                                               const std::string& name,
                                               const platform::FileStamp& examined,
                                               const std::string& path, std::string_view check,
                                               const ExaminedContent& content) {
  KeptDeletion ended;
  if (quarantine == nullptr) {
    ended.result = platform::DeleteAt(dir, name, examined);
    return ended;
  }
  const std::string id = quarantine->NewEntryId();
  bool staged = false;
  const platform::KeepHook keep = [&](platform::AsideFile& file, std::string* reason) {
    if (!quarantine->MarkPending(id, path, file.AsideName(), examined.identity, reason))
      return false;
    quarantine->Step("pending");
    staged = quarantine->Stage(file, path, check, id, reason, content);
    return staged;
  };
  platform::PendingDeletion deletion;
  if (!platform::BeginDeleteAt(dir, name, examined, keep, &deletion, &ended.result)) {
    quarantine->Step("deleted");
    // The file stays (or was not there): its copy is not needed.
    if (staged) quarantine->Unstage(id);
    if (waiting_.empty()) quarantine->ClearPending();
    return ended;
  }
  if (waiting_.empty()) first_added_ = now_();
  quarantine_ = quarantine;
  waiting_.push_back(Waiting{std::move(deletion), id, examined.identity});
  bytes_ += examined.size;
  return std::nullopt;
}

void DeletionBatch::Settle(Waiting& w, KeptDeletion& done) {
  quarantine_->Step("deleted");
  if (done.result.outcome == platform::DeleteOutcome::kDeleted)
    done.id = w.id;
  else
    quarantine_->Unstage(w.id);  // the file stays: its copy is no longer needed
}

void DeletionBatch::End(std::vector<Waiting>& batch, bool flushed, const std::string& reason,
                        std::vector<KeptDeletion>& outcomes) {
  for (Waiting& w : batch) {
    KeptDeletion done;
    if (std::string why; !flushed)
      done.result = w.deletion.Abandon(reason);
    else if (!quarantine_->Publish(w.id, &why))
      done.result = w.deletion.Abandon(why);
    else
      done.result = w.deletion.Finish();
    Settle(w, done);
    outcomes.push_back(std::move(done));
  }
  batch.clear();
}

void DeletionBatch::JoinFlush() {
  if (flush_thread_.joinable()) flush_thread_.join();
}

bool DeletionBatch::FlushEnded() const {
  return !sealed_.empty() && flush_ended_.load(std::memory_order_acquire);
}

std::vector<KeptDeletion> DeletionBatch::Collect() {
  std::vector<KeptDeletion> outcomes;
  if (!FlushEnded()) return outcomes;
  JoinFlush();
  outcomes.reserve(sealed_.size());
  End(sealed_, flush_ok_, flush_reason_, outcomes);
  sealed_marker_.Discard();
  // A failed write reported by this flush may have been one of the copies made since it
  // began: the deletions not yet sealed are given up too.
  if (!flush_ok_) {
    End(waiting_, false, flush_reason_, outcomes);
    quarantine_->ClearPending();
    bytes_ = 0;
  }
  if (waiting_.empty()) quarantine_ = nullptr;
  return outcomes;
}

std::vector<KeptDeletion> DeletionBatch::Seal() {
  JoinFlush();
  std::vector<KeptDeletion> outcomes = Collect();
  if (waiting_.empty()) return outcomes;
  sealed_ = std::move(waiting_);
  waiting_.clear();
  bytes_ = 0;
  sealed_marker_ = quarantine_->TakePendingMarker();
  flush_ended_.store(false, std::memory_order_relaxed);
  flush_ok_ = false;
  flush_reason_.clear();
  Quarantine* quarantine = quarantine_;
  const auto flush = [this, quarantine] {
    flush_ok_ = quarantine->Flush(&flush_reason_);
    flush_ended_.store(true, std::memory_order_release);
  };
  try {
    flush_thread_ = start_(flush);
  } catch (const std::exception&) {
    flush();  // no thread to spare: the flush runs now
  }
  return outcomes;
}

std::vector<KeptDeletion> DeletionBatch::Finish() {
  std::vector<KeptDeletion> outcomes = Seal();
  JoinFlush();
  std::vector<KeptDeletion> rest = Collect();
  outcomes.insert(outcomes.end(), std::make_move_iterator(rest.begin()),
                  std::make_move_iterator(rest.end()));
  return outcomes;
}

std::vector<KeptDeletion> DeletionBatch::Abandon(const std::string& reason) {
  std::vector<KeptDeletion> outcomes;
  JoinFlush();
  if (Empty()) return outcomes;
  outcomes.reserve(sealed_.size() + waiting_.size());
  End(sealed_, false, reason, outcomes);
  sealed_marker_.Discard();
  End(waiting_, false, reason, outcomes);
  quarantine_->ClearPending();
  bytes_ = 0;
  quarantine_ = nullptr;
  return outcomes;
}

KeptDeletion DeleteKeeping(Quarantine* quarantine, const platform::Directory& dir,
                           const std::string& name, const platform::FileStamp& examined,
                           const std::string& path, std::string_view check,
                           const ExaminedContent& content) {
  DeletionBatch one(DeletionLimits{1, 0, {}});
  if (std::optional<KeptDeletion> ended =
          one.Add(quarantine, dir, name, examined, path, check, content))
    return std::move(*ended);
  return std::move(one.Finish().front());
}

}  // namespace nerlo::scan
