// Linux: directory listings, single entries and file status.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "platform/posix/handle_pool.h"
#include "platform/posix/stat_util.h"

// Kernel magic numbers that <linux/magic.h> does not export on every system.
#ifndef CONFIGFS_MAGIC
#define CONFIGFS_MAGIC 0x62656570  // fs/configfs/mount.c
#endif
#ifndef FUSECTL_SUPER_MAGIC
#define FUSECTL_SUPER_MAGIC 0x65735543  // fs/fuse/control.c
#endif
#ifndef MQUEUE_MAGIC
#define MQUEUE_MAGIC 0x19800202  // ipc/mqueue.c
#endif
#ifndef BINFMTFS_MAGIC
#define BINFMTFS_MAGIC 0x42494e4d
#endif
#ifndef NSFS_MAGIC
#define NSFS_MAGIC 0x6e736673
#endif
#ifndef BPF_FS_MAGIC
#define BPF_FS_MAGIC 0xcafe4a11
#endif
#ifndef TRACEFS_MAGIC
#define TRACEFS_MAGIC 0x74726163
#endif
#ifndef CGROUP2_SUPER_MAGIC
#define CGROUP2_SUPER_MAGIC 0x63677270
#endif
#ifndef EFIVARFS_MAGIC
#define EFIVARFS_MAGIC 0xde5e81e4
#endif
#ifndef PSTOREFS_MAGIC
#define PSTOREFS_MAGIC 0x6165676C
#endif

namespace nerlo::platform {

namespace {

// File systems whose files are kernel interfaces, not data: reading them can block, have side
// effects or never end, so a walk must not look inside.
bool IsPseudoFileSystemType(unsigned long type) {
  switch (type) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEVPTS_SUPER_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case SECURITYFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case CONFIGFS_MAGIC:
    case FUSECTL_SUPER_MAGIC:
    case MQUEUE_MAGIC:
    case HUGETLBFS_MAGIC:
    case BPF_FS_MAGIC:
    case PSTOREFS_MAGIC:
    case AUTOFS_SUPER_MAGIC:
    case BINFMTFS_MAGIC:
    case EFIVARFS_MAGIC:
    case SELINUX_MAGIC:
    case NSFS_MAGIC:
      return true;
    default:
      return false;
  }
}

// devtmpfs reports the magic number of tmpfs (or of ramfs), so statfs alone cannot tell it
// from /tmp or /dev/shm. The mount table names its type: the device numbers of the devtmpfs
// mounts are read from /proc/self/mountinfo, and read again whenever a tmpfs device that has
// not been seen yet turns up (a new mount). Without a readable mount table devtmpfs is not
// recognised; its devices are still never listed, because listings skip every device.
class DevtmpfsDevices {
 public:
  bool Contains(dev_t device) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (devtmpfs_.count(device) != 0) return true;
    if (other_.count(device) != 0) return false;
    Reload();
    if (devtmpfs_.count(device) != 0) return true;
    other_.insert(device);
    return false;
  }

 private:
  void Reload() {
    devtmpfs_.clear();
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
      // "id parent major:minor root mountpoint options [optional...] - fstype source ..."
      std::istringstream fields(line);
      std::string id, parent, numbers, field;
      if (!(fields >> id >> parent >> numbers)) continue;
      bool after_separator = false;
      while (fields >> field) {
        if (field == "-") {
          after_separator = true;
          break;
        }
      }
      if (!after_separator || !(fields >> field) || field != "devtmpfs") continue;
      unsigned major_number = 0, minor_number = 0;
      char colon = 0;
      std::istringstream pair(numbers);
      if (pair >> major_number >> colon >> minor_number && colon == ':')
        devtmpfs_.insert(makedev(major_number, minor_number));
    }
  }

  std::mutex mutex_;
  std::set<dev_t> devtmpfs_;
  std::set<dev_t> other_;  // tmpfs and ramfs devices known not to be devtmpfs
};

bool IsPseudoFileSystem(int fd, const struct stat& st) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  unsigned long type = static_cast<unsigned long>(fs.f_type);
  if (IsPseudoFileSystemType(type)) return true;
  if (type == TMPFS_MAGIC || type == RAMFS_MAGIC) {
    static DevtmpfsDevices devtmpfs;
    return devtmpfs.Contains(st.st_dev);
  }
  return false;
}

}  // namespace

