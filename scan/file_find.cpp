#include "scan/file_find.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <set>
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
  size_t path_length = 0;  // the level's path is the walk's path cut to this length
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

// The walk's current path, its levels, and the identities of the directories on it.
struct TFileFind::WalkState {
  std::string path;
  std::vector<Level> levels;
  std::set<std::pair<uint64_t, uint64_t>> on_path;
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
  stop_request_ = false;
  Deliver(dir, path, name);
}

void TFileFind::Stop() {
  stop_request_ = true;
  if (OnStop) OnStop(*this, stop_request_);
}

void TFileFind::Report(const platform::DirectoryRef& dir, const std::string& dir_path,
                       const std::string& name) {
  Deliver(dir, platform::JoinPath(dir_path, name), name);
}

void TFileFind::Deliver(const platform::DirectoryRef& dir, std::string path,
                        const std::string& name) {
  last_match_ = std::move(path);
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

void TFileFind::Enter(const std::string& mask, platform::DirectoryRef dir, WalkState& walk) {
  // Links are never entered, so only a mount of an ancestor below itself leads back up.
  const auto id = std::make_pair(dir->Identity().device, dir->Identity().inode);
  if (!walk.on_path.insert(id).second) return;
  Level level;
  level.finished = true;
  level.dir = std::move(dir);
  level.path_length = walk.path.size();
  walk.levels.push_back(std::move(level));
  Level& top = walk.levels.back();
  const std::string& path = walk.path;

  if (OnChangeDirectory) OnChangeDirectory(*this, path);

  // File pass: every matching entry that is not a directory, in listing order.
  platform::ErrorCode error = 0;
  platform::DirEntry entry;
  {
    platform::DirectoryListing files;
    if (!files.Open(*top.dir, mask, /*with_details=*/false, &error)) {
      NotExamined(path, error);
      return;
    }
    // Entries listed and not yet reported, in listing order (one at a time without a
    // look-ahead).
    const size_t lookahead = OnUpcoming ? kLookahead : 1;
    std::deque<std::string> ahead;
    bool listed_all = false;
    for (;;) {
      while (!listed_all && ahead.size() < lookahead) {
        if (!files.Next(&entry)) {
          listed_all = true;
        } else if (!entry.is_directory) {
          if (OnUpcoming) OnUpcoming(*this, top.dir, entry.name);
          ahead.push_back(std::move(entry.name));
        }
      }
      if (ahead.empty()) break;
      const std::string name = std::move(ahead.front());
      ahead.pop_front();
      Report(top.dir, path, name);
      if (stop_request_) break;
    }
    if (!ahead.empty() && OnUpcomingDropped) OnUpcomingDropped(*this);
  }
  if (search_scope_ == TSearchScope::ssCurrentDir) return;

  platform::DirectoryListing all;
  if (!all.Open(*top.dir, "*.*", /*with_details=*/false, &error)) {
    NotExamined(path, error);
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

  WalkState walk;
  walk.path = path;
  Enter(mask, root, walk);
  std::vector<Level>& levels = walk.levels;
  while (!levels.empty()) {
    Level& top = levels.back();
    if (!top.finished && top.next < top.runs.size()) {
      Level::Run run = std::move(top.runs[top.next++]);
      if (!pass_over(run.others_before)) {
        top.finished = true;
        top.others_after = 0;
        continue;
      }
      walk.path.resize(top.path_length);
      walk.path = platform::JoinPath(walk.path, run.subdirectory);
      platform::ErrorCode error = 0;
      platform::DirectoryRef child =
          platform::Directory::OpenChild(top.dir, run.subdirectory, &error);
      const size_t depth = levels.size();
      if (child == nullptr) {
        // Gone since the listing, or swapped for something that is not a directory (a link
        // is never followed): nothing to report for those; anything else could not be read.
        if (!platform::IsVanished(error)) {
          if (OnChangeDirectory) OnChangeDirectory(*this, walk.path);
          NotExamined(walk.path, error);
        }
      } else {
        Enter(mask, std::move(child), walk);
      }
      if (levels.size() > depth) continue;  // the child's level runs next
      // Nothing was entered: the parent goes on as after a subdirectory's walk.
      walk.path.resize(levels.back().path_length);
      platform::ProcessMessages();
      if (stop_request_) levels.back().finished = true;
      continue;
    }
    if (!top.finished && top.next >= top.runs.size()) pass_over(top.others_after);
    top.dir->ReopenParent();
    walk.on_path.erase(std::make_pair(top.dir->Identity().device, top.dir->Identity().inode));
    levels.pop_back();
    if (levels.empty()) break;
    walk.path.resize(levels.back().path_length);
    platform::ProcessMessages();
    if (stop_request_) levels.back().finished = true;
  }
}

}  // namespace nerlo::scan
