// Linux: directories reached by handle, files opened relative to them, and deletion that
// removes only the file that was examined.
#include "platform/posix/handles.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/stat_util.h"

namespace nerlo::platform {

const ErrorCode kErrorReplaced = ESTALE;
const ErrorCode kErrorNotRegular = ENXIO;

// The pool of open directory handles, shared by every Directory of the process. Open
// non-root directories form a list, most recently used first; roots stay open while they
// live and are not listed.
struct DirectoryAccess {
  struct Pool {
    std::mutex mutex;
    Directory* newest = nullptr;
    Directory* oldest = nullptr;
    int open_count = 0;
  };
  static Pool& pool() {
    static Pool* instance = new Pool();  // never destroyed: Directories may outlive statics
    return *instance;
  }

  static void Unlink(Directory& d) {
    Pool& p = pool();
    if (!d.listed_) return;
    (d.newer_ != nullptr ? d.newer_->older_ : p.newest) = d.older_;
    (d.older_ != nullptr ? d.older_->newer_ : p.oldest) = d.newer_;
    d.newer_ = d.older_ = nullptr;
    d.listed_ = false;
  }

  static void PushNewest(Directory& d) {
    Pool& p = pool();
    d.newer_ = nullptr;
    d.older_ = p.newest;
    if (p.newest != nullptr) p.newest->newer_ = &d;
    p.newest = &d;
    if (p.oldest == nullptr) p.oldest = &d;
    d.listed_ = true;
  }

  // Marks d as just used. Lock held.
  static void Touch(Directory& d) {
    if (!d.listed_ || pool().newest == &d) return;
    Unlink(d);
    PushNewest(d);
  }

  // Records a handle just opened for d, then closes the least recently used others beyond
  // the bound; keep (about to be used) is not closed. Lock held.
  static void Opened(Directory& d, int fd, const Directory* keep) {
    d.fd_ = fd;
    ++pool().open_count;
    if (d.parent_ != nullptr) PushNewest(d);
    Directory* victim = pool().oldest;
    while (pool().open_count > kMaxOpenDirectories && victim != nullptr) {
      Directory* newer = victim->newer_;
      if (victim != &d && victim != keep) CloseHandle(*victim);
      victim = newer;
    }
  }

  static void CloseHandle(Directory& d) {
    Unlink(d);
    if (d.fd_ >= 0) {
      close(d.fd_);
      --pool().open_count;
    }
    d.fd_ = -1;
  }

