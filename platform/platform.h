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
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace nerlo::platform {

// The system's code for a failed call (errno on Linux). 0 means no error.
using ErrorCode = int;

// The system's text for an error code, without a trailing full stop or line end.
std::string ErrorText(ErrorCode code);

// True when code says that a name no longer names anything, or no longer names a directory
// where one was expected (it was removed, or replaced by a file or a symbolic link).
bool IsVanished(ErrorCode code);

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

class Directory;

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
};

// True when name matches the wildcard mask: "*" any run of bytes, "?" exactly one byte,
// "*.*" every name (with or without a dot); other bytes compared exactly.
bool MatchesMask(std::string_view name, std::string_view mask);

// One listing of one directory, in the order the system lists it, "." and ".." included.
// Only regular files and directories are listed: symbolic links, FIFOs, sockets and devices
// are never reported. A directory on a pseudo file system (proc, sysfs, devtmpfs, ...) lists
// only the directories on which another file system is mounted (not "." nor ".."): what is
// mounted there, such as the tmpfs at /dev/shm, is walked; the pseudo file system's own
// entries never are. Not thread-safe; one listing belongs to one thread.
class DirectoryListing {
 public:
  DirectoryListing();
  ~DirectoryListing();
  DirectoryListing(const DirectoryListing&) = delete;
  DirectoryListing& operator=(const DirectoryListing&) = delete;

  // Starts listing the directory behind dir (reopened if its handle was closed) for names
  // matching mask. Returns false, with *error set when error is not null, when the directory
  // cannot be listed, and kErrorReplaced when dir cannot be reached again as the same
  // directory; the listing is then empty. A pseudo file system's directory opens (true) with
  // only its mount points listed. Opening again closes the previous listing first.
  bool Open(const Directory& dir, std::string mask, ErrorCode* error = nullptr);

  // Fetches the next matching entry. Returns false at the end of the listing, and also
  // when reading the directory failed partway: Error() then tells why.
  bool Next(DirEntry* entry);

  // 0 while the listing runs and after its real end; the system's error when reading the
  // directory broke off (the entries after it were never listed) or could not begin. Kept
  // after Close, until the next Open.
  ErrorCode Error() const;

  // Identity of the directory being listed (taken when it was opened); not valid when no
  // listing is open.
  FileIdentity Identity() const;

  void Close();

