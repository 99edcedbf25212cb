#include "scan/worker.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "platform/message_queue.h"

namespace nerlo::scan {

namespace {
// How long a waiting loop sleeps between looks at the message queue.
constexpr std::chrono::milliseconds kWaitSlice{20};
}  // namespace

void TWorkerGroup::Join(TWorker* worker) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (std::find(members_.begin(), members_.end(), worker) == members_.end())
    members_.push_back(worker);
}

void TWorkerGroup::Leave(TWorker* worker) {
  std::lock_guard<std::mutex> lock(mutex_);
  members_.erase(std::remove(members_.begin(), members_.end(), worker), members_.end());
}

int TWorkerGroup::RunningCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

void TWorkerGroup::ExecutionStarted() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++running_;
}

void TWorkerGroup::ExecutionEnded() {
  std::lock_guard<std::mutex> lock(mutex_);
  --running_;
}

TWorker::~TWorker() {
  destroying_ = true;
  queue_.clear();
  if (execution_) {
    execution_->Terminate();
    // The end notice, and any hit report before it, can only run while messages are processed.
    while (execution_) platform::Messages().WaitForMessages(kWaitSlice);
  }
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  if (group_ != nullptr) group_->Leave(this);
}

void TWorker::SetThreadGroup(TWorkerGroup* group) {
  if (group_ == group) return;
  if (group_ != nullptr) group_->Leave(this);
  group_ = group;
  if (group_ != nullptr) group_->Join(this);
}

void TWorker::Start(WindowLookupRequest request) {
  if (!Busy()) {
    Begin(std::move(request));
    return;
  }
  // Processing messages lets end notices run, which start the queued requests and make room.
  while (queue_.size() >= kMaxQueued) platform::Messages().WaitForMessages(kWaitSlice);
  if (!Busy())
    Begin(std::move(request));
  else
    queue_.push_back(std::move(request));
}

void TWorker::Begin(WindowLookupRequest request) {
  request_ = std::move(request);
  if (search_ != nullptr) {
    search_->SetFilename(request_.database_path);
    search_->SetPattern(request_.signature);
  }
  execution_ = std::make_unique<TWorkerExecuteThread>(*this, 0);
  if (group_ != nullptr) group_->ExecutionStarted();
  if (!thread_.joinable() && start_error_.empty()) {
    try {
      thread_ = start_thread_([this] { ThreadMain(); });
    } catch (const std::system_error& e) {
      start_error_ = e.code().message();
    }
  }
  if (!thread_.joinable()) {
    RunInline();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = execution_.get();
  }
  wake_.notify_one();
}

void TWorker::RunInline() {
  TWorkerExecuteThread& job = *execution_;
  if (OnExecute) {
    try {
      OnExecute(*this, job, job.Data());
    } catch (...) {
      // As on the worker's thread: a failed lookup finds nothing.
    }
  }
  // Nothing is queued behind an inline lookup (the worker is never busy between two Starts),
  // so the notice starts no other lookup from within this one.
  EndNotice();
}

void TWorker::EndNotice() {
  execution_.reset();
  if (group_ != nullptr) group_->ExecutionEnded();
  if (destroying_ || queue_.empty()) return;
  WindowLookupRequest next = std::move(queue_.front());
  queue_.pop_front();
  Begin(std::move(next));
}

void TWorker::ThreadMain() {
  for (;;) {
    TWorkerExecuteThread* job = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return job_ != nullptr || quit_; });
      if (job_ == nullptr) return;
      job = job_;
      job_ = nullptr;
    }
    if (!job->Terminated() && OnExecute) {
      try {
        OnExecute(*this, *job, job->Data());
      } catch (...) {
        // A failed lookup finds nothing; the worker still ends it through its end notice.
      }
    }
    // Waits until the user-interface thread has handled the notice; only then may the next
    // job (which the notice itself may hand over) be taken.
    platform::Synchronize([this] { EndNotice(); });
  }
}

}  // namespace nerlo::scan
