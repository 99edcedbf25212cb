// nerlo-scan: the command-line scanner, a thin front end over the scan run.
//
// Exit status, the first that applies: 130 when the scan was interrupted (Ctrl-C; the summary
// is still printed), 1 when anything was found, 2 when an error kept something from being
// examined (a usage error, a target that is missing or cannot be scanned, a file or folder
// not examined, no database at all, a database that could not be loaded), 0 otherwise. A
// detection wins over errors, so that a script testing for 1 never misses one.
//
// Every path printed, on either stream, goes through DisplayText: a file name holding a
// line feed or an escape sequence cannot forge a report line or drive the terminal.

#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <iostream>
#include <latch>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/report_text.h"
#include "cli/set_report.h"
#include "platform/console.h"
#include "platform/display_text.h"
#include "platform/exceptions.h"
#include "platform/message_queue.h"
#include "platform/platform.h"
#include "scan/quarantine.h"
#include "scan/scan_run.h"
#include "scan/scan_target.h"
#include "sigdb/file_search.h"
#include "sigdb/signature_set.h"

namespace {

using namespace nerlo;
using platform::DisplayText;

constexpr std::string_view kVersion = "nerlo-scan (Nerlo) 1.00\n";

constexpr std::string_view kUsage =
    "Usage: nerlo-scan [options] TARGET...\n"
    "       nerlo-scan [options] --all-drives\n"
    "\n"
    "Scans each TARGET, a folder (walked with everything below it) or a single file, and\n"
    "prints one line per detection, \"PATH: Infected!\", followed under --delete by what was\n"
    "done (\"Deleted.\", \"Already deleted.\", \"Not deleted.\", the last with the reason in\n"
    "brackets when there is one) and always by the check that fired: [hash], [heuristic N]\n"
    "(the N-th heuristic string) or [window N]. Then it prints\n"
    "the number of files scanned, infections found, files removed, files and folders that\n"
    "could not be examined (each also named on standard error), and files not examined\n"
    "because they hold 5 MiB or more. A symbolic link named as a TARGET is followed and\n"
    "reported under the name given; links found inside a folder are never followed. Control\n"
    "characters and backslashes in printed paths are escaped (\\n, \\t, \\x1B, \\\\).\n"
    "\n"
    "Options:\n"
    "  --all-drives      scan every local drive (on Linux: everything below /)\n"
    "  --delete          delete infected files (default: report them only), keeping each\n"
    "                    in the quarantine first (see nerlo-quarantine)\n"
    "  --no-heuristics   do not search files for the heuristic strings (heuristics.db is\n"
    "                    then not needed)\n"
    "  --db-dir DIR      read database.db, tdb.ldb and heuristics.db from DIR\n"
    "                    (default: the newest signature set installed, see below)\n"
    "  --quiet           print detections and the summary only\n"
    "  --progress        show the counters and the current file on one line of standard\n"
    "                    error, fitted to the terminal's width (only when it is a terminal)\n"
    "  -r, --recursive   accepted and ignored: folders are always walked\n"
    "  --version         show the version, the signature set in use (version, creation\n"
    "                    and expiry, folder) and how many signatures it holds\n"
    "  --help            show this text\n"
    "\n"
    "Signature sets: without --db-dir the scan reads the newest valid set installed in\n"
    "$XDG_DATA_HOME/nerlo (~/.local/share/nerlo) or /var/lib/nerlo (each ROOT/current ->\n"
    "sets/VERSION), else the databases beside this program; it chooses the set once, at its\n"
    "start, and reads only that folder. A set whose manifest is unreadable or whose files\n"
    "differ in size from it is passed over with a warning. A set past its expiry time is still\n"
    "used, with a warning on standard error that gives its age.\n"
    "\n"
    "Databases: a folder holding none of the databases that the scan reads is an error and\n"
    "nothing is scanned; a missing database.db or tdb.ldb is a warning (that check then finds\n"
    "nothing); heuristics.db is needed unless --no-heuristics is given.\n"
    "\n"
    "Deleted files are kept in the quarantine, $XDG_DATA_HOME/nerlo/quarantine (by default\n"
    "~/.local/share/nerlo/quarantine; /var/lib/nerlo/quarantine for root), for 30 days and\n"
    "up to 1 GiB (Keep, MaxDays and MaxSizeMB under [Quarantine] in nerlo.ini; Keep=0 deletes\n"
    "without keeping). A file that cannot be kept is not deleted: \"Not deleted.\" says why.\n"
    "nerlo-quarantine lists and restores them.\n"
    "\n"
    "Ctrl-C stops the scan after the file in hand and prints the summary; a second Ctrl-C\n"
    "ends the program at once.\n"
    "\n"
    "Exit status: 130 interrupted by Ctrl-C; otherwise 1 something found (whatever else\n"
    "happened); otherwise 2 an error: usage, a missing target, a file or folder not examined,\n"
    "no database, a database that could not be loaded; otherwise 0 nothing found.\n";

constexpr int kExitClean = 0;
constexpr int kExitFound = 1;
constexpr int kExitError = 2;
constexpr int kExitInterrupted = 130;

// Columns assumed when the terminal does not tell its width.
constexpr int kDefaultColumns = 80;

struct Options {
  bool delete_them = false;
  bool heuristics = true;
  bool quiet = false;
  bool progress = false;
  bool all_drives = false;
  bool version = false;
  std::string db_dir;
  std::vector<std::string> targets;
};

void PrintError(const std::string& text) { std::cerr << "nerlo-scan: " << text << "\n"; }

int UsageError(const std::string& message) {
  std::cerr << "nerlo-scan: " << DisplayText(message) << "\n\n" << kUsage;
  return kExitError;
}

// Parses the command line into options. Returns -1 to go on, else the exit status.
int ParseArguments(int argc, char** argv, Options& options) {
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
      options.targets.push_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return kExitClean;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--delete") {
      options.delete_them = true;
    } else if (arg == "--no-heuristics") {
      options.heuristics = false;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--progress") {
      options.progress = true;
    } else if (arg == "--all-drives") {
      options.all_drives = true;
    } else if (arg == "-r" || arg == "--recursive") {
      // Commands written for scanners that walk folders only when asked work unchanged.
    } else if (arg == "--db-dir" || arg.rfind("--db-dir=", 0) == 0) {
      if (arg == "--db-dir") {
        if (++i >= argc) return UsageError("--db-dir needs a folder");
        options.db_dir = argv[i];
      } else {
        options.db_dir = arg.substr(9);
      }
      if (options.db_dir.empty()) return UsageError("--db-dir needs a folder");
    } else {
      return UsageError("unknown option " + arg);
    }
  }
  if (options.version) return -1;
  if (options.all_drives && !options.targets.empty())
    return UsageError("--all-drives takes no TARGET");
  if (!options.all_drives && options.targets.empty()) return UsageError("no TARGET given");
  return -1;
}

