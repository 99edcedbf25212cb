// TFileFind: walks a scan target depth first and reports every file through OnMatch.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace nerlo::scan {

enum class TSearchScope { ssEntireDisk, ssCurrentDir, ssCurrentDirAndBelow };

// Runs on the user-interface thread only. Start runs the whole walk and returns when it has
// ended; the message queue is pumped after every reported file and after every entry of a
// directory pass, which is when Stop can be called. Exceptions raised by OnMatch are not
// caught: they leave Start at once.
//
// Each directory's matching files are reported, in listing order, before its subdirectories
// are entered, depth first. Only regular files are reported; every directory is entered
// whatever its attributes (hidden, read-only), except "." and "..". Symbolic links are never
// reported nor entered (the target named in FileName may itself be reached through one), a
// directory already open on the current path is not entered again, pseudo file systems list
// nothing, and a directory that cannot be listed is told to OnNotExamined: the walk goes on.
// So is one whose listing breaks off partway (after the entries listed are walked).
//
// The walk reaches every directory through a handle of its parent (platform::Directory), never
// by its path: LastMatch is the path for showing, LastDirectory and LastName reach the file.
// The target's own directory is resolved once, at Start, following links. Depth is limited
// only by memory: the walk keeps its levels in a list, not on the machine stack, and the
// platform bounds the handles open at once.
class TFileFind {
 public:
  using NotifyEvent = std::function<void(TFileFind& sender)>;
  using ChangeDriveEvent = std::function<void(TFileFind& sender, char new_drive)>;
  using ChangeDirectoryEvent =
      std::function<void(TFileFind& sender, const std::string& new_directory)>;
  using StopEvent = std::function<void(TFileFind& sender, bool& can_stop)>;
  using UpcomingEvent = std::function<void(TFileFind& sender, const platform::DirectoryRef& dir,
                                           const std::string& name)>;
  using NotExaminedEvent =
      std::function<void(TFileFind& sender, const std::string& path, const std::string& reason)>;

  // Drives to walk when FileName has no directory part, one character each. An empty list is
  // replaced by the platform's default list at the start of a drive walk.
  const std::string& DriveList() const { return drive_list_; }
  void SetDriveList(std::string value) { drive_list_ = std::move(value); }

  // ssEntireDisk and ssCurrentDirAndBelow walk the directory and everything below it;
  // ssCurrentDir walks the directory alone, without a directory pass.
  TSearchScope SearchScope() const { return search_scope_; }
  void SetSearchScope(TSearchScope value) { search_scope_ = value; }

  // The target: an optional directory part (up to and including its last separator) followed
  // by a name or wildcard mask.
  const std::string& FileName() const { return file_name_; }
  void SetFileName(std::string value) { file_name_ = std::move(value); }

  bool StopOnFirstMatch() const { return stop_on_first_match_; }
  void SetStopOnFirstMatch(bool value) { stop_on_first_match_ = value; }

  // Full path of the entry being reported; keeps the last reported path after the walk.
  const std::string& LastMatch() const { return last_match_; }
  // The directory holding the entry being reported, and the entry's name in it: the file is
  // reached through these, never through LastMatch. Null and empty before the first report.
  const platform::DirectoryRef& LastDirectory() const { return last_directory_; }
  const std::string& LastName() const { return last_name_; }

  NotifyEvent OnMatch;
  ChangeDriveEvent OnChangeDrive;
  ChangeDirectoryEvent OnChangeDirectory;
  StopEvent OnStop;
  // A directory that was to be walked and cannot be listed (or reached again): its path as
  // the walk names it and the reason, as ReasonText gives it.
  NotExaminedEvent OnNotExamined;
  // The look-ahead: while OnUpcoming is set, the walk lists up to kLookahead files (or what
  // SetLookahead set) ahead of the one it reports and tells each of them to OnUpcoming, in the
  // order they will be reported, before it is reported. Once a file pass has listed its directory
  // to the end, it runs on into the next directory the walk will enter (opened then, from the same
  // parent handle the walk would use; its directory pass is then read early too), and on, holding
  // at most a quarter of platform::MaxOpenDirectories() directories listed ahead. When the walk
  // stops with entries told and not reported, or does not enter the directory it listed
  // ahead, OnUpcomingDropped is called once: they will never be reported.
  UpcomingEvent OnUpcoming;
  NotifyEvent OnUpcomingDropped;
  static constexpr size_t kLookahead = 1024;
  // Lists at most files (1 to kLookahead) ahead from the next walk on: a listener that holds
  // something scarce for each file told, such as a descriptor, lowers it to what it has.
  void SetLookahead(size_t files) { lookahead_ = std::clamp<size_t>(files, 1, kLookahead); }

