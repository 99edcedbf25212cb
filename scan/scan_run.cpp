#include "scan/scan_run.h"

#include <chrono>
#include <exception>

#include "platform/exceptions.h"
#include "platform/message_queue.h"
#include "scan/heuristic_match.h"
#include "sigdb/md5.h"

namespace nerlo::scan {

using sigdb::kCipherKey;

TScanRun::TScanRun(ScanView& view, const ScanSettings& settings, std::string database_directory)
    : view_(view), settings_(settings), database_directory_(std::move(database_directory)) {
  ff.SetFileName("*.*");
  ff.SetStopOnFirstMatch(false);
  ff.OnMatch = [this](TFileFind& sender) { ffMatch(sender); };
  pattern.SetCaseSensitive(false);

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

TScanRun::~TScanRun() { WaitForLookups(); }

bool TScanRun::LookupsPending() const {
  for (const TWorker* worker : workers_)
    if (worker->Busy()) return true;
  return false;
}

void TScanRun::WaitForLookups() {
  while (LookupsPending()) platform::Messages().WaitForMessages(std::chrono::milliseconds(20));
}

void TScanRun::FormShow() {
  // A lookup of an earlier scan must not report into this one.
  WaitForLookups();
  std::exception_ptr failure;
  try {
    std::string line = sigdb::ReadHeuristicsLine0(database_directory_ + "heuristics.db");
    Memo1.Load(v2.Decode(kCipherKey, line));
  } catch (const Exception&) {
    failure = std::current_exception();
  }
  window_database_path_ = database_directory_ + "tdb.ldb";
  RemovedCount_ = 0;
  ScannedCount_ = 0;
  InfectedCount_ = 0;
  TooLargeCount_ = 0;
  if (failure) std::rethrow_exception(failure);
}

void TScanRun::ffMatch(TFileFind& sender) {
  const std::string path = sender.LastMatch();

  int64_t size = 0;
  platform::DirEntry entry;
  if (platform::FindEntry(path, &entry)) size = entry.size;

  if (size >= kSizeLimit) ++TooLargeCount_;
  if (size < kSizeLimit) {
    ++ScannedCount_;

    std::string md5_text;
    platform::FileIdentity hashed;
    try {
      sigdb::MD5FileText(path, md5_text, &hashed);
    } catch (const EFOpenError&) {
      md5_text.clear();
    }
    const std::string hash_key = v3.Encode(kCipherKey, md5_text);

    if (settings_.UseHeuristics()) {
      // By index, on a copy: the matcher processes messages, and nothing may change the list
      // under an iterator meanwhile.
      for (size_t i = 0; i < Memo1.Count(); ++i) {
        const std::string check = "heuristic " + std::to_string(i + 1);
        const std::string heuristic = Memo1[i];
        platform::FileIdentity matched;
        try {
          if (MatchHeuristic(heuristic, path, &matched) != -1)
            HandleDetection(path, matched, check);
        } catch (const EInOutError&) {
          // This string counts as not found.
        }
      }
    }

    pattern.SetFilename(database_directory_ + "database.db");
    pattern.SetPattern(hash_key);
    if (pattern.FindFirst() != -1) {
      // Every occurrence of the key is one detection.
      do {
        HandleDetection(path, hashed, "hash");
      } while (pattern.FindNext() != -1);
    }

    try {
      hx.LoadFile(path);
    } catch (const EFOpenError&) {
      // The extractor now holds no bytes, so the first window fails below.
    } catch (const EReadError&) {
    }

    for (int n = 0; n < 8; ++n) {
      try {
        hx.SetSelectionStart(kByteWindows[n].first);
        hx.SetSelectionEnd(kByteWindows[n].last);
      } catch (const EHexEditorError&) {
        return;  // the file is too short for window n + 1: no further window, no status
      }
      WindowLookupRequest request;
      request.file_path = path;
      request.window_number = n + 1;
      request.database_path = window_database_path_;
      request.signature = v.Encode(kCipherKey, hx.SelectionHexText());
      request.file = hx.LoadedIdentity();
      workers_[n]->Start(std::move(request));
    }
  }

  view_.SetPanelText(kPanelScanned, "Scanned: " + std::to_string(ScannedCount_));
  view_.SetPanelText(kPanelRemoved, "Removed: " + std::to_string(RemovedCount_));
  view_.SetPanelText(kPanelCurrentFile, path);
}

void TScanRun::HandleDetection(const std::string& path, const platform::FileIdentity& identity,
                               std::string_view check) {
  ++InfectedCount_;
  if (!settings_.DeleteThem()) {
    view_.DetectionReported(path, {}, check);
    return;
  }
  const char* action = kActionNotDeleted;
  switch (identity.valid ? platform::DeleteFileIfSame(path, identity)
                         : platform::DeleteOutcome::kRefused) {
    case platform::DeleteOutcome::kDeleted:
      action = kActionDeleted;
      ++RemovedCount_;
      break;
    case platform::DeleteOutcome::kAlreadyGone:
      action = kActionAlreadyDeleted;
      break;
    case platform::DeleteOutcome::kRefused:
      break;
  }
  view_.AddResultRow(path, kDiagnosticInfected, action);
  view_.SetPanelText(kPanelInfected, "Infected: " + std::to_string(InfectedCount_));
  view_.DetectionReported(path, action, check);
}

void TScanRun::LookUp(TWorker& worker, sigdb::TFileSearch& search) {
  if (search.FindFirst() == -1) return;
  // One hit per window, however often the signature stands in the database.
  const WindowLookupRequest& request = worker.Request();
  platform::Synchronize([this, &request] {
    HandleDetection(request.file_path, request.file,
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