  // Opens name below the descriptor parent_fd as a directory handle, never following a
  // link, and takes its status. Returns the descriptor or -1 with *error set.
  static int OpenChildFd(int parent_fd, const std::string& name, struct stat* st,
                         ErrorCode* error) {
    int fd;
    do {
      fd = openat(parent_fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      *error = errno == ELOOP ? ENOTDIR : errno;
      return -1;
    }
    if (fstat(fd, st) != 0) {
      *error = errno;
      close(fd);
      return -1;
    }
    return fd;
  }

  // The descriptor of d, reopening it (and closed ancestors, nearest open one first) by
  // name when its handle was closed; each reopened directory must be the same one as
  // before. Returns -1 with *error set when that fails. Lock held; the descriptor stays
  // valid until the lock is released.
  static int Acquire(const Directory& cd, ErrorCode* error) {
    Directory& d = const_cast<Directory&>(cd);
    if (d.fd_ >= 0) {
      Touch(d);
      return d.fd_;
    }
    std::vector<Directory*> chain;  // closed directories, d first
    Directory* open = &d;
    while (open != nullptr && open->fd_ < 0) {
      chain.push_back(open);
      open = open->parent_.get();
    }
    if (open == nullptr) {  // a root that failed to open: cannot happen for a live object
      *error = kErrorReplaced;
      return -1;
    }
    Touch(*open);
    Directory* parent = open;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      Directory& child = **it;
      struct stat st;
      int fd = OpenChildFd(parent->fd_, child.name_, &st, error);
      if (fd < 0) {
        if (*error == ENOENT || *error == ENOTDIR) *error = kErrorReplaced;
        return -1;
      }
      if (posix::IdentityOf(st) != child.identity_) {
        close(fd);
        *error = kErrorReplaced;
        return -1;
      }
      Opened(child, fd, parent);
      parent = &child;
    }
    return d.fd_;
  }
};

Directory::~Directory() {
  {
    std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
    DirectoryAccess::CloseHandle(*this);
  }
  // A chain thousands of levels deep is freed here one level at a time, not by nested
  // destructor calls on the machine stack.
  DirectoryRef parent = std::move(parent_);
  while (parent != nullptr && parent.use_count() == 1) {
    DirectoryRef next = std::move(parent->parent_);
    parent = std::move(next);
  }
}

int Directory::OpenHandleCount() {
  std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
  return DirectoryAccess::pool().open_count;
}

DirectoryRef Directory::OpenRoot(const std::string& path, LinkPolicy links, ErrorCode* error) {
  ErrorCode ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  if (links == LinkPolicy::kNoFollow) flags |= O_NOFOLLOW;
  int fd;
  do {
    fd = open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = errno;
    close(fd);
    return nullptr;
  }
  DirectoryRef dir(new Directory());
  dir->name_ = path;
  dir->identity_ = posix::IdentityOf(st);
  std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
  DirectoryAccess::Opened(*dir, fd, nullptr);
  return dir;
}

DirectoryRef Directory::OpenChild(const DirectoryRef& parent, const std::string& name,
                                  ErrorCode* error) {
  ErrorCode ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  if (parent == nullptr || name.empty() || name == "." || name == ".." ||
      name.find('/') != std::string::npos) {
    *error = EINVAL;
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
  const int parent_fd = DirectoryAccess::Acquire(*parent, error);
  if (parent_fd < 0) return nullptr;
  struct stat st;
  const int fd = DirectoryAccess::OpenChildFd(parent_fd, name, &st, error);
  if (fd < 0) return nullptr;
  DirectoryRef dir(new Directory());
  dir->parent_ = parent;
  dir->name_ = name;
  dir->identity_ = posix::IdentityOf(st);
  DirectoryAccess::Opened(*dir, fd, parent.get());
  return dir;
}

void Directory::ReopenParent() const {
  if (parent_ == nullptr) return;
  std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
  Directory& parent = *parent_;
  if (parent.fd_ >= 0) {
    DirectoryAccess::Touch(parent);
    return;
  }
  if (fd_ < 0) return;
  int fd;
  do {
    fd = openat(fd_, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) != 0 || posix::IdentityOf(st) != parent.identity_) {
    close(fd);
    return;
  }
  DirectoryAccess::Opened(parent, fd, this);
}

bool ResolveFile(const std::string& path, DirectoryRef* dir, std::string* name, ErrorCode* error) {
  ErrorCode ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  struct stat st;
  const bool stat_ok = fstat(fd, &st) == 0;
  const int stat_error = errno;
  close(fd);
  if (!stat_ok) {
    *error = stat_error;
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
    return false;
  }
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) {
    *error = errno;
    return false;
  }
  std::string resolved(real);
  free(real);
  const size_t slash = resolved.rfind('/');
  if (slash == std::string::npos || slash + 1 >= resolved.size()) {
    *error = kErrorReplaced;
    return false;
  }
  std::string folder = slash == 0 ? "/" : resolved.substr(0, slash);
  std::string leaf = resolved.substr(slash + 1);
  DirectoryRef holder = Directory::OpenRoot(folder, LinkPolicy::kNoFollow, error);
  if (holder == nullptr) {
    if (IsVanished(*error)) *error = kErrorReplaced;
    return false;
  }
  // The name must still lead to the file first found: nothing was swapped while resolving.
  struct stat again;
  {
    std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
    const int holder_fd = DirectoryAccess::Acquire(*holder, error);
    if (holder_fd < 0 || fstatat(holder_fd, leaf.c_str(), &again, AT_SYMLINK_NOFOLLOW) != 0 ||
        posix::IdentityOf(again) != posix::IdentityOf(st)) {
      *error = kErrorReplaced;
      return false;
    }
  }
  *dir = std::move(holder);
  *name = std::move(leaf);
  return true;
}

// A readable descriptor of dir for listing: the directory itself ("."), reached through its
// handle, so that only read permission on it is checked and no name is resolved.
int posix::OpenDirectoryForListing(const Directory& dir, ErrorCode* error) {
  std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
  const int fd = DirectoryAccess::Acquire(dir, error);
  if (fd < 0) return -1;
  int list_fd;
  do {
    list_fd = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (list_fd < 0 && errno == EINTR);
  if (list_fd < 0) *error = errno;
  return list_fd;
}

File File::OpenAt(const Directory& dir, const std::string& name, ErrorCode* error) {
  ErrorCode ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  File file;
  if (name.empty() || name.find('/') != std::string::npos) {
    *error = EINVAL;
    return file;
  }
  int path_fd;
  {
    std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
    const int dir_fd = DirectoryAccess::Acquire(dir, error);
    if (dir_fd < 0) return file;
    do {
      path_fd = openat(dir_fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    } while (path_fd < 0 && errno == EINTR);
  }
  if (path_fd < 0) {
    *error = errno;
    return file;
  }
  struct stat st;
  if (fstat(path_fd, &st) != 0) {
    *error = errno;
    close(path_fd);
    return file;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = S_ISDIR(st.st_mode) ? EISDIR : S_ISLNK(st.st_mode) ? ELOOP : ENXIO;
    close(path_fd);
    return file;
  }
  // The handle names the inode that was checked; opening it through /proc reopens that same
  // inode for reading (with the usual permission check), whatever the name now refers to.
  const std::string proc = "/proc/self/fd/" + std::to_string(path_fd);
  int fd;
  do {
    fd = open(proc.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  int open_error = errno;
  close(path_fd);
  if (fd < 0 && open_error == ENOENT && access("/proc/self/fd", F_OK) != 0) {
    // No /proc: open the name itself, never following a link nor waiting on a FIFO; the
    // identity check below refuses anything but the file that was checked. (A device swapped
    // in during these microseconds would be opened, though not read: the price of a system
    // without /proc.)
    std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
    const int dir_fd = DirectoryAccess::Acquire(dir, error);
    if (dir_fd < 0) return file;
    do {
      fd = openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    open_error = errno;
  }
  if (fd < 0) {
    *error = open_error;
    return file;
  }
  struct stat opened;
  if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) ||
      posix::IdentityOf(opened) != posix::IdentityOf(st)) {
    // Without /proc the path would name something else: never read that.
    *error = kErrorReplaced;
    close(fd);
    return file;
  }
  int status = fcntl(fd, F_GETFL);
  if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    *error = errno;
    close(fd);
    return file;
  }
  file.fd_ = fd;
  file.stamp_ = posix::StampOf(opened);
  return file;
}

namespace {

// A hidden name, unique in practice, for moving a file aside before it is removed.
std::string AsideName() {
  static std::atomic<uint64_t> counter{0};
  thread_local std::mt19937_64 random{std::random_device{}()};
  const uint64_t value = random();
  char text[80];
  std::snprintf(text, sizeof text, ".nerlo-delete-%ld-%llu-%016llx", static_cast<long>(getpid()),
                static_cast<unsigned long long>(counter.fetch_add(1)),
                static_cast<unsigned long long>(value));
  return text;
}

bool IsExpected(const struct stat& st, const FileIdentity& expected) {
  return S_ISREG(st.st_mode) && posix::IdentityOf(st) == expected;
}

}  // namespace

DeleteOutcome DeleteAt(const Directory& dir, const std::string& name,
                       const FileIdentity& expected) {
  if (!expected.valid || name.empty() || name == "." || name == ".." ||
      name.find('/') != std::string::npos)
    return DeleteOutcome::kRefused;
  std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
  ErrorCode error = 0;
  const int dir_fd = DirectoryAccess::Acquire(dir, &error);
  if (dir_fd < 0) return DeleteOutcome::kRefused;

  struct stat st;
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? DeleteOutcome::kAlreadyGone : DeleteOutcome::kRefused;
  // Another file under the name: leave it where it is.
  if (!IsExpected(st, expected)) return DeleteOutcome::kRefused;

  std::string aside;
  for (int attempt = 0;; ++attempt) {
    aside = AsideName();
    if (renameat2(dir_fd, name.c_str(), dir_fd, aside.c_str(), RENAME_NOREPLACE) == 0) break;
    if (errno == EEXIST && attempt < 8) continue;
    return errno == ENOENT ? DeleteOutcome::kAlreadyGone : DeleteOutcome::kRefused;
  }
  // What moved is whatever had the name at that instant: remove it only if it is the file
  // that was examined.
  if (fstatat(dir_fd, aside.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && IsExpected(st, expected)) {
    if (unlinkat(dir_fd, aside.c_str(), 0) == 0) return DeleteOutcome::kDeleted;
    // Could not remove it: give it its name back.
  }
  renameat2(dir_fd, aside.c_str(), dir_fd, name.c_str(), RENAME_NOREPLACE);
  return DeleteOutcome::kRefused;
}

}  // namespace nerlo::platform
