#include "scan/deletion_batch.h"

#include <algorithm>
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
  if (waiting_.empty()) return true;
  return quarantine == quarantine_ && !Full() && bytes_ + size <= limits_.bytes &&
         quarantine->RoomBesideStaged(size);
}

bool DeletionBatch::Due() const {
  return !waiting_.empty() && now_() - first_added_ >= limits_.age;
}

bool DeletionBatch::Holds(const platform::FileIdentity& identity) const {
  return std::any_of(waiting_.begin(), waiting_.end(),
                     [&](const Waiting& w) { return w.identity == identity; });
}

std::optional<KeptDeletion> DeletionBatch::Add(Quarantine* quarantine,
                                               const platform::Directory& dir,
                                               const std::string& name,
                                               const platform::FileStamp& examined,
                                               const std::string& path, std::string_view check) {
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
    staged = quarantine->Stage(file, path, check, id, reason);
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

std::vector<KeptDeletion> DeletionBatch::Finish() {
  std::vector<KeptDeletion> outcomes;
  if (waiting_.empty()) return outcomes;
  std::string reason;
  // No file is removed before every copy of the batch is on the disk.
  if (!quarantine_->Flush(&reason)) return Abandon(reason);
  outcomes.reserve(waiting_.size());
  for (Waiting& w : waiting_) {
    KeptDeletion done;
    if (std::string why; !quarantine_->Publish(w.id, &why))
      done.result = w.deletion.Abandon(why);
    else
      done.result = w.deletion.Finish();
    Settle(w, done);
    outcomes.push_back(std::move(done));
  }
  quarantine_->ClearPending();
  waiting_.clear();
  bytes_ = 0;
  quarantine_ = nullptr;
  return outcomes;
}

std::vector<KeptDeletion> DeletionBatch::Abandon(const std::string& reason) {
  std::vector<KeptDeletion> outcomes;
  if (waiting_.empty()) return outcomes;
  outcomes.reserve(waiting_.size());
  for (Waiting& w : waiting_) {
    KeptDeletion done;
    done.result = w.deletion.Abandon(reason);
    Settle(w, done);
    outcomes.push_back(std::move(done));
  }
  quarantine_->ClearPending();
  waiting_.clear();
  bytes_ = 0;
  quarantine_ = nullptr;
  return outcomes;
}

KeptDeletion DeleteKeeping(Quarantine* quarantine, const platform::Directory& dir,
                           const std::string& name, const platform::FileStamp& examined,
                           const std::string& path, std::string_view check) {
  DeletionBatch one(DeletionLimits{1, 0, {}});
  if (std::optional<KeptDeletion> ended = one.Add(quarantine, dir, name, examined, path, check))
    return std::move(*ended);
  return std::move(one.Finish().front());
}

}  // namespace nerlo::scan