 private:
  // Takes over fd, a readable descriptor of the directory.
  bool OpenDescriptor(int fd, std::string mask, ErrorCode* error);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Identity, size and change times of the file at path, following symbolic links.
bool StatPath(const std::string& path, FileStamp* stamp, ErrorCode* error = nullptr);

// ---- Directories reached by handle -------------------------------------------------------
//
// A walk reaches every folder through a handle of its parent, never through a path string:
// no folder swapped for a symbolic link during a scan is followed, and no path is too long.
// Each Directory knows its parent and its name in it, so that its handle can be closed to
// keep the number of open descriptors bounded and reopened later, by name from its parent,
// with a check that the same directory (device and inode) is reached again.
//
// At most MaxOpenDirectories() handles are open in the process at any time, however many
// Directory objects exist (a walk's current path, and every folder that a waiting detection
// refers to): the least recently used one is closed when another must open. A root (the
// start of a chain, opened by path) is never closed while it lives, since it cannot be
// reopened without resolving its path again.
//
// Any thread may use a Directory; the shared bookkeeping is locked. Objects are shared
// (std::shared_ptr) and freed with their last reference.

// The most directory handles that may be open at once, roots included. Roots are never
// closed, so the bound holds as long as fewer roots than this are alive at once: a walk opens
// one per target, kept while detections of that target wait. A lower descriptor limit lowers
// the bound (ShareDescriptors).
inline constexpr int kMaxOpenDirectories = 256;

// The directory handles that may be open at once now: kMaxOpenDirectories, or less under a
// low descriptor limit (ShareDescriptors); at least 2, so that a handle can be reopened from
// its parent's.
int MaxOpenDirectories();

// How the descriptors the process may open are shared out by ShareDescriptors.
struct DescriptorShares {
  int directories = 0;  // the bound on open directory handles, as MaxOpenDirectories
  int files = 0;        // files a scan may hold open ahead of reading them
  int deletions = 1;    // deletions that may wait at once (PendingDeletion: two each), >= 1
};

// Reads the process's descriptor limit (its soft limit) now and shares what it allows after
// a reserve (standard streams, a database being loaded, listings and the descriptors a call
// holds for a moment) between directory handles, deletions waiting and files read ahead: from
// now on the pool of directory handles keeps at most the first share open. Call before a scan.
DescriptorShares ShareDescriptors();

// True when code says that the process (EMFILE) or the system (ENFILE) has no descriptor
// left. The calls that open directories and files release idle directory handles and try
// again before they report it.
bool IsOutOfDescriptors(ErrorCode code);

// Reported when a directory reopened by name is no longer the one that was opened first, or
// when a deletion finds another file under the name: it was moved or replaced meanwhile.
extern const ErrorCode kErrorReplaced;
// Reported for an entry that is not a regular file where one is to be read (a FIFO, socket
// or device).
extern const ErrorCode kErrorNotRegular;

class Directory;
using DirectoryRef = std::shared_ptr<Directory>;

class Directory {
 public:
  ~Directory();
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // Opens the directory at path as the root of a chain. Links in the path are resolved here,
  // once; with kNoFollow a link as the last component is refused. Returns null, with
  // *error set, when path is no directory or cannot be reached. Only search permission on
  // the directory is needed to hold it; listing needs read permission.
  static DirectoryRef OpenRoot(const std::string& path, LinkPolicy links, ErrorCode* error);

  // Opens the entry name of parent, which must be a directory and not a symbolic link.
  // Returns null, with *error set (ENOTDIR for a link or anything but a directory), on
  // failure, also when parent cannot be reopened any more (kErrorReplaced).
  static DirectoryRef OpenChild(const DirectoryRef& parent, const std::string& name,
                                ErrorCode* error);

  const FileIdentity& Identity() const { return identity_; }
  const DirectoryRef& Parent() const { return parent_; }
  const std::string& Name() const { return name_; }

  // Makes sure that this directory's parent has an open handle, reaching it through this
  // directory's own handle ("..", checked to be the same directory) when the parent's was
  // closed: a walk climbing back up a deep path then needs no reopening from the root.
  // Does nothing for a root, or when ".." is not the parent any more (this directory was
  // moved); the parent is then reopened by name when next used.
  void ReopenParent() const;

  // True when the directory lies on a pseudo file system (proc, sysfs, ...), whose entries a
  // scan never reads; false also when that cannot be told.
  bool OnPseudoFileSystem() const;

  // Directory handles open in the process right now.
  static int OpenHandleCount();

 private:
  friend struct DirectoryAccess;
  Directory() = default;

  DirectoryRef parent_;  // null for a root
  std::string name_;     // the entry name in the parent; the path for a root
  FileIdentity identity_;
  int fd_ = -1;  // -1 while closed to save descriptors (never for a live root)
  // Neighbours in the process's list of open non-root handles, most recently used first.
  Directory* newer_ = nullptr;
  Directory* older_ = nullptr;
  bool listed_ = false;
};

// Resolves path, following symbolic links anywhere in it, once, to the directory that holds
// the regular file it names (as a root) and the file's own name there. Returns false, with
// *error set, when path names nothing (ENOENT), a directory (EISDIR), anything else that is
// not a regular file (ENXIO), or changed while it was resolved (kErrorReplaced).
bool ResolveFile(const std::string& path, DirectoryRef* dir, std::string* name, ErrorCode* error);

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

