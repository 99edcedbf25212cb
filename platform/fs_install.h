// File-system calls for installing signature sets: writing new files and flushing them,
// renaming, symbolic links, removing whole folders, listing every name of a folder, an
// exclusive lock on a root, and whether the process runs with the system's privileges.
//
// Every call may be made from any thread and none raises an exception (except std::bad_alloc);
// failures come back as false with *error set to the system's code when error is not null.
// Symbolic links are never followed by a call that changes or removes something, except
// where a comment says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace nerlo::platform {

// A new file opened for writing. Move-only; a file still open on destruction is closed (not
// removed: the caller decides what a half-written file means). One thread at a time.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates path, which must not exist yet (EEXIST otherwise; a symbolic link under the
  // name counts as existing and is not followed), with the permission bits mode, the umask
  // applied. On failure the returned file is not open and *error is set.
  static OutputFile Create(const std::string& path, uint32_t mode, ErrorCode* error);

  bool IsOpen() const { return fd_ >= 0; }

  // Writes all of bytes at the end of what was written so far; retries short and interrupted
  // writes. False with *error set (ENOSPC on a full disk) when the system refuses.
  bool Write(std::string_view bytes, ErrorCode* error);

  // Flushes the contents to the disk (fsync). A full disk may show only here (ENOSPC, EDQUOT).
  bool Sync(ErrorCode* error);

  // Closes the file; false with *error set when the system reports a failed write-back.
  bool Close(ErrorCode* error);

 private:
  int fd_ = -1;
};

// Renames from to to (both on one file system). With replace false, an existing to is never
// replaced (EEXIST), whatever kind of entry it is; with replace true, an existing to is
// replaced in one step, as rename(2) does (a directory only by an empty directory).
bool RenamePath(const std::string& from, const std::string& to, bool replace,
                ErrorCode* error = nullptr);

// Creates the symbolic link path holding target (not checked, not resolved). EEXIST when
// anything has the name path.
bool CreateSymbolicLink(const std::string& target, const std::string& path,
                        ErrorCode* error = nullptr);

// Creates the hard link path for the existing regular file existing (a link under existing is
// not followed). EXDEV across file systems, EEXIST when path exists.
bool CreateHardLink(const std::string& existing, const std::string& path,
                    ErrorCode* error = nullptr);

// Flushes the directory at path to the disk, so that the names created, renamed or removed in
// it so far survive a crash.
bool SyncDirectory(const std::string& path, ErrorCode* error = nullptr);

// Removes the entry path whatever it is: a file or a symbolic link (never its target), or a
// directory with everything below it (links inside are removed, not followed; the folder is
// reached by descriptors, so a folder swapped for a link meanwhile is never entered).
// True also when nothing has the name. Stops at the first failure, with *error set; what was
// removed until then stays removed.
bool RemoveTree(const std::string& path, ErrorCode* error = nullptr);

// Every name in the directory at path ("." and ".." left out), in the order the system lists
// them, whatever the entries are (links, files, folders, anything else).
bool ListNames(const std::string& path, std::vector<std::string>* names,
               ErrorCode* error = nullptr);

// The kind of entry path names, links not followed.
enum class EntryKind { kMissing, kFile, kDirectory, kSymbolicLink, kOther };
EntryKind KindOf(const std::string& path, ErrorCode* error = nullptr);

// An exclusive advisory lock held on a lock file (flock): one holder at a time among the
// processes that use the same file, released when the object is destroyed or the process
// ends, however it ends. Move-only.
class ExclusiveLock {
 public:
  ExclusiveLock() = default;
  ~ExclusiveLock();
  ExclusiveLock(ExclusiveLock&& other) noexcept;
  ExclusiveLock& operator=(ExclusiveLock&& other) noexcept;
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

  // Opens (creating it with mode 0644 when missing) the file at path and takes the lock
  // without waiting. Fails with EWOULDBLOCK when another holder has it, or with the system's
  // code when the file cannot be opened.
  static ExclusiveLock TryAcquire(const std::string& path, ErrorCode* error);

  bool IsHeld() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// True when the process runs with the system's privileges (effective user root on Linux):
// such a process installs for every user.
bool RunsPrivileged();

// Sets the permission bits that files and folders made by this process leave out (the umask),
// returning the previous ones. Process-wide: call it at start-up, before other threads exist.
uint32_t SetCreationMask(uint32_t mask);

// The current time as seconds since 1970-01-01 00:00:00 UTC.
int64_t CurrentUtcSeconds();

}  // namespace nerlo::platform
