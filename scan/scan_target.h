// What a scan walks: a folder with everything below it, one file named literally, or every
// local drive. The command-line scanner and the desktop program's "File" choice both go
// through here, so that a file target is that file alone, whatever its name holds.
#pragma once

#include <string>

#include "scan/scan_run.h"

namespace nerlo::scan {

struct ScanTarget {
  std::string file_name;     // what the walk is given as FileName
  bool single_file = false;  // walk the file's folder alone ...
  std::string only_path;     // ... and examine only this path (the name may hold wildcards)
  std::string shown;         // as the user gave it
};

// Works out how target (a folder or a file, as the user named it) is walked. Returns false,
// with *error set to why (without the target's name), when it cannot be scanned.
bool ResolveScanTarget(const std::string& target, ScanTarget& out, std::string* error);

// Every local drive.
ScanTarget AllDrivesTarget();

// What became of a scan target's walk.
enum class TargetOutcome {
  kReached,     // walked: every file was examined or told to run.ff.OnNotExamined
  kReported,    // a single file that was not examined, already told to run.ff.OnNotExamined
  kNotReached,  // a single file that was not examined and of which nothing was said (run.ff
                // has no OnNotExamined): the caller reports it
};

// Walks target with run.ff on the user-interface thread, examining each file with
// run.ffMatch, and finishes the deletions left waiting at its end (run.FinishDeletions). A single
// file whose folder cannot be reached, that lies on a pseudo file system, or that cannot be opened
// or read is not examined, and reported once.
TargetOutcome WalkScanTarget(TScanRun& run, const ScanTarget& target);

}  // namespace nerlo::scan