  // Opens the entry name of dir for reading, never following a link and never opening
  // anything but a regular file: the entry is first taken without opening it for reading
  // (O_PATH), its type checked on that handle, and only a regular file is then opened, as the
  // same inode. EISDIR for a directory, ELOOP for a symbolic link, ENXIO for a FIFO, socket or
  // device; kErrorReplaced when dir cannot be reached again.
  static File OpenAt(const Directory& dir, const std::string& name, ErrorCode* error);

  bool IsOpen() const { return fd_ >= 0; }

  // Reads up to count bytes at the current position. Returns the number read, 0 at the end
  // of the file, or -1 with *error set. An interrupted call is retried.
  int64_t Read(void* buffer, size_t count, ErrorCode* error);

  // Identity, size and change times of the open file, taken from the descriptor.
  FileStamp Stamp() const { return stamp_; }

  // Asks the system to start reading the first bytes bytes of the file into memory in the
  // background, so that a later Read finds them there; returns without waiting for them. A
  // hint only: nothing happens when it cannot be followed.
  void Prefetch(int64_t bytes) const;

  void Close();

 private:
  int fd_ = -1;
  FileStamp stamp_;
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

// What DeleteAt did; for a refusal also why, in words for the report row.
struct DeleteResult {
  DeleteOutcome outcome = DeleteOutcome::kRefused;
  // kRefused only: why the file is still there ("changed since it was examined", or the
  // system's text of the step that failed), and what became of a file that could not be
  // given its name back. Empty for the other outcomes.
  std::string reason;
  // Set when the file found under the name was moved aside and could not be moved back
  // because another file had taken the name meanwhile: the visible name beside it that it is
  // kept under ("NAME.nerlo-restored-N"; the hidden name it was moved to when even that
  // failed). It is never removed.
  std::string kept_as;
};

// Deletes the entry name of dir only if it is still the regular file that was examined:
// the same device and inode, size, modification time and change time as examined (taken from
// the descriptor the file was read through). A file rewritten in place, or removed and made
// again under the name (which may get the same inode number at once), is refused with
// "changed since it was examined". dir is reached by its handle, never by a path.
//
// The steps: the entry is pinned by a handle and its stamp compared; it is renamed, without
// replacing anything, to a hidden name of 128 random bits in the same directory; the file
// under that name is checked to be the pinned one, unchanged (the rename itself moves the
// change time on, so size and modification time are compared there); only then is it
// removed. On any refusal after the move the file is moved back, never over another file:
// when its name was taken meanwhile it is kept as NAME.nerlo-restored-N beside it (kept_as)
// and never removed. A file system that cannot rename without replacing (NFS, CIFS and
// others answer EINVAL) gets a plain rename to the random name instead, and a move back by
// a hard link (which never replaces), or, where there are none, a rename once the name is
// seen free.
//
// Remaining race, needing a local user with write access to the directory who acts in the
// microseconds between two calls: a file renamed over the random name between its check and
// its removal is removed instead (the name must be spied out, for example with inotify).
//
// kAlreadyGone when nothing has the name; kRefused (with a reason) when the name holds
// another or a changed file, dir cannot be reached, or the system refuses a step.
//
// keep, when given, is called with the moved-aside file open for reading (the checked inode
// itself, see quarantine_io.h), after the checks and before the removal; when it returns
// false the file gets its name back as on any refusal, and the reason is the one keep gave.
// A file that cannot be opened for keeping is refused too. keep runs on the calling thread
// with the folder handles locked: it must not use a Directory.
class AsideFile;
using KeepHook = std::function<bool(AsideFile& aside, std::string* reason)>;
DeleteResult DeleteAt(const Directory& dir, const std::string& name, const FileStamp& examined,
                      const KeepHook& keep = {});

// A deletion that BeginDeleteAt has taken up to the removal: the file examined, checked, moved
// aside under its hidden name and kept (when asked), held by a handle of its own (so that its
// inode number is not reused) and a handle of its folder, two descriptors, until Finish or
// Abandon. Move-only; one destroyed unfinished is abandoned. One thread at a time.
class PendingDeletion {
 public:
  PendingDeletion() = default;
  ~PendingDeletion();
  PendingDeletion(PendingDeletion&& other) noexcept;
  PendingDeletion& operator=(PendingDeletion&& other) noexcept;
  PendingDeletion(const PendingDeletion&) = delete;
  PendingDeletion& operator=(const PendingDeletion&) = delete;