// Outcome of looking at the databases before the scan.
struct DatabaseCheck {
  bool usable = false;  // at least one database that the scan reads is there
  bool failed = false;  // one that is there could not be loaded (already reported)
};

// A database that is there, and what reading it whole found.
struct DatabaseLoad {
  std::string path;
  platform::FileStamp stamp;
  bool failed = false;
  std::string reason;  // why it could not be loaded
};

// Reads one database whole into the searches' shared snapshots, where the scan finds it;
// returns the search that holds it.
std::unique_ptr<sigdb::TFileSearch> LoadDatabase(DatabaseLoad& load) {
  auto probe = std::make_unique<sigdb::TFileSearch>();
  probe->SetFilename(load.path);
  // An empty database holds no entry, and that is no error; anything else that leaves no
  // block (too large, unreadable, no regular file) is.
  const bool empty = load.stamp.size == 0 && probe->LoadFoundEmpty();
  if (probe->Filename().empty() && !empty) {
    load.failed = true;
    load.reason = probe->LoadError();
  }
  return probe;
}

// Reads the databases side by side: most of reading a large one is the system backing fresh
// memory, which two processors do at once. Each is then indexed by the thread that read it,
// while the scan begins: the first lookup in a database waits for its index, and the others
// keep the processors busy meanwhile. The first database is read and indexed on this thread,
// while the others are still read; a database whose thread cannot be started is read here
// too, and indexed at its first lookup.
class DatabaseLoader {
 public:
  DatabaseLoader() = default;
  DatabaseLoader(const DatabaseLoader&) = delete;
  DatabaseLoader& operator=(const DatabaseLoader&) = delete;
  // Waits for the indexes still being built.
  ~DatabaseLoader() {
    for (std::thread& thread : threads_) thread.join();
  }

