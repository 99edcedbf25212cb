// Linux: deleting files, and deleting a scanned file only while the name still names it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace nerlo::platform {

namespace {

// Owns a directory descriptor (AT_FDCWD is not owned).
class DirFd {
 public:
  explicit DirFd(int fd) : fd_(fd) {}
  ~DirFd() { Reset(AT_FDCWD); }
  DirFd(const DirFd&) = delete;
  DirFd& operator=(const DirFd&) = delete;
  int get() const { return fd_; }
  void Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

DeleteOutcome OutcomeOfError(int error) {
  return error == ENOENT ? DeleteOutcome::kAlreadyGone : DeleteOutcome::kRefused;
}

}  // namespace

DeleteOutcome DeleteFile(const std::string& path) {
  if (unlink(path.c_str()) == 0) return DeleteOutcome::kDeleted;
  return OutcomeOfError(errno);
}

DeleteOutcome DeleteFileIfSame(const std::string& path, const FileIdentity& expected) {
  if (!expected.valid || path.empty()) return DeleteOutcome::kRefused;
  // A name ending in "/" can only name a directory.
  if (path.back() == '/') return DeleteOutcome::kRefused;

  std::vector<std::string_view> components;
  std::string_view rest(path);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    if (!part.empty() && part != ".") components.push_back(part);
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  if (components.empty()) return DeleteOutcome::kRefused;
  const std::string leaf(components.back());
  components.pop_back();
  // The last component must be the file itself, not "." or "..".
  if (leaf == "..") return DeleteOutcome::kRefused;
  std::string_view last_part = std::string_view(path).substr(path.rfind('/') + 1);
  if (last_part == ".") return DeleteOutcome::kRefused;

  // Walk down one directory at a time, never following a link: every later step is made
  // relative to a descriptor of the directory actually reached, so no component can be
  // swapped for a link behind our back. ".." is never a link and goes to the parent of the
  // directory reached so far.
  DirFd dir(AT_FDCWD);
  if (path[0] == '/') {
    int root = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) return OutcomeOfError(errno);
    dir.Reset(root);
  }
  for (std::string_view part : components) {
    const std::string name(part);
    int next = openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return OutcomeOfError(errno);  // ELOOP or ENOTDIR for a link: refused
    dir.Reset(next);
  }

  struct stat st;
  if (fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return OutcomeOfError(errno);
  if (!S_ISREG(st.st_mode)) return DeleteOutcome::kRefused;
  if (static_cast<uint64_t>(st.st_dev) != expected.device ||
      static_cast<uint64_t>(st.st_ino) != expected.inode)
    return DeleteOutcome::kRefused;
  // The directory is pinned by its descriptor; only the leaf itself could still be replaced
  // between the status call and the unlink, which no call of the system can rule out.
  if (unlinkat(dir.get(), leaf.c_str(), 0) != 0) return OutcomeOfError(errno);
  return DeleteOutcome::kDeleted;
}

}  // namespace nerlo::platform
