// The scan run: prepares the databases when the scanner is shown, examines every file that the
// walk reports in a fixed pipeline of checks, and applies the verdict action to detections.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "scan/database_preload.h"
#include "scan/deletion_batch.h"
#include "scan/file_find.h"
#include "scan/heuristic_scanner.h"
#include "scan/hex_editor.h"
#include "scan/read_ahead.h"
#include "scan/scan_view.h"
#include "scan/worker.h"
#include "sigdb/cipher.h"
#include "sigdb/file_search.h"
#include "sigdb/heuristics_db.h"

namespace nerlo::scan {

// Helper threads that read, fingerprint and search files ahead of the walk, how many files
// they may hold at once, and how many bytes of files. The large files hold most of the bytes
// and are few: the line must reach far enough ahead, and hold enough bytes, for the helpers'
// hash lanes to hold several large files side by side, without many filling the memory.
inline constexpr size_t kReadAheadThreads = 2;
inline constexpr size_t kReadAheadDepth = TFileFind::kLookahead;
inline constexpr int64_t kReadAheadBytes = 64 << 20;

// How long the status of database.db and tdb.ldb, once checked during a scan, is trusted
// before the next file's lookups check it again (a database changed during a scan is seen
// within this time, without a status call for every file).
inline constexpr int64_t kDatabaseRecheckNs = 100'000'000;

// Files of this many bytes or more are not examined.
inline constexpr int64_t kSizeLimit = 5'242'880;

// Texts of the result list.
inline constexpr const char* kDiagnosticInfected = "Infected!";
inline constexpr const char* kActionDeleted = "Deleted.";
inline constexpr const char* kActionAlreadyDeleted = "Already deleted.";
inline constexpr const char* kActionNotDeleted = "Not deleted.";

// The action text of a result row for what a deletion did: kActionDeleted,
// kActionAlreadyDeleted, or kActionNotDeleted followed by the reason in brackets when there
// is one ("Not deleted. (changed since it was examined)").
std::string ActionText(const platform::DeleteResult& result);

// Owns the components of one scanner: the walk ff, the hash lookup pattern, the eight window
// lookups tp1..tp8 with their workers, the ciphers, the byte-window extractor and the heuristic
// strings. Lives as long as its window; every scan of the program run goes through it.
//
// The read-ahead's helper threads read, fingerprint and search files ahead of the walk, and
// the workers look up the byte windows; everything else runs on the user-interface thread:
// FormShow, the walk (ff.Start), ffMatch, the verdicts and HandleDetection, in walk order.
// The view and settings must outlive the scan run.
class TScanRun {
 public:
  // database_directory holds database.db, tdb.ldb and heuristics.db, with its trailing
  // separator (the program directory in the desktop program).
  TScanRun(ScanView& view, const ScanSettings& settings, std::string database_directory);
  // Waits for running lookups (processing messages, so their hits are still handled) before
  // anything they read or report to goes away.
  ~TScanRun();
  TScanRun(const TScanRun&) = delete;
  TScanRun& operator=(const TScanRun&) = delete;

  // The show handling, before every scan: waits for lookups still running from an earlier
  // scan, loads the heuristic strings from heuristics.db, sets the window-database path,
  // begins reading database.db and tdb.ldb in the background (their first lookups wait for
  // those reads, running messages meanwhile) and zeroes the counters. A heuristics.db that
  // cannot be loaded leaves the previous strings in place; the paths and counters are still
  // set, the reads begun, and then the error (EFOpenError or EStringListError) is raised for
  // the caller to report.
  void FormShow();

  // The walk's per-file event: examines the file that the walk reports (sender.LastDirectory()
  // and LastName(); LastMatch() is its path for the view).
  //
  // The file is opened once, through its folder's handle (nothing but a regular file is ever
  // opened), and at most the size limit read, once, ahead of the walk or now; the heuristic
  // strings, the hash and the byte windows all work on those bytes, in that order; once a
  // detection has removed the file, only the hash is still looked up. A file at
  // or above the limit when opened is counted in TooLargeCount; one that cannot be opened or
  // read, or that grows to the limit while it is read, is told to the view's FileNotExamined;
  // neither counts as scanned. Messages are processed after every 256 KiB of work. Raises
  // nothing for a file that cannot be read; only programming errors escape.
  void ffMatch(TFileFind& sender);

  // The verdict handling of one detection of the file name in directory (shown as path),
  // whose bytes were read from the file as examined describes it. Under "Delete them"
  // deletes only that same file, unchanged since, through the folder's handle
  // (platform::DeleteAt); the row says why when it was not deleted. check names the check
  // that fired, as ScanView::DetectionReported has it. Returns true when the file is gone
  // afterwards (deleted now, or already gone), so that a caller checks it no further.
  bool HandleDetection(const std::string& path, const platform::DirectoryRef& directory,
                       const std::string& name, const platform::FileStamp& examined,
                       std::string_view check, const ExaminedContent& content = {});

