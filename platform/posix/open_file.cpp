// Linux: files and folder listings opened relative to a folder handle, never following a
// link and never opening anything but a regular file for reading.
#include "platform/posix/handle_pool.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/posix/retry.h"
#include "platform/posix/stat_util.h"

namespace nerlo::platform {

namespace {

// True when /proc/self/fd is the process file system's, whose entry N reopens the very file
// that descriptor N names (not whatever its path names now), so that a reopened descriptor
// needs no identity check. Found out once per process.
bool ProcReopensSameFile() {
  static const bool proc = [] {
    struct statfs fs;
    return statfs("/proc/self/fd", &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
  }();
  return proc;
}

}  // namespace

// A readable descriptor of dir for listing: the directory itself ("."), reached through its
// handle, so that only read permission on it is checked and no name is resolved.
int posix::OpenDirectoryForListing(const Directory& dir, ErrorCode* error) {
  std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
  const int fd = DirectoryAccess::Acquire(dir, error);
  if (fd < 0) return -1;
  const int list_fd = DirectoryAccess::OpenRetrying(
      [fd] { return openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }, &dir, nullptr);
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
    path_fd = DirectoryAccess::OpenRetrying(
        [&] { return openat(dir_fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); }, &dir,
        nullptr);
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
    fd = posix::RetryOnInterrupt(
        [&] { return open(proc.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
  } while (fd < 0 && posix::ReleaseForRetry(errno));
  int open_error = errno;
  close(path_fd);
  bool same_inode = fd >= 0 && ProcReopensSameFile();
  if (fd < 0 && open_error == ENOENT && access("/proc/self/fd", F_OK) != 0) {
    // No /proc: open the name itself, never following a link nor waiting on a FIFO; the
    // identity check below refuses anything but the file that was checked. (A device swapped
    // in during these microseconds would be opened, though not read: the price of a system
    // without /proc.)
    std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
    const int dir_fd = DirectoryAccess::Acquire(dir, error);
    if (dir_fd < 0) return file;
    fd = posix::RetryOnInterrupt([&] {
      return openat(dir_fd, name.c_str(),
                    O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    });
    open_error = errno;
    same_inode = false;
  }
  if (fd < 0) {
    *error = open_error;
    return file;
  }
  if (!same_inode) {
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) ||
        posix::IdentityOf(opened) != posix::IdentityOf(st)) {
      // Without /proc the path would name something else: never read that.
      *error = kErrorReplaced;
      close(fd);
      return file;
    }
    st = opened;
  }
  // O_NONBLOCK is the only status flag the descriptor was opened with that F_SETFL changes:
  // clearing them all makes it an ordinary blocking descriptor in one call.
  if (fcntl(fd, F_SETFL, 0) != 0) {
    *error = errno;
    close(fd);
    return file;
  }
  file.fd_ = fd;
  // The status taken through the handle, before the reopen: a change after it makes the
  // stamps differ later, and a deletion then refuses.
  file.stamp_ = posix::StampOf(st);
  return file;
}

}  // namespace nerlo::platform