struct DirectoryListing::Impl {
  DIR* dir = nullptr;
  std::string mask;
  // A pseudo file system's directory: only the directories on which another file system is
  // mounted (whose device differs from device) are listed.
  bool mount_points_only = false;
  dev_t device = 0;
  FileIdentity identity;
  ErrorCode error = 0;
};

DirectoryListing::DirectoryListing() : impl_(std::make_unique<Impl>()) {}

DirectoryListing::~DirectoryListing() { Close(); }

void DirectoryListing::Close() {
  if (impl_->dir != nullptr) closedir(impl_->dir);
  impl_->dir = nullptr;
  impl_->mount_points_only = false;
  impl_->identity = FileIdentity();
}

FileIdentity DirectoryListing::Identity() const { return impl_->identity; }

ErrorCode DirectoryListing::Error() const { return impl_->error; }

bool DirectoryListing::Open(const Directory& dir, std::string mask, ErrorCode* error) {
  Close();
  impl_->error = 0;
  ErrorCode ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  int fd = posix::OpenDirectoryForListing(dir, error);
  if (fd < 0) {
    impl_->error = *error;
    return false;
  }
  return OpenDescriptor(fd, std::move(mask), error);
}

bool DirectoryListing::OpenDescriptor(int fd, std::string mask, ErrorCode* error) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = impl_->error = errno;
    close(fd);
    return false;
  }
  impl_->identity = posix::IdentityOf(st);
  // The decision is made per mount: a pseudo file system's own entries are never listed, but
  // a real file system mounted below it (the tmpfs at /dev/shm below devtmpfs) is.
  impl_->mount_points_only = IsPseudoFileSystem(fd, st);
  impl_->device = st.st_dev;
  // The descriptor passes to the stream; every status call of the listing is made relative
  // to it, so the entries are those of the directory that was opened even if its path is
  // renamed or replaced meanwhile.
  impl_->dir = fdopendir(fd);
  if (impl_->dir == nullptr) {
    *error = impl_->error = errno;
    close(fd);
    impl_->identity = FileIdentity();
    return false;
  }
  impl_->mask = std::move(mask);
  return true;
}

bool Directory::OnPseudoFileSystem() const {
  ErrorCode error = 0;
  const int fd = posix::OpenDirectoryForListing(*this, &error);
  if (fd < 0) return false;
  struct stat st;
  const bool pseudo = fstat(fd, &st) == 0 && IsPseudoFileSystem(fd, st);
  close(fd);
  return pseudo;
}

bool DirectoryListing::Next(DirEntry* entry) {
  if (impl_->dir == nullptr) return false;
  const int dir_fd = dirfd(impl_->dir);
  for (;;) {
    errno = 0;
    struct dirent* d = readdir(impl_->dir);
    if (d == nullptr) {
      // errno tells a failed read (EIO, ESTALE, ENOMEM, ...) from the end of the directory:
      // what lies after it was never listed.
      impl_->error = errno;
      return false;
    }
    std::string_view name(d->d_name);
    if (!MatchesMask(name, impl_->mask)) continue;
    if (impl_->mount_points_only) {
      if (name == "." || name == ".." || (d->d_type != DT_DIR && d->d_type != DT_UNKNOWN))
        continue;
      struct stat st;
      // AT_NO_AUTOMOUNT: an automount point is looked at, not mounted.
      if (fstatat(dir_fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0 ||
          !S_ISDIR(st.st_mode) || st.st_dev == impl_->device)
        continue;
      entry->name.assign(name);
      entry->is_directory = true;
      return true;
    }

    bool need_status = false;
    bool is_directory = false;
    switch (d->d_type) {
      case DT_REG:
        break;
      case DT_DIR:
        is_directory = true;
        break;
      case DT_UNKNOWN:
        need_status = true;
        break;
      default:
        continue;  // links, FIFOs, sockets and devices are never listed
    }
    if (need_status) {
      struct stat st;
      // Gone since readdir, or no longer reachable: skip it.
      if (fstatat(dir_fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      // The status is the truth: the name may have been replaced after readdir.
      if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;
      entry->name.assign(name);
      entry->is_directory = S_ISDIR(st.st_mode);
      return true;
    }
    entry->name.assign(name);
    entry->is_directory = is_directory;
    return true;
  }
}

bool StatPath(const std::string& path, FileStamp* stamp, ErrorCode* error) {
  if (error != nullptr) *error = 0;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (error != nullptr) *error = errno;
    return false;
  }
  *stamp = posix::StampOf(st);
  return true;
}

}  // namespace nerlo::platform