  // Keeps every file that a detection deletes in quarantine first (see DeletionBatch); a
  // file that cannot be kept is not deleted, and its row says why. Null (the default):
  // deletions remove files at once. Not owned; must outlive the scan run or be reset.
  // Deletions waiting in the quarantine set before are finished first.
  void SetQuarantine(Quarantine* quarantine);
  // Files of this scan deleted and kept in the quarantine.
  int32_t QuarantinedCount() const { return QuarantinedCount_; }

  // Deletions through the quarantine wait in a batch so that their copies are flushed to the
  // disk together (DeletionBatch). While one waits, its file is aside and its row is held
  // back, and so is everything this scan run tells the view after it (rows, panels, not
  // examined files, warnings), so that the view learns everything in the order it happened
  // and no row says "Deleted." before the file is gone; the counters of removed and
  // quarantined files count a deletion when its row is shown. The batch is sealed, and its
  // flush begins on a thread of its own, when it is full (DeletionLimits; by default as many
  // as the descriptor limit allows, at most 64 files or 32 MiB) or when the first deletion
  // has waited 500 ms; its files are removed once the flush has ended (both looked at for
  // every file the walk reports or reads). Every deletion is finished, waiting for the flush,
  // before a further detection of a waiting file, at the end of every walk (WalkScanTarget),
  // by WaitForLookups, and before the quarantine is changed.
  void SetDeletionLimits(DeletionLimits limits) { deletions_.SetLimits(limits); }
  // Finishes the waiting deletions and shows everything held back. A file whose copy could
  // not be made durable gets its name back, and its row says "Not deleted." and why.
  void FinishDeletions();
  // Test hook: replaces the clock by which the batch's age is judged.
  void SetDeletionClock(DeletionBatch::Clock::time_point (*now)()) { deletions_.SetClock(now); }

  // True while any lookup runs or waits.
  bool LookupsPending() const;

  // Replaces the helper threads that read files ahead of the walk by threads new ones (0:
  // every file is read on the user-interface thread when it is reported). Results are the
  // same either way. Call between scans.
  void SetReadAheadThreads(size_t threads);
  // Processes messages until every lookup started so far has been handled, then finishes the
  // waiting deletions (FinishDeletions).
  void WaitForLookups();

  int32_t ScannedCount() const { return ScannedCount_; }
  int32_t InfectedCount() const { return InfectedCount_; }
  int32_t RemovedCount() const { return RemovedCount_; }
  // Files of this scan that were at or above the size limit when opened, so not examined.
  int32_t TooLargeCount() const { return TooLargeCount_; }
  // Files and folders of this scan told to the view's FileNotExamined.
  int32_t NotExaminedCount() const { return NotExaminedCount_; }
  // The folder the scans read their databases from, with its trailing separator.
  const std::string& DatabaseDirectory() const { return database_directory_; }
  // Makes the next scans read their databases from database_directory (with its trailing
  // separator). Call between scans, before FormShow: a scan reads one folder throughout.
  void SetDatabaseDirectory(std::string database_directory) {
    database_directory_ = std::move(database_directory);
  }

  // Called on the user-interface thread right after a file to be examined has been opened and
  // before any of it is read (ahead of the walk or when it is reported), with its name in its
  // folder; tests change the file at that moment.
  std::function<void(const std::string& name)> OnFileOpened;

  // Components, named as the scanner window names them.
  TFileFind ff;
  sigdb::TFileSearch pattern;
  sigdb::TFileSearch tp1, tp2, tp3, tp4, tp5, tp6, tp7, tp8;
  TWorkerGroup WorkerGroup1;
  TWorker Worker1, Worker2, Worker3, Worker4, Worker5, Worker6, Worker7, Worker8;
  sigdb::TCaesarCipher v, v2, v3;
  THexEditorEx hx;
  // The heuristic strings (a list of byte strings; the desktop program shows none of them).
  sigdb::THeuristicList Memo1;

  // The workers' OnExecute handlers: worker N searches tdb.ldb with tpN.
  void Worker1Execute(TWorker& sender, TWorkerExecuteThread& thread, intptr_t& data);
  void Worker2Execute(TWorker& sender, TWorkerExecuteThread& thread, intptr_t& data);
  void Worker3Execute(TWorker& sender, TWorkerExecuteThread& thread, intptr_t& data);
  void Worker4Execute(TWorker& sender, TWorkerExecuteThread& thread, intptr_t& data);
  void Worker5Execute(TWorker& sender, TWorkerExecuteThread& thread, intptr_t& data);
  void Worker6Execute(TWorker& sender, TWorkerExecuteThread& thread, intptr_t& data);
  void Worker7Execute(TWorker& sender, TWorkerExecuteThread& thread, intptr_t& data);
  void Worker8Execute(TWorker& sender, TWorkerExecuteThread& thread, intptr_t& data);

