// The only interface between Nerlo and the operating system.
//
// Everything above this layer (sigdb/, scan/, cli/, windows/, app/) reaches files, directories,
// drives and error texts through these declarations alone; posix/ implements them for Linux,
// win32/ will implement them for Windows. Paths are byte strings, passed through unchanged.
//
// Unless a comment says otherwise, every call may be made from any thread, and no call raises
// an exception: failures are reported through return values and ErrorCode out-parameters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace nerlo::platform {

// The system's code for a failed call (errno on Linux). 0 means no error.
using ErrorCode = int;

// The system's text for an error code, without a trailing full stop or line end.
std::string ErrorText(ErrorCode code);

// ---- Paths -----------------------------------------------------------------------------

// The separator that JoinPath inserts between a directory and a name.
extern const char kPathSeparator;

// True when c ends the directory part of a target ("/" on Linux; "\" or ":" on Windows).
bool IsDirectoryPartEnd(char c);

// The directory of the running executable, with its trailing separator. Empty if it cannot
// be determined.
std::string ProgramDirectory();

// dir, then a separator unless dir is empty or already ends with one, then name.
std::string JoinPath(std::string_view dir, std::string_view name);

// ---- Drives ----------------------------------------------------------------------------
//
// A drive walk visits the drives named by a drive list, one character per drive. On Linux
// there is a single drive, "/", whose root is the root directory.

// The drive list that a drive walk uses when none was given.
std::string DefaultDriveList();

// True when the drive named by the character can be walked (on Linux: '/' when the root
// directory can be listed; every other character is no drive).
bool DriveReady(char drive);

// The root directory of a drive, as a walk names it ("/" on Linux); empty for a character
// that names no drive.
std::string DriveRoot(char drive);

// ---- Directory entries -----------------------------------------------------------------

// How an open (of a file or of a directory to list) treats a symbolic link as the last component of
// the path.
enum class LinkPolicy {
  kNoFollow,  // files under scan: a link is not opened
  kFollow,    // databases and files named by the user on a command line
};

// Entry attribute bits, as the directory listing reports them.
enum Attribute : uint32_t {
  kAttrReadOnly = 0x01,   // the owner may not write
  kAttrHidden = 0x02,     // the name begins with "." (but is not "." or "..")
  kAttrSystem = 0x04,     // never set on Linux
  kAttrVolumeId = 0x08,   // never set on Linux
  kAttrDirectory = 0x10,  // a directory
  kAttrArchive = 0x20,    // never set on Linux
};

// Which file a descriptor or a directory entry refers to (device and inode on Linux).
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool valid = false;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// Identity, size and change times of a file: two stamps that compare equal describe the
// same unchanged file.
struct FileStamp {
  FileIdentity identity;
  int64_t size = 0;
  int64_t modified_ns = 0;  // last change of the contents
  int64_t changed_ns = 0;   // last change of the contents or of the inode
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

struct DirEntry {
  std::string name;
  bool is_directory = false;
  // Filled only when details were asked for (or by FindEntry):
  uint32_t attributes = 0;  // Attribute bits; kAttrDirectory also when details were not asked
  int64_t size = 0;         // byte count; 0 for directories
};

// True when name matches the wildcard mask: "*" any run of bytes, "?" exactly one byte,
// "*.*" every name (with or without a dot); other bytes compared exactly.
bool MatchesMask(std::string_view name, std::string_view mask);

// One listing of one directory, in the order the system lists it, "." and ".." included.
// Only regular files and directories are listed: symbolic links, FIFOs, sockets and devices
// are never reported. A directory on a pseudo file system (proc, sysfs, devtmpfs, ...) lists
// nothing. Not thread-safe; one listing belongs to one thread.
class DirectoryListing {
 public:
  DirectoryListing();
  ~DirectoryListing();
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;

  // Starts listing dir for names matching mask. with_details asks for attributes and sizes
  // (costs one status call per matching entry). Returns false, with *error set when error
  // is not null, when the directory cannot be listed (with kNoFollow also when dir itself is
  // a symbolic link); the listing is then empty. A pseudo file system's directory opens
  // (true) with an empty listing. Opening again closes the previous listing first.
  bool Open(const std::string& dir, std::string mask, bool with_details, ErrorCode* error = nullptr,
            LinkPolicy links = LinkPolicy::kFollow);

