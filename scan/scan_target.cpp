#include "scan/scan_target.h"

#include "platform/platform.h"

namespace nerlo::scan {

bool ResolveScanTarget(const std::string& target, ScanTarget& out, std::string* error) {
  out = ScanTarget{};
  out.shown = target;
  platform::ErrorCode list_error = 0;
  platform::DirectoryListing listing;
  if (listing.Open(target, "*", false, &list_error)) {
    out.file_name = platform::JoinPath(target, "*.*");
    return true;
  }
  platform::DirEntry entry;
  const bool found = platform::FindEntry(target, &entry);
  if (found && !entry.is_directory) {
    // A name without a folder would start a drive walk: give it the current folder.
    std::string path = target;
    size_t cut = path.size();
    while (cut > 0 && !platform::IsDirectoryPartEnd(path[cut - 1])) --cut;
    if (cut == 0) path = std::string(".") + platform::kPathSeparator + path;
    out.file_name = path;
    out.only_path = path;
    out.single_file = true;
    return true;
  }
  platform::FileStamp stamp;
  platform::ErrorCode stat_error = 0;
  if (found) {
    *error = platform::ErrorText(list_error);
  } else if (platform::StatPath(target, &stamp, &stat_error)) {
    *error =
        "not a file or folder that can be scanned (symbolic links, devices, FIFOs and sockets "
        "are never scanned)";
  } else {
    *error = platform::ErrorText(stat_error);
  }
  return false;
}

ScanTarget AllDrivesTarget() {
  ScanTarget all;
  all.file_name = "*.*";
  all.shown = "all local drives";
  return all;
}

bool WalkScanTarget(TScanRun& run, const ScanTarget& target) {
  run.ff.SetDriveList("");
  run.ff.SetFileName(target.file_name);
  run.ff.SetSearchScope(target.single_file ? TSearchScope::ssCurrentDir
                                           : TSearchScope::ssEntireDisk);
  bool reported = false;
  auto saved = run.ff.OnMatch;
  run.ff.OnMatch = [&run, &target, &reported](TFileFind& sender) {
    if (target.single_file && sender.LastMatch() != target.only_path) return;
    reported = true;
    run.ffMatch(sender);
  };
  try {
    run.ff.Start();
  } catch (...) {
    run.ff.OnMatch = saved;
    throw;
  }
  run.ff.OnMatch = saved;
  return !target.single_file || reported;
}

}  // namespace nerlo::scan
