// What the quarantine needs from the operating system: a read-only view of a file that is being
// deleted (handed to the keeping hook of DeleteAt), new private files written and synced before
// they are published under their final name, and the calls that give a restored file its mode,
// owner and modification time back. Every call may be made from any thread and none raises an
// exception; failures come back as false (or -1) with an ErrorCode.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace nerlo::platform {

// Mode, owner and times of a file, as a restore gives them back.
struct FileDetails {
  FileStamp stamp;     // identity, size, modification and change times
  uint32_t mode = 0;   // permission bits (with set-id and sticky bits), no type bits
  uint32_t owner = 0;  // user id
  uint32_t group = 0;  // group id
};

// The file that DeleteAt has moved aside and checked, opened for reading only. It is the very
// inode whose identity was checked: its bytes are read through this descriptor, never through
// a name. Owned by DeleteAt; valid only during the keeping hook's call.
class AsideFile {
 public:
  AsideFile(int fd, const FileDetails& details, std::string aside_name)
      : fd_(fd), details_(details), aside_name_(std::move(aside_name)) {}
  AsideFile(const AsideFile&) = delete;
  AsideFile& operator=(const AsideFile&) = delete;

  // Reads up to count bytes at the current position: the number read, 0 at the end, or -1
  // with *error set. An interrupted call is retried.
  int64_t Read(void* buffer, size_t count, ErrorCode* error);
  const FileDetails& Details() const { return details_; }
  // The hidden name the file has in its folder while it is kept.
  const std::string& AsideName() const { return aside_name_; }

 private:
  int fd_;
  FileDetails details_;
  std::string aside_name_;
};

// A new file created for writing with mode 0600, never replacing anything (the name must not
// exist), never following a link. Move-only; an open file that was not committed is removed
// on destruction (so a failed write leaves nothing behind).
class NewFile {
 public:
  NewFile() = default;
  ~NewFile();
  NewFile(NewFile&& other) noexcept;
  NewFile& operator=(NewFile&& other) noexcept;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Creates path. On failure the result is not open and *error is set (EEXIST when the name
  // is taken).
  static NewFile Create(const std::string& path, ErrorCode* error);

  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }

  // Writes all of bytes at the current position. False with *error set on failure (ENOSPC,
  // EDQUOT, EIO...).
  bool Write(std::string_view bytes, ErrorCode* error);
  // Sets the permission bits, the owner (-1 leaves the user or the group alone) and the
  // modification time (nanoseconds since 1970; the access time is set to the same).
  bool SetMode(uint32_t mode, ErrorCode* error);
  bool SetOwner(int64_t owner, int64_t group, ErrorCode* error);
  bool SetModified(int64_t modified_ns, ErrorCode* error);
  // Flushes the contents and the inode to the disk.
  bool Sync(ErrorCode* error);
  // Closes the file and gives it the name final_path (in the same folder) without replacing
  // anything: EEXIST when final_path exists. Then, with sync_folder, syncs the folder so that
  // the name is on the disk too. On failure the file is removed and *error is set.
  bool Commit(const std::string& final_path, ErrorCode* error, bool sync_folder = true);
  // Closes the file, leaving it under its path. False with *error set when closing fails
  // (the file is removed then).
  bool Close(ErrorCode* error);
  // Closes and removes the file (nothing happens when it is not open).
  void Discard();

 private:
  int fd_ = -1;
  std::string path_;
};

// Makes dir, and every missing folder above it, with mode 0700; an existing dir owned by this
// user gets mode 0700 too (nobody else may list or read what is kept there). False with *error
// set when dir cannot be made, is no directory, or is a symbolic link.
bool CreatePrivateDirectory(const std::string& dir, ErrorCode* error);

// Names of the regular files in dir ("." and ".." and everything else left out), in no order.
// False with *error set when dir cannot be listed.
bool ListFiles(const std::string& dir, std::vector<std::string>* names, ErrorCode* error);

// Removes the file at path (never a folder); a missing file is no error.
bool RemoveFileIfPresent(const std::string& path, ErrorCode* error);

// Renames from to to without replacing anything (EEXIST when to exists), never following a
// link in the last component of either.
bool RenameNoReplace(const std::string& from, const std::string& to, ErrorCode* error);

// Mode, owner and times of the file at path, not following a final link. False with *error
// set when path names nothing.
bool PathDetails(const std::string& path, FileDetails* details, ErrorCode* error);

// True when path names something (a file, folder, link...), without following a final link.
bool PathExists(const std::string& path);

// True when the process runs with the privileges of the super-user (restores give the owner
// back only then; the quarantine lives under /var/lib then).
bool IsPrivileged();

// This process's id, and whether a process of that id runs now (false only when it
// certainly does not: an id of another user's process counts as running).
int64_t ProcessId();
bool ProcessIsRunning(int64_t pid);

}  // namespace nerlo::platform