  // Fetches the next matching entry. Returns false at the end of the listing.
  bool Next(DirEntry* entry);

  // Identity of the directory being listed (taken when it was opened); not valid when no
  // listing is open.
  FileIdentity Identity() const;

  void Close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The directory entry of one path, with attributes and size, without following a final
// symbolic link. Returns false, with *error set, when the path names nothing, or names
// something that a listing would not report (a link, a FIFO, a socket, a device).
bool FindEntry(const std::string& path, DirEntry* entry, ErrorCode* error = nullptr);

// Identity, size and change times of the file at path, following symbolic links.
bool StatPath(const std::string& path, FileStamp* stamp, ErrorCode* error = nullptr);

// ---- Reading files ---------------------------------------------------------------------

// A file opened for reading only. Opening never blocks (a FIFO swapped in after a listing is
// refused) and never gives a controlling terminal; anything but a regular file is refused:
// EISDIR for a directory, ENXIO for a FIFO, socket or device, ELOOP for a final symbolic link
// under kNoFollow. Move-only; closes on destruction. One thread at a time.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens path for reading. On failure the returned File is not open and *error is set.
  static File Open(const std::string& path, LinkPolicy links, ErrorCode* error);

  bool IsOpen() const { return fd_ >= 0; }

  // Reads up to count bytes at the current position. Returns the number read, 0 at the end
  // of the file, or -1 with *error set. An interrupted call is retried.
  int64_t Read(void* buffer, size_t count, ErrorCode* error);

  // Identity, size and change times of the open file, taken from the descriptor.
  FileStamp Stamp() const { return stamp_; }

  void Close();

 private:
  int fd_ = -1;
  FileStamp stamp_;
};

// A read-only view of a whole file. The file is closed as soon as the view is made; the view
// stays valid until the object is destroyed. Move-only.
class MappedView {
 public:
  MappedView() = default;
  ~MappedView();
  MappedView(MappedView&& other) noexcept;
  MappedView& operator=(MappedView&& other) noexcept;
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;

  // Maps the whole file at path (links followed). Fails, with *error set, for a file that
  // cannot be opened or is not a regular file (as File::Open), an empty file (EINVAL), or a
  // file of max_size bytes or more (EFBIG). A file that another process truncates while it
  // is mapped makes reads past its new end fault: map only files that are not rewritten in
  // place (the databases are replaced by rename).
  static MappedView Map(const std::string& path, int64_t max_size, ErrorCode* error);

  const unsigned char* data() const { return data_; }
  int64_t size() const { return size_; }
  bool IsMapped() const { return data_ != nullptr; }

 private:
  const unsigned char* data_ = nullptr;
  int64_t size_ = 0;
};

// ---- Writing files ---------------------------------------------------------------------

// Replaces the file at path by contents atomically: writes a temporary file beside it,
// flushes it to the disk and renames it over path, so that path holds either its old or its
// new contents, never a part. Returns false, with *error set, when any step fails; the
// temporary file is then removed and path is left as it was.
bool WriteFileAtomically(const std::string& path, std::string_view contents,
                         ErrorCode* error = nullptr);

// ---- Deleting files --------------------------------------------------------------------

enum class DeleteOutcome {
  kDeleted,      // the file was removed
  kAlreadyGone,  // nothing of that name existed any more
  kRefused,      // the system refused, or the name no longer names the expected file
};

// Deletes the file at path (a final symbolic link is removed itself, never its target).
DeleteOutcome DeleteFile(const std::string& path);

// Deletes the file at path only if no component of the path is a symbolic link and the name
// still refers to the regular file with the expected identity; anything else is kRefused.
// A missing directory or file on the way (at any step, up to the removal itself) is
// kAlreadyGone; an invalid expected identity is kRefused. Relative paths start at the
// current directory; "." and repeated separators are skipped, ".." goes to the parent of
// the directory reached so far; a path ending in "/", "." or ".." is kRefused.
DeleteOutcome DeleteFileIfSame(const std::string& path, const FileIdentity& expected);

}  // namespace nerlo::platform
