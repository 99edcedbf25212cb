#include "scan/file_find.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "platform/message_queue.h"

namespace nerlo::scan {

namespace {

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

}  // namespace

std::string ReasonText(platform::ErrorCode error) {
  if (error == platform::kErrorReplaced) return "moved or replaced during the scan";
  if (error == platform::kErrorNotRegular)
    return "not a regular file (devices, FIFOs and sockets are never read)";
  return platform::ErrorText(error);
}

// One directory of the walk's current path, between its listing and its last subdirectory.
struct TFileFind::Level {
  platform::DirectoryRef dir;
  std::string path;
  // The directory pass, read to its end before any subdirectory is entered, so that a level
  // holds no listing open while the levels below it run. Only the subdirectories' names are
  // kept; for the other entries it is enough to know how many came before each
  // subdirectory, as each of them just pumps.
  struct Run {
    size_t others_before = 0;  // entries not entered that precede the subdirectory
    std::string subdirectory;
  };
  std::vector<Run> runs;
  size_t next = 0;
  size_t others_after = 0;
  bool finished = false;  // stop request seen, or nothing (more) to enter
};

void TFileFind::Start() {
  last_match_.clear();
  last_directory_.reset();
  last_name_.clear();
  stop_request_ = false;

  size_t split = file_name_.size();
  while (split > 0 && !platform::IsDirectoryPartEnd(file_name_[split - 1])) --split;
  auto walk_path = [this](const std::string& mask, const std::string& dir) {
    platform::ErrorCode error = 0;
    platform::DirectoryRef root =
        platform::Directory::OpenRoot(dir, platform::LinkPolicy::kFollow, &error);
    if (root == nullptr) {
      if (OnChangeDirectory) OnChangeDirectory(*this, dir);
      NotExamined(dir, error);
      return;
    }
    Walk(mask, root, dir);
  };
  if (split > 0) {
    walk_path(file_name_.substr(split), file_name_.substr(0, split));
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
    walk_path(mask, platform::DriveRoot(drive));
    if (stop_request_) break;
  }
}

void TFileFind::StartIn(const platform::DirectoryRef& root, const std::string& root_path) {
  last_match_.clear();
  last_directory_.reset();
  last_name_.clear();
  stop_request_ = false;
  size_t split = file_name_.size();
  while (split > 0 && !platform::IsDirectoryPartEnd(file_name_[split - 1])) --split;
  Walk(file_name_.substr(split), root, root_path);
}

void TFileFind::StartFile(const platform::DirectoryRef& dir, const std::string& name,
                          const std::string& path) {
  last_match_.clear();
  last_directory_.reset();
  last_name_.clear();
  stop_request_ = false;
  last_match_ = path;
  last_directory_ = dir;
  last_name_ = name;
  if (OnMatch) OnMatch(*this);
  if (stop_on_first_match_)
    stop_request_ = true;
  else
    platform::ProcessMessages();
}

void TFileFind::Stop() {
  stop_request_ = true;
  if (OnStop) OnStop(*this, stop_request_);
}

void TFileFind::Report(const platform::DirectoryRef& dir, const std::string& dir_path,
                       const std::string& name) {
  last_match_ = platform::JoinPath(dir_path, name);
  last_directory_ = dir;
  last_name_ = name;
  if (OnMatch) OnMatch(*this);
  if (stop_on_first_match_)
    stop_request_ = true;
  else
    platform::ProcessMessages();
}

void TFileFind::NotExamined(const std::string& path, platform::ErrorCode error) {
  if (OnNotExamined) OnNotExamined(*this, path, ReasonText(error));
}

void TFileFind::Enter(const std::string& mask, platform::DirectoryRef dir, std::string path,
                      std::vector<Level>& levels) {
  Level level;
  level.finished = true;
  // Links are never entered, so only a mount of an ancestor below itself leads back up.
  if (dir != nullptr) {
    for (const Level& open : levels) {
      if (open.dir != nullptr && open.dir->Identity() == dir->Identity()) return;
    }
  }
  level.dir = std::move(dir);
  level.path = std::move(path);
  levels.push_back(std::move(level));
  Level& top = levels.back();

  if (OnChangeDirectory) OnChangeDirectory(*this, top.path);
  if (top.dir == nullptr) return;

  // File pass: every matching entry that is not a directory, in listing order.
  platform::ErrorCode error = 0;
  platform::DirEntry entry;
  {
    platform::DirectoryListing files;
    if (!files.Open(*top.dir, mask, /*with_details=*/false, &error)) {
      NotExamined(top.path, error);
      return;
    }
    while (files.Next(&entry)) {
      if (!entry.is_directory) Report(top.dir, top.path, entry.name);
      if (stop_request_) break;
    }
  }
  if (search_scope_ == TSearchScope::ssCurrentDir) return;

  platform::DirectoryListing all;
  if (!all.Open(*top.dir, "*.*", /*with_details=*/false, &error)) {
    NotExamined(top.path, error);
    return;
  }
  size_t others = 0;
  while (all.Next(&entry)) {
    if (entry.is_directory && !IsDotEntry(entry.name)) {
      top.runs.push_back(Level::Run{others, std::move(entry.name)});
      others = 0;
    } else {
      ++others;
    }
  }
  top.others_after = others;
  top.finished = false;
}

void TFileFind::Walk(const std::string& mask, const platform::DirectoryRef& root,
                     const std::string& path) {
  // Each entry of a directory pass, entered or not, is followed by a pump and a test of the
  // stop request; the first entry is handled before the request is looked at.
  auto pass_over = [this](size_t count) {
    for (size_t i = 0; i < count; ++i) {
      platform::ProcessMessages();
      if (stop_request_) return false;
    }
    return true;
  };

  std::vector<Level> levels;
  Enter(mask, root, path, levels);
  while (!levels.empty()) {
    Level& top = levels.back();
    if (!top.finished && top.next < top.runs.size()) {
      Level::Run run = std::move(top.runs[top.next++]);
      if (!pass_over(run.others_before)) {
        top.finished = true;
        top.others_after = 0;
        continue;
      }
      std::string child_path = platform::JoinPath(top.path, run.subdirectory);
      platform::ErrorCode error = 0;
      platform::DirectoryRef child =
          platform::Directory::OpenChild(top.dir, run.subdirectory, &error);
      const size_t depth = levels.size();
      if (child == nullptr) {
        // Gone since the listing, or swapped for something that is not a directory (a link
        // is never followed): nothing to report for those; anything else could not be read.
        if (!platform::IsVanished(error)) {
          if (OnChangeDirectory) OnChangeDirectory(*this, child_path);
          NotExamined(child_path, error);
        }
      } else {
        Enter(mask, std::move(child), std::move(child_path), levels);
      }
      if (levels.size() > depth) continue;  // the child's level runs next
      // Nothing was entered: the parent goes on as after a subdirectory's walk.
      platform::ProcessMessages();
      if (stop_request_) levels.back().finished = true;
      continue;
    }
    if (!top.finished && top.next >= top.runs.size()) pass_over(top.others_after);
    levels.pop_back();
    if (levels.empty()) break;
    platform::ProcessMessages();
    if (stop_request_) levels.back().finished = true;
  }
}

}  // namespace nerlo::scan