  // True from a successful BeginDeleteAt until Finish or Abandon.
  bool Active() const { return pin_fd_ >= 0; }
  // The hidden name the file has in its folder meanwhile.
  const std::string& AsideName() const { return aside_; }
  // Removes the file through the folder handle held since the deletion began, when the entry
  // under the hidden name is still the pinned file, unchanged since it was examined (size and
  // modification time); otherwise, or when the removal fails, the file gets its name back as
  // on DeleteAt's refusals (kRefused, "changed since it was examined" or the system's text).
  // kDeleted when removed. Not active: kRefused.
  DeleteResult Finish();
  // Gives the file its name back as on DeleteAt's refusals (never over another file; kept_as
  // when its name was taken meanwhile) and returns kRefused with reason.
  DeleteResult Abandon(std::string reason);

 private:
  friend bool BeginDeleteAt(const Directory&, const std::string&, const FileStamp&, const KeepHook&,
                            PendingDeletion*, DeleteResult*);
  void Release();

  int dir_fd_ = -1;
  int pin_fd_ = -1;
  std::string name_;
  std::string aside_;
  FileStamp examined_;
};

// DeleteAt up to the removal: the same checks, the move aside and the keeping. True when the
// deletion now waits in *pending (which becomes active; an earlier one in it is abandoned
// first), to be finished or abandoned later; false when it ended at once, with *result as
// DeleteAt would give it (kAlreadyGone, or kRefused with the reason). DeleteAt is this
// followed by Finish.
bool BeginDeleteAt(const Directory& dir, const std::string& name, const FileStamp& examined,
                   const KeepHook& keep, PendingDeletion* pending, DeleteResult* result);

// ---- Large blocks of memory ------------------------------------------------------------

// Has the process keep memory it frees for its next allocations: blocks of up to
// largest_block bytes come from the heaps (not from mappings of their own, which are given
// back on every free), and up to keep_bytes free at the top of a heap stay with it. Memory
// given back to the system and asked for again is faulted in page by page, which costs a scan
// that allocates and frees file buffers by the thousand a quarter of its system time. All
// threads share one heap: buffers allocated by one thread and freed by another would
// otherwise make each allocating thread's heap grow to the most they ever held together,
// nearly doubling the memory a scan uses. The first call also asks the system to back seven
// eighths of keep_bytes at the heap's top with huge pages, which the file buffers then come
// from (advice only: untouched, it costs no memory). Process-wide; largest_block at most
// 32 MiB.
void KeepFreedMemory(size_t largest_block, size_t keep_bytes);

// Frees what AllocateLargeBlock gave; a null pointer is left alone.
struct LargeBlockDeleter {
  size_t bytes = 0;
  void operator()(void* block) const;
};
template <typename T>
using LargeArray = std::unique_ptr<T[], LargeBlockDeleter>;

// bytes of zero-filled memory for a large, long-lived block (a database and its index), asked
// of the system directly and backed by huge pages where the system allows them: filling such a
// block costs a fraction of what small pages cost. Raises std::bad_alloc when the memory
// cannot be had. T must be a trivial type; the array holds count elements.
void* AllocateLargeBlock(size_t bytes);
template <typename T>
LargeArray<T> MakeLargeArray(size_t count) {
  const size_t bytes = count * sizeof(T);
  return LargeArray<T>(static_cast<T*>(AllocateLargeBlock(bytes)), LargeBlockDeleter{bytes});
}

}  // namespace nerlo::platform
