// TFileFind: walks a scan target depth first and reports every file through OnMatch.
#pragma once

#include <functional>
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
// nothing, and a directory that cannot be listed reports nothing: the walk goes on.
class TFileFind {
 public:
  using NotifyEvent = std::function<void(TFileFind& sender)>;
  using ChangeDriveEvent = std::function<void(TFileFind& sender, char new_drive)>;
  using ChangeDirectoryEvent =
      std::function<void(TFileFind& sender, const std::string& new_directory)>;
  using StopEvent = std::function<void(TFileFind& sender, bool& can_stop)>;

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

  NotifyEvent OnMatch;
  ChangeDriveEvent OnChangeDrive;
  ChangeDirectoryEvent OnChangeDirectory;
  StopEvent OnStop;

  void Start();
  // Sets the stop request, then lets OnStop cancel it.
  void Stop();

  bool StopRequested() const { return stop_request_; }

 private:
  // Walks dir and, unless the scope is ssCurrentDir, every directory below it. links says
  // whether dir itself may be a symbolic link: the target named by the user may be, a
  // subdirectory found by the walk never is.
  void Walk(const std::string& mask, const std::string& dir, platform::LinkPolicy links);
  void Report(const std::string& dir, const std::string& name);

  std::string drive_list_;
  TSearchScope search_scope_ = TSearchScope::ssEntireDisk;
  std::string file_name_;
  bool stop_on_first_match_ = true;
  std::string last_match_;
  bool stop_request_ = false;
  // Directories open on the walk's current path, so that a directory reached again below
  // itself (a bind mount of an ancestor) is not walked a second time.
  std::vector<platform::FileIdentity> open_directories_;
};

}  // namespace nerlo::scan