  // Returns once every database of loads is read, and its outcome set. Called once.
  void Load(std::vector<DatabaseLoad>& loads) {
    failures_.assign(loads.size(), nullptr);
    // A member, not a local: a thread may still be leaving count_down when the wait ends.
    read_.emplace(static_cast<std::ptrdiff_t>(loads.size()));
    // loads is touched only before the read is counted, while this call still waits.
    auto load = [this, &loads](size_t n) -> std::unique_ptr<sigdb::TFileSearch> {
      std::unique_ptr<sigdb::TFileSearch> search;
      try {
        search = LoadDatabase(loads[n]);
      } catch (...) {
        failures_[n] = std::current_exception();
      }
      read_->count_down();
      return search;
    };
    threads_.reserve(loads.size());
    for (size_t n = 1; n < loads.size(); ++n) {
      try {
        threads_.emplace_back([load, n] {
          if (const auto search = load(n)) PrepareIndex(*search);
        });
      } catch (const std::system_error&) {
        load(n);
      }
    }
    if (!loads.empty())
      if (const auto search = load(0)) PrepareIndex(*search);
    read_->wait();
    for (const std::exception_ptr& failure : failures_)
      if (failure) std::rethrow_exception(failure);
  }

 private:
  // An index that cannot be built now is built at the database's first lookup.
  static void PrepareIndex(const sigdb::TFileSearch& search) noexcept {
    try {
      search.PrepareIndex();
    } catch (...) {
    }
  }

  std::vector<std::exception_ptr> failures_;
  std::optional<std::latch> read_;
  std::vector<std::thread> threads_;
};

// Looks at each database that the scan reads, following symbolic links. A missing hash or
// window database is a warning; one that is there but cannot be read whole is reported once
// with the reason, here, so that the per-file lookups, which find nothing in it, stay silent.
// heuristics.db is only looked for: the scan's show handling loads and reports it.
DatabaseCheck CheckDatabases(const std::string& db_dir, bool heuristics, DatabaseLoader& loader) {
  DatabaseCheck check;
  std::string first_missing_reason;
  std::vector<std::string> warnings;
  std::vector<DatabaseLoad> loads;
  for (const char* name : {"database.db", "tdb.ldb", "heuristics.db"}) {
    const bool is_heuristics = std::string_view(name) == "heuristics.db";
    if (is_heuristics && !heuristics) continue;
    const std::string path = db_dir + name;
    platform::FileStamp stamp;
    platform::ErrorCode error = 0;
    if (!platform::StatPath(path, &stamp, &error)) {
      const std::string reason = platform::ErrorText(error);
      if (first_missing_reason.empty()) first_missing_reason = reason;
      if (!is_heuristics)
        warnings.push_back("warning: " + DisplayText(path) + ": " + reason +
                           " (this check finds nothing)");
      continue;
    }
    check.usable = true;
    if (!is_heuristics) loads.push_back(DatabaseLoad{path, stamp, false, {}});
  }
  loader.Load(loads);
  for (const DatabaseLoad& load : loads) {
    if (!load.failed) continue;
    PrintError(DisplayText(load.path) + ": cannot be loaded: " + DisplayText(load.reason));
    check.failed = true;
  }
  if (!check.usable) {
    PrintError(DisplayText(db_dir) + ": no database to scan with (database.db, tdb.ldb" +
               (heuristics ? ", heuristics.db" : "") + "): " + first_missing_reason);
    return check;
  }
  for (const std::string& warning : warnings) PrintError(warning);
  return check;
}

// The command line's message queue: pumping it, as the walk and the matcher do between
// files and blocks, is where an interrupt is noticed and turned into a stop of the walk. The
// signal handler itself only sets a flag.
class InterruptibleQueue : public platform::PlainMessageQueue {
 public:
  // Called once, on the user-interface thread, the first time an interrupt is noticed.
  std::function<void()> OnInterrupt;

