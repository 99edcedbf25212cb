#include "scan/file_find.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <memory>
#include <set>
#include <utility>

#include "platform/message_queue.h"

namespace nerlo::scan {

namespace {

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

// Directories listed ahead hold handles of their own: at most a quarter of those the platform
// keeps open, so that the handles of the walk's own path are not the ones closed to make
// room (one closed far up a deep path is reopened level by level from an open ancestor).
size_t DirectoriesAhead() {
  return std::clamp<size_t>(static_cast<size_t>(platform::MaxOpenDirectories()) / 4, 1,
                            TFileFind::kLookahead);
}

}  // namespace

std::string ReasonText(platform::ErrorCode error) {
  if (error == platform::kErrorReplaced) return "moved or replaced during the scan";
  if (error == platform::kErrorNotRegular)
    return "not a regular file (devices, FIFOs and sockets are never read)";
  return platform::ErrorText(error);
}

// A directory pass: the subdirectories' names, and for the other entries only how many came
// before each subdirectory, as each of them just pumps. Read to its end before any
// subdirectory is entered, so that a level holds no listing open while the levels below it
// run; read early when the walk lists ahead into the directories to come, a failure to list
// being told at the pass's own turn.
struct TFileFind::Subdirectories {
  struct Run {
    size_t others_before = 0;  // entries not entered that precede the subdirectory
    std::string subdirectory;
  };
  std::vector<Run> runs;
  size_t others_after = 0;
  bool listed = false;
  bool failed = false;
  platform::ErrorCode error = 0;
  platform::ErrorCode broke = 0;  // the listing began, then failed: the rest is missing
};

// One directory of the walk's current path, between its listing and its last subdirectory.
struct TFileFind::Level {
  platform::DirectoryRef dir;
  size_t path_length = 0;  // the level's path is the walk's path cut to this length
  Subdirectories pass;
  size_t next = 0;        // the run to enter next
  bool finished = false;  // stop request seen, or nothing (more) to enter
};

// A directory the walk will enter, opened and partly listed while the files of an earlier one
// are still being reported, so that the look-ahead runs on across directory ends. Its first
// files have been told to OnUpcoming. A directory that could not be opened or listed ahead
// has no dir: the walk opens it itself at its turn, and reports what fails.
struct TFileFind::Prefetch {
  const platform::Directory* parent = nullptr;
  std::string name;
  platform::DirectoryRef dir;
  platform::DirectoryListing files;  // positioned after the entries in ahead
  std::deque<std::string> ahead;
  bool listed_all = false;
  platform::ErrorCode broke = 0;  // the file listing ended in an error, not at its end
  Subdirectories pass;
};

// Where the walk will stand once it has entered the last directory listed ahead: the
// directories on its path then, each with the next subdirectory to enter.
struct TFileFind::Cursor {
  struct Frame {
    platform::DirectoryRef dir;
    std::vector<std::string> subdirectories;
    size_t next = 0;
  };
  std::vector<Frame> frames;
  bool valid = false;   // set up from the walk's levels, and kept since
  bool at_end = false;  // no directory is left to enter
};

// The walk's current path, its levels, the identities of the directories on it, and the
// directories listed ahead, in the order the walk enters them.
struct TFileFind::WalkState {
  std::string path;
  std::vector<Level> levels;
  std::set<std::pair<uint64_t, uint64_t>> on_path;
  std::deque<std::unique_ptr<Prefetch>> prefetched;
  Cursor cursor;
};

void TFileFind::BeginWalk() {
  last_match_.clear();
  last_directory_.reset();
  last_name_.clear();
  stop_request_ = false;
}

size_t TFileFind::MaskStart() const {
  size_t split = file_name_.size();
  while (split > 0 && !platform::IsDirectoryPartEnd(file_name_[split - 1])) --split;
  return split;
}

void TFileFind::Start() {
  BeginWalk();
  const size_t split = MaskStart();
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

void TFileFind::NotExaminedInPart(const std::string& path, platform::ErrorCode error) {
  if (OnNotExamined)
    OnNotExamined(*this, path,
                  "examined only in part: its listing broke off (" + ReasonText(error) + ")");
}

void TFileFind::Enter(const std::string& mask, platform::DirectoryRef dir, WalkState& walk,
                      std::unique_ptr<Prefetch> prefetched) {
  // Links are never entered, so only a mount of an ancestor below itself leads back up.
  const auto id = std::make_pair(dir->Identity().device, dir->Identity().inode);
  if (!walk.on_path.insert(id).second) {
    if (prefetched) DropPrefetched(walk, !prefetched->ahead.empty());
    return;
  }
  // A directory entered that was not listed ahead: what was listed ahead came from a guess
  // that no longer holds.
  if (!prefetched) DropPrefetched(walk, false);
  Level level;
  level.finished = true;
  level.dir = std::move(dir);
  level.path_length = walk.path.size();
  walk.levels.push_back(std::move(level));
  Level& top = walk.levels.back();
  const std::string& path = walk.path;

  if (OnChangeDirectory) OnChangeDirectory(*this, path);

  // File pass: every matching entry that is not a directory, in listing order.
  platform::ErrorCode broke = 0;
  {
    std::unique_ptr<Prefetch> own = std::move(prefetched);
    if (own) {
      top.pass = std::move(own->pass);
    } else {
      own = std::make_unique<Prefetch>();
      platform::ErrorCode error = 0;
      if (!own->files.Open(*top.dir, mask, &error)) {
        NotExamined(path, error);
        return;
      }
    }
    // Entries listed and not yet reported, in listing order (one at a time without a
    // look-ahead).
    std::deque<std::string>& ahead = own->ahead;
    const size_t lookahead = OnUpcoming ? lookahead_ : 1;
    for (;;) {
      ListFiles(*own, top.dir, lookahead - std::min(lookahead, ahead.size()));
      if (own->listed_all && OnUpcoming && search_scope_ != TSearchScope::ssCurrentDir)
        ListAhead(mask, walk, ahead.size());
      if (ahead.empty()) break;
      const std::string name = std::move(ahead.front());
      ahead.pop_front();
      Report(top.dir, path, name);
      if (stop_request_) break;
    }
    // Whatever was told and not reported never will be, the directories listed ahead
    // included.
    if (stop_request_) DropPrefetched(walk, !ahead.empty());
    broke = own->broke;
  }
  if (search_scope_ == TSearchScope::ssCurrentDir) {
    if (broke != 0) NotExaminedInPart(path, broke);
    return;
  }

  if (!top.pass.listed) ListSubdirectories(*top.dir, top.pass);
  if (top.pass.failed) {
    NotExamined(path, top.pass.error);
    return;
  }
  if (broke == 0) broke = top.pass.broke;
  // The subdirectories that were listed are still walked.
  if (broke != 0) NotExaminedInPart(path, broke);
  top.finished = false;
}

void TFileFind::ListFiles(Prefetch& listing, const platform::DirectoryRef& dir, size_t room) {
  platform::DirEntry entry;
  for (size_t told = 0; told < room && !listing.listed_all;) {
    if (!listing.files.Next(&entry)) {
      listing.listed_all = true;
      listing.broke = listing.files.Error();
      listing.files.Close();
    } else if (!entry.is_directory) {
      if (OnUpcoming) OnUpcoming(*this, dir, entry.name);
      listing.ahead.push_back(std::move(entry.name));
      ++told;
    }
  }
}

void TFileFind::ListSubdirectories(const platform::Directory& dir, Subdirectories& pass) {
  pass.listed = true;
  platform::DirectoryListing all;
  platform::DirEntry entry;
  if (!all.Open(dir, "*.*", &pass.error)) {
    pass.failed = true;
    return;
  }
  size_t others = 0;
  while (all.Next(&entry)) {
    if (entry.is_directory && !IsDotEntry(entry.name)) {
      pass.runs.push_back(Subdirectories::Run{others, std::move(entry.name)});
      others = 0;
    } else {
      ++others;
    }
  }
  pass.others_after = others;
  pass.broke = all.Error();
}

void TFileFind::ListAhead(const std::string& mask, WalkState& walk, size_t told_here) {
  size_t told = told_here;
  for (const auto& prefetch : walk.prefetched) told += prefetch->ahead.size();
  Cursor& cursor = walk.cursor;
  if (!cursor.valid) {
    // Nothing is listed ahead: the walk's own levels are where it stands.
    cursor.valid = true;
    cursor.frames.clear();
    for (Level& level : walk.levels) {
      if (!level.pass.listed) ListSubdirectories(*level.dir, level.pass);
      Cursor::Frame frame;
      frame.dir = level.dir;
      if (!level.finished || &level == &walk.levels.back()) {
        for (size_t k = level.next; k < level.pass.runs.size(); ++k)
          frame.subdirectories.push_back(level.pass.runs[k].subdirectory);
      }
      cursor.frames.push_back(std::move(frame));
    }
  }
  const size_t directories_ahead = DirectoriesAhead();
  while (told < lookahead_ && walk.prefetched.size() < directories_ahead) {
    if (!walk.prefetched.empty()) {
      Prefetch& last = *walk.prefetched.back();
      if (last.dir != nullptr && !last.listed_all) {
        const size_t before = last.ahead.size();
        ListFiles(last, last.dir, lookahead_ - told);
        told += last.ahead.size() - before;
        continue;
      }
    }
    // The next directory in the walk's order: the next subdirectory of the deepest directory
    // on the cursor's path that has one left.
    if (cursor.at_end) return;
    while (!cursor.frames.empty() &&
           cursor.frames.back().next >= cursor.frames.back().subdirectories.size())
      cursor.frames.pop_back();
    if (cursor.frames.empty()) {
      cursor.at_end = true;
      return;
    }
    Cursor::Frame& parent = cursor.frames.back();
    auto prefetch = std::make_unique<Prefetch>();
    prefetch->parent = parent.dir.get();
    prefetch->name = parent.subdirectories[parent.next++];
    platform::ErrorCode error = 0;
    platform::DirectoryRef child =
        platform::Directory::OpenChild(parent.dir, prefetch->name, &error);
    // A directory already on its parent's path is not entered at all, nor walked below.
    bool loop = false;
    for (const Cursor::Frame& frame : cursor.frames) {
      if (child != nullptr && frame.dir->Identity().device == child->Identity().device &&
          frame.dir->Identity().inode == child->Identity().inode)
        loop = true;
    }
    if (child != nullptr && !loop && prefetch->files.Open(*child, mask)) {
      prefetch->dir = std::move(child);
      ListSubdirectories(*prefetch->dir, prefetch->pass);
      Cursor::Frame frame;
      frame.dir = prefetch->dir;
      for (const Subdirectories::Run& run : prefetch->pass.runs)
        frame.subdirectories.push_back(run.subdirectory);
      cursor.frames.push_back(std::move(frame));
    }
    // Not opened: the walk opens it at its turn (reporting what fails), and what lies below
    // it, if anything, is not listed ahead.
    walk.prefetched.push_back(std::move(prefetch));
  }
}

std::unique_ptr<TFileFind::Prefetch> TFileFind::TakePrefetched(WalkState& walk,
                                                               const platform::Directory* parent,
                                                               const std::string& name) {
  if (walk.prefetched.empty()) return nullptr;
  std::unique_ptr<Prefetch>& front = walk.prefetched.front();
  if (front->parent != parent || front->name != name) {
    DropPrefetched(walk, false);
    return nullptr;
  }
  std::unique_ptr<Prefetch> taken = std::move(front);
  walk.prefetched.pop_front();
  // One that could not be opened ahead is opened by the walk itself; what was listed after it
  // stands as long as the walk cannot enter it either.
  if (taken->dir == nullptr) return nullptr;
  return taken;
}

void TFileFind::DropPrefetched(WalkState& walk, bool told_here) {
  bool told = told_here;
  for (const auto& prefetch : walk.prefetched) told = told || !prefetch->ahead.empty();
  walk.prefetched.clear();
  walk.cursor = Cursor();
  if (told && OnUpcomingDropped) OnUpcomingDropped(*this);
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
    if (!top.finished && top.next < top.pass.runs.size()) {
      Subdirectories::Run run = std::move(top.pass.runs[top.next++]);
      if (!pass_over(run.others_before)) {
        top.finished = true;
        top.pass.others_after = 0;
        continue;
      }
      walk.path.resize(top.path_length);
      walk.path = platform::JoinPath(walk.path, run.subdirectory);
      platform::ErrorCode error = 0;
      std::unique_ptr<Prefetch> prefetched = TakePrefetched(walk, top.dir.get(), run.subdirectory);
      platform::DirectoryRef child =
          prefetched ? prefetched->dir
                     : platform::Directory::OpenChild(top.dir, run.subdirectory, &error);
      const size_t depth = levels.size();
      if (child == nullptr) {
        // Gone since the listing, or swapped for something that is not a directory (a link
        // is never followed): nothing to report for those; anything else could not be read.
        if (!platform::IsVanished(error)) {
          if (OnChangeDirectory) OnChangeDirectory(*this, walk.path);
          NotExamined(walk.path, error);
        }
      } else {
        Enter(mask, std::move(child), walk, std::move(prefetched));
      }
      if (levels.size() > depth) continue;  // the child's level runs next
      // Nothing was entered: the parent goes on as after a subdirectory's walk.
      walk.path.resize(levels.back().path_length);
      platform::ProcessMessages();
      if (stop_request_) levels.back().finished = true;
      continue;
    }
    if (!top.finished && top.next >= top.pass.runs.size()) pass_over(top.pass.others_after);
    top.dir->ReopenParent();
    walk.on_path.erase(std::make_pair(top.dir->Identity().device, top.dir->Identity().inode));
    levels.pop_back();
    if (levels.empty()) break;
    walk.path.resize(levels.back().path_length);
    platform::ProcessMessages();
    if (stop_request_) levels.back().finished = true;
  }
  DropPrefetched(walk, false);
}

}  // namespace nerlo::scan
