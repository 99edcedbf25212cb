#include "scan/scan_target.h"

#include "platform/platform.h"

namespace nerlo::scan {

bool ResolveScanTarget(const std::string& target, ScanTarget& out, std::string* error) {
  out = ScanTarget{};
  out.shown = target;
  // A link named as the target is followed, for a folder as for a file: the user named it.
  platform::ErrorCode open_error = 0;
  platform::DirectoryRef root =
      platform::Directory::OpenRoot(target, platform::LinkPolicy::kFollow, &open_error);
  if (root != nullptr) {
    platform::DirectoryListing listing;
    platform::ErrorCode list_error = 0;
    if (!listing.Open(*root, "*", &list_error)) {
      *error = ReasonText(list_error);
      return false;
    }
    out.file_name = platform::JoinPath(target, "*.*");
    return true;
  }
  platform::DirectoryRef folder;
  std::string name;
  platform::ErrorCode file_error = 0;
  if (platform::ResolveFile(target, &folder, &name, &file_error)) {
    // A bare name is shown as in the current folder, as a walk of that folder names it.
    std::string path = target;
    if (path.find(platform::kPathSeparator) == std::string::npos)
      path = std::string(".") + platform::kPathSeparator + path;
    out.file_name = path;
    out.only_path = path;
    out.single_file = true;
    return true;
  }
  // A folder that cannot be reached says why; otherwise the file's reason stands.
  *error = ReasonText(platform::IsVanished(open_error) ? file_error : open_error);
  return false;
}

ScanTarget AllDrivesTarget() {
  ScanTarget all;
  all.file_name = "*.*";
  all.shown = "all local drives";
  return all;
}

TargetOutcome WalkScanTarget(TScanRun& run, const ScanTarget& target) {
  run.ff.SetDriveList("");
  run.ff.SetFileName(target.file_name);
  run.ff.SetSearchScope(target.single_file ? TSearchScope::ssCurrentDir
                                           : TSearchScope::ssEntireDisk);
  if (!target.single_file) {
    run.ff.Start();
    return TargetOutcome::kReached;
  }
  const auto not_examined = [&run, &target](const std::string& reason) {
    if (!run.ff.OnNotExamined) return TargetOutcome::kNotReached;
    run.ff.OnNotExamined(run.ff, target.only_path, reason);
    return TargetOutcome::kReported;
  };
  // The file is resolved here, once, following links; from then on it is reached through the
  // handle of the folder that holds it, and reported under the name the user gave.
  platform::DirectoryRef folder;
  std::string name;
  platform::ErrorCode error = 0;
  if (!platform::ResolveFile(target.only_path, &folder, &name, &error))
    return not_examined(ReasonText(error));
  if (folder->OnPseudoFileSystem()) return not_examined("lies on a pseudo file system");
  const int32_t before = run.NotExaminedCount();
  run.ff.StartFile(folder, name, target.only_path);
  return run.NotExaminedCount() == before ? TargetOutcome::kReached : TargetOutcome::kReported;
}

}  // namespace nerlo::scan