  void ProcessMessages() override {
    PlainMessageQueue::ProcessMessages();
    CheckInterrupt();
  }
  void WaitForMessages(std::chrono::milliseconds timeout) override {
    PlainMessageQueue::WaitForMessages(timeout);
    CheckInterrupt();
  }

  // True once an interrupt has been noticed (and OnInterrupt run).
  bool CheckInterrupt() {
    if (!noticed_ && platform::InterruptRequested()) {
      noticed_ = true;
      if (OnInterrupt) OnInterrupt();
    }
    return noticed_;
  }

 private:
  bool noticed_ = false;
};

// Prints detections and files not examined as they are handled and, when asked, a progress
// line on a terminal.
class ConsoleView : public scan::ScanView, public scan::ScanSettings {
 public:
  explicit ConsoleView(const Options& options)
      : options_(options), progress_(options.progress && platform::StandardErrorIsTerminal()) {}

  void SetRun(const scan::TScanRun* run) { run_ = run; }

  bool UseHeuristics() const override { return options_.heuristics; }
  bool DeleteThem() const override { return options_.delete_them; }

  void AddResultRow(const std::string&, const std::string&, const std::string&) override {}

  void SetPanelText(int panel, const std::string& text) override {
    if (panel != scan::kPanelCurrentFile || !progress_) return;
    current_ = text;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_draw_ < std::chrono::milliseconds(100)) return;
    last_draw_ = now;
    DrawProgress();
  }

  void DetectionReported(const std::string& path, std::string_view action,
                         std::string_view check) override {
    ClearProgress();
    const std::string line = cli::DetectionLine(path, action, check) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }

  void FileNotExamined(const std::string& path, const std::string& reason) override {
    ReportNotExamined(path, reason);
  }

  void ScanWarning(const std::string& text) override {
    ClearProgress();
    std::fflush(stdout);
    PrintError("warning: " + platform::DisplayText(text));
  }

  // Names path on standard error as not examined, for reason, and counts it.
  void ReportNotExamined(const std::string& path, const std::string& reason) {
    ClearProgress();
    std::fflush(stdout);
    PrintError(DisplayText(path) + ": not examined: " + DisplayText(reason));
    ++not_examined_;
  }

  int NotExaminedCount() const { return not_examined_; }

  // Removes the progress line, so that the next line printed starts in the first column.
  void ClearProgress() {
    if (!drawn_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
  }

 private:
  void DrawProgress() {
    if (run_ == nullptr) return;
    int columns = platform::StandardErrorColumns();
    if (columns <= 0) columns = kDefaultColumns;
    std::string line = "\r";
    line += cli::ProgressLine(run_->ScannedCount(), run_->InfectedCount(), run_->RemovedCount(),
                              current_, columns);
    line += "\033[K";
    std::fflush(stdout);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    drawn_ = true;
  }

  const Options& options_;
  const bool progress_;
  const scan::TScanRun* run_ = nullptr;
  std::string current_;
  std::chrono::steady_clock::time_point last_draw_{};
  bool drawn_ = false;
  int not_examined_ = 0;
};

