#include "scan/file_find.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "platform/message_queue.h"

namespace nerlo::scan {

namespace {

// Keeps a directory on the walk's current path while its level runs, also when OnMatch throws.
class OpenDirectoryGuard {
 public:
  OpenDirectoryGuard(std::vector<platform::FileIdentity>& path, platform::FileIdentity id)
      : path_(path) {
    path_.push_back(id);
  }
  ~OpenDirectoryGuard() { path_.pop_back(); }
  OpenDirectoryGuard(const OpenDirectoryGuard&) = delete;
  OpenDirectoryGuard& operator=(const OpenDirectoryGuard&) = delete;

 private:
  std::vector<platform::FileIdentity>& path_;
};

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

}  // namespace

void TFileFind::Start() {
  last_match_.clear();
  stop_request_ = false;
  open_directories_.clear();

  size_t split = file_name_.size();
  while (split > 0 && !platform::IsDirectoryPartEnd(file_name_[split - 1])) --split;
  if (split > 0) {
    Walk(file_name_.substr(split), file_name_.substr(0, split), platform::LinkPolicy::kFollow);
    return;
  }

  const std::string mask = file_name_;
  if (drive_list_.empty()) drive_list_ = platform::DefaultDriveList();
  // A copy: a handler may change DriveList while the drives are walked.
  const std::string drives = drive_list_;
  for (char drive : drives) {
    if (!platform::DriveReady(drive)) continue;
    if (OnChangeDrive)
      OnChangeDrive(*this, static_cast<char>(std::toupper(static_cast<unsigned char>(drive))));
    Walk(mask, platform::DriveRoot(drive), platform::LinkPolicy::kFollow);
    if (stop_request_) break;
  }
}

void TFileFind::Stop() {
  stop_request_ = true;
  if (OnStop) OnStop(*this, stop_request_);
}

void TFileFind::Report(const std::string& dir, const std::string& name) {
  last_match_ = platform::JoinPath(dir, name);
  if (OnMatch) OnMatch(*this);
  if (stop_on_first_match_)
    stop_request_ = true;
  else
    platform::ProcessMessages();
}

void TFileFind::Walk(const std::string& mask, const std::string& dir, platform::LinkPolicy links) {
  auto on_current_path = [this](const platform::FileIdentity& id) {
    return id.valid && std::find(open_directories_.begin(), open_directories_.end(), id) !=
                           open_directories_.end();
  };

  // An unreadable directory simply lists nothing; the walk goes on elsewhere.
  platform::DirectoryListing files;
  files.Open(dir, mask, /*with_details=*/false, nullptr, links);
  const platform::FileIdentity id = files.Identity();
  // Links are never listed, so only a mount of an ancestor below itself leads back up.
  if (on_current_path(id)) return;
  OpenDirectoryGuard guard(open_directories_, id);

  if (OnChangeDirectory) OnChangeDirectory(*this, dir);

  // File pass: every matching entry that is not a directory, in listing order.
  platform::DirEntry entry;
  while (files.Next(&entry)) {
    if (!entry.is_directory) Report(dir, entry.name);
    if (stop_request_) break;
  }
  files.Close();

  if (search_scope_ == TSearchScope::ssCurrentDir) return;

  // Directory pass. The listing is read to its end before any subdirectory is entered, so a
  // level holds no open directory while the levels below it run (deep trees would otherwise
  // run out of descriptors). Only the subdirectories' names are kept; for the other entries
  // it is enough to know how many came before each subdirectory, as each of them just pumps.
  struct Run {
    size_t others_before = 0;  // entries not entered that precede the subdirectory
    std::string subdirectory;
  };
  std::vector<Run> runs;
  size_t others_after = 0;
  {
    platform::DirectoryListing all;
    if (!all.Open(dir, "*.*", /*with_details=*/false, nullptr, links)) return;
    const platform::FileIdentity again = all.Identity();
    if (again != id && on_current_path(again)) return;
    while (all.Next(&entry)) {
      if (entry.is_directory && !IsDotEntry(entry.name)) {
        runs.push_back(Run{others_after, std::move(entry.name)});
        others_after = 0;
      } else {
        ++others_after;
      }
    }
  }

  // Each entry, entered or not, is followed by a pump and a test of the stop request.
  auto pass_over = [this](size_t count) {
    for (size_t i = 0; i < count; ++i) {
      platform::ProcessMessages();
      if (stop_request_) return false;
    }
    return true;
  };
  for (const Run& run : runs) {
    if (!pass_over(run.others_before)) return;
    Walk(mask, platform::JoinPath(dir, run.subdirectory), platform::LinkPolicy::kNoFollow);
    platform::ProcessMessages();
    if (stop_request_) return;
  }
  pass_over(others_after);
}

}  // namespace nerlo::scan