  // Walks FileName (its directory part, resolved once here following links, or the drives).
  void Start();
  // Reports the one entry name of dir (whatever its name holds), as LastMatch path, without a
  // listing.
  void StartFile(const platform::DirectoryRef& dir, const std::string& name,
                 const std::string& path);
  // Sets the stop request, then lets OnStop cancel it.
  void Stop();

  bool StopRequested() const { return stop_request_; }

 private:
  // Forgets the last match and any stop request, as every walk starts.
  void BeginWalk();
  // Where the mask starts in FileName: after its last directory separator.
  size_t MaskStart() const;
  struct Subdirectories;
  struct Level;
  struct Prefetch;
  struct Cursor;
  struct WalkState;
  // Walks root and, unless the scope is ssCurrentDir, every directory below it.
  void Walk(const std::string& mask, const platform::DirectoryRef& root, const std::string& path);
  // Lists dir, whose path is walk.path (file pass, then the names of its subdirectories),
  // and puts its level on the walk's list, unless dir is already on the walk's path.
  // prefetched: dir opened and partly listed ahead by ListAhead.
  void Enter(const std::string& mask, platform::DirectoryRef dir, WalkState& walk,
             std::unique_ptr<Prefetch> prefetched = nullptr);
  // Lists files of listing (at most room more of them), telling each to OnUpcoming.
  void ListFiles(Prefetch& listing, const platform::DirectoryRef& dir, size_t room);
  // Reads dir's directory pass.
  void ListSubdirectories(const platform::Directory& dir, Subdirectories& pass);
  // Opens and lists the directories the walk enters next, telling their files to OnUpcoming,
  // until the look-ahead's files are told and not reported (told_here of them by the current file
  // pass). A directory that cannot be opened or listed now is left to the walk.
  void ListAhead(const std::string& mask, WalkState& walk, size_t told_here);
  // The directory listed ahead as name in parent, if it is the next one listed ahead; any
  // other guess is dropped.
  std::unique_ptr<Prefetch> TakePrefetched(WalkState& walk, const platform::Directory* parent,
                                           const std::string& name);
  // Drops every directory listed ahead; tells OnUpcomingDropped when any of their files, or
  // told_here, had been told.
  void DropPrefetched(WalkState& walk, bool told_here);
  void Report(const platform::DirectoryRef& dir, const std::string& dir_path,
              const std::string& name);
  // Makes path (name in dir) the last match, tells OnMatch, then stops or pumps.
  void Deliver(const platform::DirectoryRef& dir, std::string path, const std::string& name);
  void NotExamined(const std::string& path, platform::ErrorCode error);
  // A directory whose listing failed after it had begun: what was listed is walked, the rest
  // of it never is.
  void NotExaminedInPart(const std::string& path, platform::ErrorCode error);

  std::string drive_list_;
  TSearchScope search_scope_ = TSearchScope::ssEntireDisk;
  std::string file_name_;
  bool stop_on_first_match_ = true;
  size_t lookahead_ = kLookahead;
  std::string last_match_;
  platform::DirectoryRef last_directory_;
  std::string last_name_;
  bool stop_request_ = false;
};

// Why a file or directory could not be reached, for a report: the system's text, or a plain
// reason for platform::kErrorReplaced.
std::string ReasonText(platform::ErrorCode error);

}  // namespace nerlo::scan