int Main(int argc, char** argv) {
  Options options;
  if (int status = ParseArguments(argc, argv, options); status >= 0) return status;
  platform::InstallInterruptHandler();

  // The set is chosen once, here: every file of this scan is checked against that folder,
  // whatever an update installs meanwhile.
  sigdb::ResolvedSet set;
  if (!options.db_dir.empty()) {
    set = sigdb::SetOfFolder(options.db_dir);
  } else {
    const std::string program_directory = platform::ProgramDirectory();
    if (program_directory.empty()) {
      PrintError("cannot tell the folder of this program, where the databases are; use --db-dir");
      return kExitError;
    }
    set = sigdb::ResolveSignatureSet(sigdb::InstalledSetRoots(), program_directory);
  }
  for (const std::string& warning : set.warnings)
    PrintError("warning: " + platform::DisplayText(warning));
  if (const std::string expired = sigdb::ExpiryWarning(set, sigdb::UtcNow()); !expired.empty())
    PrintError(expired);
  if (options.version) {
    std::cout << kVersion << cli::SetReport(set, sigdb::CountSignatures(set.folder));
    std::cout.flush();
    return std::cout.good() ? kExitClean : kExitError;
  }
  const std::string db_dir = set.folder;

  if (!options.quiet) std::cout << "Databases: " << DisplayText(db_dir) << std::endl;
  // Outlives the scan, whose first lookups may wait for the indexes it builds.
  DatabaseLoader loader;
  const DatabaseCheck databases = CheckDatabases(db_dir, options.heuristics, loader);
  if (!databases.usable) return kExitError;
  bool error = databases.failed;

  InterruptibleQueue queue;
  // Installed for as long as the scan run lives, also when an exception ends it.
  struct QueueInstallation {
    explicit QueueInstallation(platform::MessageQueue* q) { platform::InstallMessageQueue(q); }
    ~QueueInstallation() { platform::InstallMessageQueue(nullptr); }
  } installation(&queue);
  int status = kExitClean;
  {
    // Deleted files are kept in the quarantine first, unless the settings turn that off. It
    // outlives the scan run, which finishes the deletions waiting in it when it ends.
    std::unique_ptr<scan::Quarantine> quarantine;
    ConsoleView view(options);
    scan::TScanRun run(view, view, db_dir);
    if (options.delete_them) {
      const scan::QuarantineSettings settings = scan::ReadQuarantineSettings();
      if (settings.keep) {
        quarantine =
            std::make_unique<scan::Quarantine>(scan::Quarantine::DefaultFolder(), settings);
        if (std::string why; !quarantine->Open(&why)) {
          PrintError(DisplayText(why) + "; infected files are not deleted");
          error = true;
        }
        run.SetQuarantine(quarantine.get());
      }
    }
    view.SetRun(&run);
    queue.OnInterrupt = [&run] { run.ff.Stop(); };
    try {
      run.FormShow();
    } catch (const Exception& e) {
      // Without heuristics the strings are never used, so their database does not matter.
      if (options.heuristics) {
        PrintError(DisplayText(e.Message()));
        error = true;
      }
    }

    // Each target is resolved when its turn comes, so that messages keep the command's order.
    const size_t target_count = options.all_drives ? 1 : options.targets.size();
    for (size_t i = 0; i < target_count; ++i) {
      if (queue.CheckInterrupt()) break;
      scan::ScanTarget target;
      if (options.all_drives) {
        target = scan::AllDrivesTarget();
      } else if (std::string why; !scan::ResolveScanTarget(options.targets[i], target, &why)) {
        view.ClearProgress();
        std::cout.flush();
        PrintError(DisplayText(options.targets[i]) + ": " + DisplayText(why));
        error = true;
        continue;
      }
      if (!options.quiet) {
        view.ClearProgress();
        std::cout << "Scanning: " << DisplayText(target.shown) << std::endl;
      }
      if (scan::WalkScanTarget(run, target) == scan::TargetOutcome::kNotReached)
        view.ReportNotExamined(target.shown,
                               "its folder cannot be listed, or it lies on a pseudo file system");
    }

    // The summary counts every lookup that the scan started.
    run.WaitForLookups();
    view.ClearProgress();
    const bool interrupted = queue.CheckInterrupt();
    if (interrupted) PrintError("interrupted: the counts cover the files examined so far");
    if (view.NotExaminedCount() > 0) error = true;
    std::cout << "Files scanned: " << run.ScannedCount() << "\n"
              << "Infected: " << run.InfectedCount() << "\n"
              << "Removed: " << run.RemovedCount() << "\n"
              << "Not examined: " << view.NotExaminedCount() << "\n"
              << "Too large (5 MiB or more), not examined: " << run.TooLargeCount() << std::endl;
    if (run.QuarantinedCount() > 0)
      std::cout << "Quarantined: " << run.QuarantinedCount()
                << " (restore with nerlo-quarantine)" << std::endl;
    status = interrupted               ? kExitInterrupted
             : run.InfectedCount() > 0 ? kExitFound
             : error                   ? kExitError
                                       : kExitClean;
    queue.OnInterrupt = nullptr;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::bad_alloc&) {
    PrintError("not enough memory");
    return kExitError;
  } catch (const std::exception& e) {
    PrintError(DisplayText(e.what()));
    return kExitError;
  }
}
