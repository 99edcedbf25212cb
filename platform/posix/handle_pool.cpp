// Linux: directory handles, kept open in one pool of bounded size and reopened by name,
// identity checked, when they were closed.
#include "platform/posix/handle_pool.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/posix/stat_util.h"

namespace nerlo::platform {

const ErrorCode kErrorReplaced = ESTALE;
const ErrorCode kErrorNotRegular = ENXIO;

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

namespace {

// Descriptors kept back from the shares: the three standard streams, a database being
// loaded, the listings a walk holds open (its own and one listed ahead), a file opened for a
// moment while its type is checked and it is reopened for reading, a deletion's handle, and
// some to spare for the calls of libraries.
constexpr int kReservedDescriptors = 16;
// Files read ahead are useful only up to what the read-ahead line holds (the walk's look-ahead).
constexpr int kMaxFilesAhead = 1024;
// Deletions waiting for one flush of the quarantine: more gain little.
constexpr int kMaxDeletionsWaiting = 64;

}  // namespace

bool IsOutOfDescriptors(ErrorCode code) { return code == EMFILE || code == ENFILE; }

int MaxOpenDirectories() {
  std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
  return DirectoryAccess::pool().max_open;
}

DescriptorShares ShareDescriptors() {
  struct rlimit limit {};
  rlim_t allowed = RLIM_INFINITY;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) allowed = limit.rlim_cur;
  const int64_t usable = allowed == RLIM_INFINITY
                             ? int64_t{1} << 30
                             : static_cast<int64_t>(allowed) - kReservedDescriptors;
  DescriptorShares shares;
  // Half for each, each up to what it can use; the directories' share at least 2 (a handle
  // and its parent's).
  shares.directories = static_cast<int>(std::clamp<int64_t>(usable / 2, 2, kMaxOpenDirectories));
  const int64_t rest = usable - shares.directories;
  // Deletions before files read ahead, two descriptors each, up to a quarter of the rest: the
  // files read ahead would take all of a common limit of 1,024, and deletions one at a time
  // each wait for a flush of the quarantine of their own. One deletion at a time is in the
  // reserve.
  shares.deletions = static_cast<int>(std::clamp<int64_t>(
      std::min<int64_t>(rest / 4, 2 * kMaxDeletionsWaiting) / 2, 1, kMaxDeletionsWaiting));
  shares.files = static_cast<int>(
      std::clamp<int64_t>(rest - 2 * static_cast<int64_t>(shares.deletions), 0, kMaxFilesAhead));
  std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
  DirectoryAccess::pool().max_open = shares.directories;
  return shares;
}

bool posix::ReleaseForRetry(int error) {
  if (!IsOutOfDescriptors(error)) return false;
  std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
  return DirectoryAccess::ReleaseIdle(nullptr, nullptr);
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
    fd = posix::RetryOnInterrupt([&] { return open(path.c_str(), flags); });
  } while (fd < 0 && posix::ReleaseForRetry(errno));
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
  const int fd = DirectoryAccess::OpenChildFd(parent.get(), parent_fd, name, &st, error);
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
  const int fd = posix::RetryOnInterrupt(
      [this] { return openat(fd_, "..", O_PATH | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) != 0 || posix::IdentityOf(st) != parent.identity_) {
    close(fd);
    return;
  }
  DirectoryAccess::Opened(parent, fd, this);
}

}  // namespace nerlo::platform