 private:
  void LookUp(TWorker& worker, sigdb::TFileSearch& search);
  void NotExamined(const std::string& path, const std::string& reason);
  // The walk's look-ahead: opens a file about to be reported and has it read ahead.
  void ffUpcoming(TFileFind& sender, const platform::DirectoryRef& directory,
                  const std::string& name);
  // The file in hand, as its detections name it.
  struct FileInHand {
    std::string path;
    platform::DirectoryRef directory;
    std::string name;
    platform::FileStamp stamp;  // as it was read: a deletion needs it unchanged
    ExaminedContent content;    // the bytes examined and their MD5, while they are held
  };
  // Reads and fingerprints the file reported by sender on this thread.
  void ReadInline(TFileFind& sender, ExaminedBytes& out);
  // The bytes of the file reported by sender: those read ahead for it, or read now.
  ExaminedBytes TakeBytes(TFileFind& sender);
  // The checks of ffMatch, in pipeline order. CheckRead counts the file as scanned when its
  // bytes were read, or as too large or not examined; CheckHeuristics and CheckHash return
  // true when a detection removed the file; CheckWindows looks up the windows of the bytes
  // held by hx and returns false when the file is too short for all eight.
  bool CheckRead(const std::string& path, const ExaminedBytes& examined);
  bool CheckHeuristics(const FileInHand& file, ExaminedBytes& examined);
  bool CheckHash(const FileInHand& file, const std::string& md5_text);
  bool CheckWindows(const FileInHand& file);
  bool Detected(const FileInHand& file, std::string_view check);
  // Sets search's Filename to path (taking the database's current contents) at the first
  // lookup of a scan, when search holds another file or none, and when kDatabaseRecheckNs
  // have passed since checked_ns, the time of the last check (TFileSearch::ClockNs).
  static void RefreshDatabase(sigdb::TFileSearch& search, const std::string& path,
                              int64_t& checked_ns);
  // The automaton for the strings of Memo1, rebuilt when they have changed; null when the
  // list is empty.
  const THeuristicScanner* HeuristicScanner();
  // Counts work done on the file in hand and processes messages after every 256 KiB.
  void Pace(size_t bytes);
  // Tell the view of helper threads that could not be started (their work is done on this
  // thread): the read-ahead's at every scan, a lookup worker's once.
  void ReportReadAheadThreads();
  void ReportThreadProblem(const TWorker& worker);
  void ShowStatus(const std::string& path);
  // Tells the view now, or after the waiting deletions when any wait (see FinishDeletions).
  void Show(std::function<void()> tell);
  // Seals the waiting deletions when the first has waited long enough, and ends those whose
  // flush has ended (DeletionBatch::Seal, Collect).
  void TendDeletions();
  // Hands outcomes (of the oldest waiting deletions, in order) to their rows, and shows
  // what was held back up to the first deletion still waiting.
  void TakeOutcomes(std::vector<KeptDeletion> outcomes);
  // The row and panels of a detection under "Delete them" once its deletion has ended.
  void ReportDeletion(const std::string& path, const std::string& check, int32_t infected,
                      const KeptDeletion& deletion);

  ScanView& view_;
  const ScanSettings& settings_;
  std::string database_directory_;
  std::string window_database_path_;
  std::string hash_database_path_;
  // When pattern and window_search_ last took their database's status in this scan
  // (kNotChecked: not yet).
  static constexpr int64_t kNotChecked = INT64_MIN;
  int64_t hash_database_checked_ns_ = kNotChecked;
  int64_t window_database_checked_ns_ = kNotChecked;
  int32_t ScannedCount_ = 0;
  int32_t InfectedCount_ = 0;
  int32_t RemovedCount_ = 0;
  int32_t TooLargeCount_ = 0;
  int32_t NotExaminedCount_ = 0;
  int32_t QuarantinedCount_ = 0;
  Quarantine* quarantine_ = nullptr;
  DeletionBatch deletions_;
  // The outcomes the waiting deletions will get, in their order; shared with held_.
  std::deque<std::shared_ptr<std::optional<KeptDeletion>>> waiting_outcomes_;
  // What the view is to be told after the deletions before it, in order: a deletion's row
  // (with its outcome, filled once the deletion has ended) or anything else (no outcome).
  struct Held {
    std::function<void()> tell;
    std::shared_ptr<std::optional<KeptDeletion>> outcome;
  };
  std::deque<Held> held_;
  // Work done on the file in hand since messages were last processed.
  size_t unpaced_ = 0;
  // The strings that heuristic_scanner_ was built from.
  std::shared_ptr<const std::vector<std::string>> scanner_strings_;
  THeuristicScanner heuristic_scanner_;
  std::unique_ptr<TReadAhead> read_ahead_;
  // Files the read-ahead may hold open at once: its share of the descriptor limit.
  size_t open_file_share_ = 0;
  bool lookup_thread_reported_ = false;
  // Window lookups made on this thread, when the index makes them cheap.
  sigdb::TFileSearch window_search_;
  // The signatures of the file in hand's windows, in window order.
  std::string window_signatures_[kByteWindows.size()];
  // database.db and tdb.ldb read and indexed while the walk begins.
  TDatabasePreload preload_;

  TWorker* const workers_[8] = {&Worker1, &Worker2, &Worker3, &Worker4,
                                &Worker5, &Worker6, &Worker7, &Worker8};
  sigdb::TFileSearch* const searches_[8] = {&tp1, &tp2, &tp3, &tp4, &tp5, &tp6, &tp7, &tp8};
};

}  // namespace nerlo::scan
