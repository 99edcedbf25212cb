// nerlo-scan: the command-line scanner, a thin front end over the scan run.
//
// Exit status: 0 when nothing was found, 1 when something was found, 2 on a usage error, a
// target that does not exist or cannot be scanned (also a file whose folder turns out not to
// be listable), a database folder that does not exist, or a heuristics.db that could not be
// loaded (the scan still runs, without heuristic strings).

#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"
#include "platform/exceptions.h"
#include "platform/message_queue.h"
#include "platform/platform.h"
#include "scan/scan_run.h"
#include "scan/scan_target.h"

namespace {

using namespace nerlo;

constexpr std::string_view kUsage =
    "Usage: nerlo-scan [options] TARGET...\n"
    "       nerlo-scan [options] --all-drives\n"
    "\n"
    "Scans each TARGET, a folder (walked with everything below it) or a single file, and\n"
    "prints one line per detection, then the number of files scanned, infections found and\n"
    "files removed. Files of 5 MiB or more are not examined.\n"
    "\n"
    "Options:\n"
    "  --all-drives      scan every local drive (on Linux: everything below /)\n"
    "  --delete          delete infected files (default: report them only)\n"
    "  --no-heuristics   do not search files for the heuristic strings\n"
    "  --db-dir DIR      read database.db, tdb.ldb and heuristics.db from DIR\n"
    "                    (default: the folder of this program)\n"
    "  --quiet           print detections and the summary only\n"
    "  --progress        show the current file and the counters on standard error\n"
    "                    (only when it is a terminal)\n"
    "  --help            show this text\n"
    "\n"
    "Exit status: 0 nothing found, 1 something found, 2 usage error, a target that is\n"
    "missing or could not be scanned, missing database folder, or a heuristics.db that\n"
    "could not be loaded (the scan then runs without heuristic strings).\n";

struct Options {
  bool delete_them = false;
  bool heuristics = true;
  bool quiet = false;
  bool progress = false;
  bool all_drives = false;
  std::string db_dir;
  std::vector<std::string> targets;
};

int UsageError(const std::string& message) {
  std::cerr << "nerlo-scan: " << message << "\n\n" << kUsage;
  return 2;
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
      return 0;
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
  if (options.all_drives && !options.targets.empty())
    return UsageError("--all-drives takes no TARGET");
  if (!options.all_drives && options.targets.empty()) return UsageError("no TARGET given");
  return -1;
}

// Works out how target is walked; prints why and returns false when it cannot be scanned.
bool ResolveTarget(const std::string& target, scan::ScanTarget& out) {
  std::string error;
  if (scan::ResolveScanTarget(target, out, &error)) return true;
  std::cerr << "nerlo-scan: " << target << ": " << error << "\n";
  return false;
}

// Prints detections as they are handled and, when asked, a progress line on a terminal.
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
    if (now - last_draw_ < std::chrono::milliseconds(100)) return;
    last_draw_ = now;
    DrawProgress();
  }

  void DetectionReported(const std::string& path, std::string_view action,
                         std::string_view /*check*/) override {
    ClearProgress();
    std::string line = path + ": " + scan::kDiagnosticInfected;
    if (!action.empty()) line += " " + std::string(action);
    line += "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }

  void ClearProgress() {
    if (!drawn_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
  }

 private:
  void DrawProgress() {
    if (run_ == nullptr) return;
    std::string line = "\r\033[KScanned: " + std::to_string(run_->ScannedCount()) +
                       "  Infected: " + std::to_string(run_->InfectedCount()) +
                       "  Removed: " + std::to_string(run_->RemovedCount()) + "  ";
    // Keep the line short enough not to wrap on a narrow terminal: show the end of the path.
    constexpr size_t kPathRoom = 60;
    line += current_.size() > kPathRoom ? "..." + current_.substr(current_.size() - kPathRoom)
                                        : current_;
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
};

int Main(int argc, char** argv) {
  Options options;
  if (int status = ParseArguments(argc, argv, options); status >= 0) return status;

  std::string db_dir = options.db_dir.empty() ? platform::ProgramDirectory() : options.db_dir;
  if (!options.db_dir.empty()) {
    platform::DirectoryListing listing;
    platform::ErrorCode error = 0;
    if (!listing.Open(db_dir, "*", false, &error)) {
      std::cerr << "nerlo-scan: database folder " << db_dir << ": " << platform::ErrorText(error)
                << "\n";
      return 2;
    }
    if (!platform::IsDirectoryPartEnd(db_dir.back())) db_dir += platform::kPathSeparator;
  }

  std::vector<scan::ScanTarget> targets;
  if (options.all_drives) targets.push_back(scan::AllDrivesTarget());
  for (const std::string& t : options.targets) {
    scan::ScanTarget target;
    if (!ResolveTarget(t, target)) return 2;
    targets.push_back(target);
  }

  platform::PlainMessageQueue queue;
  platform::InstallMessageQueue(&queue);
  int status = 0;
  {
    ConsoleView view(options);
    scan::TScanRun run(view, view, db_dir);
    view.SetRun(&run);
    if (!options.quiet) std::cout << "Databases: " << db_dir << "\n";
    bool databases_loaded = true;
    try {
      run.FormShow();
    } catch (const Exception& e) {
      std::cerr << "nerlo-scan: " << e.Message() << "\n";
      databases_loaded = false;
    }
    bool targets_scanned = true;
    for (const scan::ScanTarget& target : targets) {
      if (!options.quiet) std::cout << "Scanning: " << target.shown << std::endl;
      const bool reached = scan::WalkScanTarget(run, target);
      // A file is reached through a listing of its folder: a folder that cannot be listed, or
      // one on a pseudo file system, reports nothing, and the file was never examined.
      if (!reached) {
        view.ClearProgress();
        std::cerr << "nerlo-scan: " << target.shown
                  << ": not scanned (its folder cannot be listed, or it lies on a pseudo file "
                     "system)\n";
        targets_scanned = false;
      }
    }
    // The summary counts every lookup that the scan started.
    run.WaitForLookups();
    view.ClearProgress();
    std::cout << "Files scanned: " << run.ScannedCount() << "\n"
              << "Infected: " << run.InfectedCount() << "\n"
              << "Removed: " << run.RemovedCount() << std::endl;
    status = !databases_loaded || !targets_scanned ? 2 : run.InfectedCount() > 0 ? 1 : 0;
  }
  platform::InstallMessageQueue(nullptr);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "nerlo-scan: " << e.what() << "\n";
    return 2;
  }
}
