#include "scan/scan_run.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <span>

#include "platform/exceptions.h"
#include "platform/message_queue.h"
#include "sigdb/md5.h"

namespace nerlo::scan {

using sigdb::kCipherKey;

namespace {

// Blocks of up to this many bytes come from the heaps: every file buffer (at most the size
// limit) does.
constexpr size_t kKeptBlockBytes = 8 << 20;
static_assert(kSizeLimit < static_cast<int64_t>(kKeptBlockBytes));
// Free memory a heap keeps: room for the read-ahead's budget.
constexpr size_t kKeptFreeBytes = 128 << 20;
static_assert(kReadAheadBytes < static_cast<int64_t>(kKeptFreeBytes));

// The bytes of a file that the checks after the fingerprints read: up to the end of the last
// byte window. A file cut to these yields the same windows as the whole file, since every
// window that fits in the whole file fits in them.
constexpr size_t kWindowBytes = static_cast<size_t>(kByteWindows.back().last) + 1;

}  // namespace

TScanRun::TScanRun(ScanView& view, const ScanSettings& settings, std::string database_directory)
    : view_(view), settings_(settings), database_directory_(std::move(database_directory)) {
  ff.SetFileName("*.*");
  ff.SetStopOnFirstMatch(false);
  ff.OnMatch = [this](TFileFind& sender) { ffMatch(sender); };
  ff.OnUpcoming = [this](TFileFind& sender, const platform::DirectoryRef& directory,
                         const std::string& name) { ffUpcoming(sender, directory, name); };
  ff.OnUpcomingDropped = [this](TFileFind&) { read_ahead_->Clear(); };
  // Every file's bytes are a buffer of up to the size limit, allocated by a helper and freed
  // on this thread: the memory is kept for the next files rather than given back and faulted
  // in again (a scan's largest buffers, and the read-ahead's budget, stay within these).
  platform::KeepFreedMemory(kKeptBlockBytes, kKeptFreeBytes);
  const platform::DescriptorShares shares = platform::ShareDescriptors();
  open_file_share_ = static_cast<size_t>(shares.files);
  // Every file told ahead and not yet read holds a descriptor: told beyond the share, a file
  // would be read here on this thread when the walk reports it.
  ff.SetLookahead(open_file_share_);
  DeletionLimits limits;
  limits.files = std::min(limits.files, static_cast<size_t>(shares.deletions));
  deletions_.SetLimits(limits);
  SetReadAheadThreads(kReadAheadThreads);
  ff.OnNotExamined = [this](TFileFind&, const std::string& path, const std::string& reason) {
    NotExamined(path, reason);
  };
  pattern.SetCaseSensitive(false);
  window_search_.SetCaseSensitive(false);

  using Handler = void (TScanRun::*)(TWorker&, TWorkerExecuteThread&, intptr_t&);
  static constexpr Handler kHandlers[8] = {&TScanRun::Worker1Execute, &TScanRun::Worker2Execute,
                                           &TScanRun::Worker3Execute, &TScanRun::Worker4Execute,
                                           &TScanRun::Worker5Execute, &TScanRun::Worker6Execute,
                                           &TScanRun::Worker7Execute, &TScanRun::Worker8Execute};
  for (int n = 0; n < 8; ++n) {
    searches_[n]->SetCaseSensitive(false);
    workers_[n]->SetThreadGroup(&WorkerGroup1);
    workers_[n]->SetSearch(searches_[n]);
    workers_[n]->OnExecute = [this, handler = kHandlers[n]](
                                 TWorker& sender, TWorkerExecuteThread& thread, intptr_t& data) {
      (this->*handler)(sender, thread, data);
    };
  }
}

TScanRun::~TScanRun() {
  read_ahead_->Clear();
  WaitForLookups();
}

bool TScanRun::LookupsPending() const {
  for (const TWorker* worker : workers_)
    if (worker->Busy()) return true;
  return false;
}

void TScanRun::WaitForLookups() {
  while (LookupsPending()) platform::Messages().WaitForMessages(std::chrono::milliseconds(20));
  FinishDeletions();
}

void TScanRun::SetQuarantine(Quarantine* quarantine) {
  FinishDeletions();
  quarantine_ = quarantine;
}

void TScanRun::FinishDeletions() { TakeOutcomes(deletions_.Finish()); }

void TScanRun::TendDeletions() {
  if (deletions_.Due()) TakeOutcomes(deletions_.Seal());
  if (deletions_.FlushEnded()) TakeOutcomes(deletions_.Collect());
}

void TScanRun::TakeOutcomes(std::vector<KeptDeletion> outcomes) {
  for (KeptDeletion& outcome : outcomes) {
    if (waiting_outcomes_.empty()) break;
    *waiting_outcomes_.front() = std::move(outcome);
    waiting_outcomes_.pop_front();
  }
  // One at a time: should the view raise, what is left is shown by the next call.
  while (!held_.empty() &&
         (held_.front().outcome == nullptr || held_.front().outcome->has_value())) {
    std::function<void()> tell = std::move(held_.front().tell);
    held_.pop_front();
    tell();
  }
}

void TScanRun::Show(std::function<void()> tell) {
  if (deletions_.Empty() && held_.empty()) {
    tell();
    return;
  }
  held_.push_back(Held{std::move(tell), nullptr});
}

void TScanRun::FormShow() {
  // A lookup of an earlier scan must not report into this one, nor a file read ahead for it
  // be taken for one of this scan.
  read_ahead_->Clear();
  WaitForLookups();
  std::exception_ptr failure;
  try {
    std::string line = sigdb::ReadHeuristicsLine0(database_directory_ + "heuristics.db");
    Memo1.Load(v2.Decode(kCipherKey, line));
  } catch (const Exception&) {
    failure = std::current_exception();
  }
  window_database_path_ = database_directory_ + "tdb.ldb";
  hash_database_path_ = database_directory_ + "database.db";
  hash_database_checked_ns_ = kNotChecked;
  window_database_checked_ns_ = kNotChecked;
  // A million signatures take a few tenths of a second to read and index; the windows answer
  // meanwhile.
  preload_.Start({hash_database_path_, window_database_path_});
  RemovedCount_ = 0;
  ScannedCount_ = 0;
  InfectedCount_ = 0;
  TooLargeCount_ = 0;
  NotExaminedCount_ = 0;
  QuarantinedCount_ = 0;
  ReportReadAheadThreads();
  if (failure) std::rethrow_exception(failure);
}

namespace {

// Work between two passes of the message queue within one file.
constexpr size_t kPaceBytes = 256 * 1024;

}  // namespace

void TScanRun::NotExamined(const std::string& path, const std::string& reason) {
  ++NotExaminedCount_;
  Show([this, path, reason] { view_.FileNotExamined(path, reason); });
}

void TScanRun::Pace(size_t bytes) {
  unpaced_ += bytes;
  if (unpaced_ < kPaceBytes) return;
  unpaced_ = 0;
  platform::ProcessMessages();
  TendDeletions();
}

void TScanRun::ShowStatus(const std::string& path) {
  // The removed count as it is when the panels are shown, after the deletions before them.
  Show([this, path, scanned = ScannedCount_] {
    view_.SetPanelText(kPanelScanned, "Scanned: " + std::to_string(scanned));
    view_.SetPanelText(kPanelRemoved, "Removed: " + std::to_string(RemovedCount_));
    view_.SetPanelText(kPanelCurrentFile, path);
  });
}

const THeuristicScanner* TScanRun::HeuristicScanner() {
  if (Memo1.Count() == 0) return nullptr;
  if (!scanner_strings_ ||
      !std::equal(Memo1.begin(), Memo1.end(), scanner_strings_->begin(), scanner_strings_->end())) {
    // Files read ahead were searched with the old strings.
    read_ahead_->Clear();
    auto strings = std::make_shared<const std::vector<std::string>>(Memo1.begin(), Memo1.end());
    heuristic_scanner_.Load(*strings);
    scanner_strings_ = std::move(strings);
  }
  return &heuristic_scanner_;
}

void TScanRun::SetReadAheadThreads(size_t threads) {
  // A file read ahead waits for the walk with only the bytes that its windows need: the rest
  // of the budget goes to the files being read and hashed.
  read_ahead_ = std::make_unique<TReadAhead>(threads, kReadAheadDepth, kReadAheadBytes, kSizeLimit,
                                             StartThread, kWindowBytes);
}

void TScanRun::ffUpcoming(TFileFind&, const platform::DirectoryRef& directory,
                          const std::string& name) {
  TendDeletions();
  if (read_ahead_->Full() || read_ahead_->OpenFiles() >= open_file_share_) {
    read_ahead_->SubmitDeferred(directory, name);
    return;
  }
  const THeuristicScanner* scanner = settings_.UseHeuristics() ? HeuristicScanner() : nullptr;
  platform::ErrorCode error = 0;
  platform::File file = platform::File::OpenAt(*directory, name, &error);
  if (!file.IsOpen() && platform::IsOutOfDescriptors(error)) {
    // Descriptors are short only for now: the file is read when it is reported.
    read_ahead_->SubmitDeferred(directory, name);
    return;
  }
  if (file.IsOpen() && OnFileOpened) OnFileOpened(name);
  read_ahead_->Submit(directory, name, std::move(file), error, scanner);
}

void TScanRun::ReportReadAheadThreads() {
  if (read_ahead_->StartError().empty()) return;
  Show([this, text = std::to_string(kReadAheadThreads - read_ahead_->ThreadCount()) + " of " +
                     std::to_string(kReadAheadThreads) +
                     " read-ahead threads could not be started (" + read_ahead_->StartError() +
                     "): their files are read on the main thread"] { view_.ScanWarning(text); });
}

void TScanRun::ReportThreadProblem(const TWorker& worker) {
  if (worker.StartError().empty() || lookup_thread_reported_) return;
  lookup_thread_reported_ = true;
  Show([this, text = "a lookup thread could not be started (" + worker.StartError() +
                     "): its window lookups run on the main thread"] { view_.ScanWarning(text); });
}

void TScanRun::ReadInline(TFileFind& sender, ExaminedBytes& out) {
  out.heuristics_searched = false;
  if (sender.LastDirectory() == nullptr) {
    out.outcome = ExaminedBytes::Outcome::kNotExamined;
    out.reason = ReasonText(platform::kErrorReplaced);
    return;
  }
  platform::ErrorCode error = 0;
  platform::File file = platform::File::OpenAt(*sender.LastDirectory(), sender.LastName(), &error);
  if (!file.IsOpen()) {
    out.outcome = ExaminedBytes::Outcome::kNotExamined;
    out.reason = ReasonText(error);
    return;
  }
  if (OnFileOpened) OnFileOpened(sender.LastName());
  const auto pace = [this](size_t done) { Pace(done); };
  ReadWhole(file, kSizeLimit, out, pace);
  file.Close();
  if (out.outcome == ExaminedBytes::Outcome::kRead) DigestBytes(out, nullptr, pace);
}

ExaminedBytes TScanRun::TakeBytes(TFileFind& sender) {
  ExaminedBytes examined;
  if (read_ahead_->FrontIs(sender.LastDirectory().get(), sender.LastName())) {
    examined = read_ahead_->TakeFront();
    if (examined.outcome != ExaminedBytes::Outcome::kDeferred) return examined;
  } else {
    // The walk skipped what was read ahead (it was stopped, or another walk runs).
    read_ahead_->Clear();
  }
  examined.bytes = hx.ReleaseBytes();
  ReadInline(sender, examined);
  return examined;
}

bool TScanRun::CheckRead(const std::string& path, const ExaminedBytes& examined) {
  switch (examined.outcome) {
    case ExaminedBytes::Outcome::kRead:
      ++ScannedCount_;
      return true;
    case ExaminedBytes::Outcome::kTooLarge:
      ++TooLargeCount_;
      ShowStatus(path);
      return false;
    case ExaminedBytes::Outcome::kNotExamined:
    case ExaminedBytes::Outcome::kDeferred:  // never left so by ReadInline
      NotExamined(path, examined.reason);
      return false;
  }
  return false;
}

bool TScanRun::CheckHeuristics(const FileInHand& file, ExaminedBytes& examined) {
  if (!settings_.UseHeuristics()) return false;
  const THeuristicScanner* scanner = HeuristicScanner();
  if (scanner == nullptr) return false;
  if (!examined.heuristics_searched) {
    examined.heuristic_hits = scanner->Scan(
        examined.bytes.data(), examined.bytes.size(), [this] { Pace(kPaceBytes); }, kPaceBytes);
  }
  for (size_t hit : examined.heuristic_hits) {
    if (Detected(file, "heuristic " + std::to_string(hit + 1))) return true;
  }
  return false;
}

bool TScanRun::CheckHash(const FileInHand& file, const std::string& md5_text) {
  if (hash_database_checked_ns_ == kNotChecked) preload_.Await(hash_database_path_);
  RefreshDatabase(pattern, hash_database_path_, hash_database_checked_ns_);
  pattern.SetPattern(v3.Encode(kCipherKey, md5_text));
  bool gone = false;
  if (pattern.FindFirst() == -1) return false;
  // Every occurrence of the key is one detection, even once the file is gone.
  do {
    if (Detected(file, "hash")) gone = true;
  } while (pattern.FindNext() != -1);
  return gone;
}

bool TScanRun::CheckWindows(const FileInHand& file) {
  // Every window's signature is made first, so that what the eight lookups read of the index
  // is asked of memory at once rather than one lookup after another.
  size_t windows = 0;
  for (; windows < kByteWindows.size() && kByteWindows[windows].last < hx.DataLength(); ++windows) {
    hx.SetSelectionStart(kByteWindows[windows].first);
    hx.SetSelectionEnd(kByteWindows[windows].last);
    window_signatures_[windows] = v.Encode(kCipherKey, hx.SelectionHexText());
  }
  if (windows == 0) return false;
  if (window_database_checked_ns_ == kNotChecked) preload_.Await(window_database_path_);
  RefreshDatabase(window_search_, window_database_path_, window_database_checked_ns_);
  sigdb::TFileSearch::Lookup lookups[kByteWindows.size()];
  for (size_t n = 0; n < windows; ++n) lookups[n] = {&window_search_, window_signatures_[n]};
  sigdb::TFileSearch::Prefetch(std::span(lookups, windows));

  for (size_t n = 0; n < windows; ++n) {
    // Through the index a lookup costs a few microseconds, less than handing it to a worker
    // thread; a lookup that would search the whole database goes to worker N, so that the
    // walk goes on meanwhile.
    window_search_.SetPattern(window_signatures_[n]);
    if (!workers_[n]->Busy() && window_search_.Indexed()) {
      // One hit per window, however often the signature stands in the database.
      if (window_search_.FindFirst() != -1) Detected(file, "window " + std::to_string(n + 1));
      continue;
    }
    WindowLookupRequest request;
    request.file_path = file.path;
    request.window_number = static_cast<int>(n + 1);
    request.database_path = window_database_path_;
    request.signature = std::move(window_signatures_[n]);
    request.file = file.stamp.identity;
    request.stamp = file.stamp;
    request.directory = file.directory;
    request.name = file.name;
    workers_[n]->Start(std::move(request));
    ReportThreadProblem(*workers_[n]);
  }
  return windows == kByteWindows.size();
}

void TScanRun::ffMatch(TFileFind& sender) {
  unpaced_ = 0;
  TendDeletions();
  ExaminedBytes examined = TakeBytes(sender);
  FileInHand file{
      sender.LastMatch(), sender.LastDirectory(), sender.LastName(), examined.stamp, {}};
  if (!CheckRead(file.path, examined)) return;
  // Bytes cut to the windows' prefix tell a deletion nothing of the whole file.
  if (examined.whole) {
    file.content.bytes = {reinterpret_cast<const char*>(examined.bytes.data()),
                          examined.bytes.size()};
    file.content.md5_text = examined.md5_text;
  }

  // Once a detection has removed the file, nothing more is looked for in it but the hash.
  bool gone = CheckHeuristics(file, examined);
  if (CheckHash(file, examined.md5_text)) gone = true;

  // The extractor holds this file's bytes (or as many as its windows need), or none once the
  // file is gone: never those of the file before it.
  if (gone) examined.bytes.clear();
  hx.LoadBytes(std::move(examined.bytes), file.path);
  if (gone || !examined.whole)
    file.content = {};
  else
    file.content.bytes = hx.Data();
  // A file too short for all eight windows leaves the status panels as they were.
  if (CheckWindows(file)) ShowStatus(file.path);
}

void TScanRun::RefreshDatabase(sigdb::TFileSearch& search, const std::string& path,
                               int64_t& checked_ns) {
  const int64_t now = sigdb::TFileSearch::ClockNs();
  // A clock set back counts as time passed.
  if (checked_ns != kNotChecked && search.Filename() == path && now >= checked_ns &&
      now - checked_ns < kDatabaseRecheckNs)
    return;
  search.SetFilename(path);
  checked_ns = now;
}

bool TScanRun::Detected(const FileInHand& file, std::string_view check) {
  return HandleDetection(file.path, file.directory, file.name, file.stamp, check, file.content);
}

bool TScanRun::HandleDetection(const std::string& path, const platform::DirectoryRef& directory,
                               const std::string& name, const platform::FileStamp& examined,
                               std::string_view check, const ExaminedContent& content) {
  ++InfectedCount_;
  if (!settings_.DeleteThem()) {
    Show([this, path, check = std::string(check)] { view_.DetectionReported(path, {}, check); });
    return false;
  }
  const int32_t infected = InfectedCount_;
  KeptDeletion deletion;
  if (directory != nullptr && examined.identity.valid) {
    // A further detection of a file whose deletion waits finds what the first one left.
    if (deletions_.Holds(examined.identity) || !deletions_.Fits(quarantine_, examined.size))
      FinishDeletions();
    std::optional<KeptDeletion> ended =
        deletions_.Add(quarantine_, *directory, name, examined, path, check, content);
    if (!ended) {
      // The file is aside now; its row waits for the outcome.
      auto outcome = std::make_shared<std::optional<KeptDeletion>>();
      waiting_outcomes_.push_back(outcome);
      held_.push_back(Held{[this, path, check = std::string(check), infected, outcome] {
                             ReportDeletion(path, check, infected, **outcome);
                           },
                           outcome});
      if (deletions_.Full()) TakeOutcomes(deletions_.Seal());
      return true;
    }
    deletion = std::move(*ended);
  } else {
    deletion.result.reason = "its folder cannot be reached";
  }
  const bool refused = deletion.result.outcome == platform::DeleteOutcome::kRefused;
  Show([this, path, check = std::string(check), infected, deletion = std::move(deletion)] {
    ReportDeletion(path, check, infected, deletion);
  });
  return !refused;
}

void TScanRun::ReportDeletion(const std::string& path, const std::string& check, int32_t infected,
                              const KeptDeletion& deletion) {
  const platform::DeleteResult& result = deletion.result;
  if (result.outcome == platform::DeleteOutcome::kDeleted) ++RemovedCount_;
  const std::string action = ActionText(result);
  view_.AddResultRow(path, kDiagnosticInfected, action);
  if (!deletion.id.empty()) {
    ++QuarantinedCount_;
    view_.ResultRowKept(deletion.id);
  }
  view_.SetPanelText(kPanelInfected, "Infected: " + std::to_string(infected));
  view_.DetectionReported(path, action, check);
}

std::string ActionText(const platform::DeleteResult& result) {
  switch (result.outcome) {
    case platform::DeleteOutcome::kDeleted:
      return kActionDeleted;
    case platform::DeleteOutcome::kAlreadyGone:
      return kActionAlreadyDeleted;
    case platform::DeleteOutcome::kRefused:
      break;
  }
  if (result.reason.empty()) return kActionNotDeleted;
  return std::string(kActionNotDeleted) + " (" + result.reason + ")";
}

void TScanRun::LookUp(TWorker& worker, sigdb::TFileSearch& search) {
  if (search.FindFirst() == -1) return;
  // One hit per window, however often the signature stands in the database.
  const WindowLookupRequest& request = worker.Request();
  platform::Synchronize([this, &request] {
    HandleDetection(request.file_path, request.directory, request.name, request.stamp,
                    "window " + std::to_string(request.window_number));
  });
}

void TScanRun::Worker1Execute(TWorker& sender, TWorkerExecuteThread&, intptr_t&) {
  LookUp(sender, tp1);
}
void TScanRun::Worker2Execute(TWorker& sender, TWorkerExecuteThread&, intptr_t&) {
  LookUp(sender, tp2);
}
void TScanRun::Worker3Execute(TWorker& sender, TWorkerExecuteThread&, intptr_t&) {
  LookUp(sender, tp3);
}
void TScanRun::Worker4Execute(TWorker& sender, TWorkerExecuteThread&, intptr_t&) {
  LookUp(sender, tp4);
}
void TScanRun::Worker5Execute(TWorker& sender, TWorkerExecuteThread&, intptr_t&) {
  LookUp(sender, tp5);
}
void TScanRun::Worker6Execute(TWorker& sender, TWorkerExecuteThread&, intptr_t&) {
  LookUp(sender, tp6);
}
void TScanRun::Worker7Execute(TWorker& sender, TWorkerExecuteThread&, intptr_t&) {
  LookUp(sender, tp7);
}
void TScanRun::Worker8Execute(TWorker& sender, TWorkerExecuteThread&, intptr_t&) {
  LookUp(sender, tp8);
}

}  // namespace nerlo::scan
