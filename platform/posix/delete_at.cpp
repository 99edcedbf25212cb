// Linux: deletion that removes only the file that was examined, unchanged since.
#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/handle_pool.h"
#include "platform/posix/stat_util.h"
#include "platform/quarantine_io.h"

namespace nerlo::platform {

namespace {

constexpr const char* kChanged = "changed since it was examined";

DeleteResult Refused(std::string reason) {
  DeleteResult result;
  result.outcome = DeleteOutcome::kRefused;
  result.reason = std::move(reason);
  return result;
}

DeleteResult Done(DeleteOutcome outcome) {
  DeleteResult result;
  result.outcome = outcome;
  return result;
}

// Closes a descriptor when it goes out of scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// A hidden name of 128 random bits from the system's generator: nobody can have taken it,
// nor guess it before it exists. Returns false, with errno set, when no random bits can be
// had.
bool AsideName(std::string* name) {
  unsigned char bits[16];
  size_t got = 0;
  while (got < sizeof bits) {
    const ssize_t n = getrandom(bits + got, sizeof bits - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  *name = ".nerlo-delete-";
  for (unsigned char b : bits) {
    *name += kHex[b >> 4];
    *name += kHex[b & 0x0F];
  }
  return true;
}

// The answer of a file system that cannot rename without replacing (NFS, CIFS and others
// say EINVAL; an old kernel ENOSYS).
bool NoReplaceUnsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

// Renames from to to, both in dir_fd, only while to names nothing. Returns 0, or the errno
// (EEXIST when to is taken). Where the file system cannot rename without replacing, a hard
// link (which never replaces either) is made and from removed; where there are no hard links
// either, to is renamed once it is seen free, so that only a file taking the name in the
// microseconds between could be replaced.
int MoveWithoutReplacing(int dir_fd, const std::string& from, const std::string& to) {
  if (renameat2(dir_fd, from.c_str(), dir_fd, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (!NoReplaceUnsupported(errno)) return errno;
  if (linkat(dir_fd, from.c_str(), dir_fd, to.c_str(), 0) == 0) {
    // Both names lead to the file now; the old one goes.
    unlinkat(dir_fd, from.c_str(), 0);
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK) return errno;
  struct stat st;
  if (fstatat(dir_fd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  if (errno != ENOENT) return errno;
  return renameat(dir_fd, from.c_str(), dir_fd, to.c_str()) == 0 ? 0 : errno;
}

// Moves name aside to a fresh hidden name, *aside. Returns 0 or the errno.
int MoveAside(int dir_fd, const std::string& name, std::string* aside) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (!AsideName(aside)) return errno;
    if (renameat2(dir_fd, name.c_str(), dir_fd, aside->c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno == EEXIST) continue;
    if (!NoReplaceUnsupported(errno)) return errno;
    // The file system cannot rename without replacing: a plain rename to the random name
    // replaces nothing, since that name did not exist a moment ago and cannot be guessed.
    // (A hard link to it and an unlink of name would remove whatever name holds by then.)
    struct stat st;
    if (fstatat(dir_fd, aside->c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
    return renameat(dir_fd, name.c_str(), dir_fd, aside->c_str()) == 0 ? 0 : errno;
  }
  return EEXIST;
}

// Gives the file under aside its name back, never over another file: when the name was
// taken meanwhile it is kept beside it as NAME.nerlo-restored-N instead, and when even that
// fails it stays under aside; either way it is never removed, and the refusal says where it
// is.
DeleteResult MoveBack(int dir_fd, const std::string& aside, const std::string& name,
                      std::string reason) {
  DeleteResult result = Refused(std::move(reason));
  int error = MoveWithoutReplacing(dir_fd, aside, name);
  if (error == 0) return result;
  if (error == EEXIST) {
    for (int n = 1; n <= 1000; ++n) {
      const std::string beside = name + ".nerlo-restored-" + std::to_string(n);
      error = MoveWithoutReplacing(dir_fd, aside, beside);
      if (error == 0) {
        result.kept_as = beside;
        result.reason += "; another file took its name meanwhile, so it is kept as " + beside;
        return result;
      }
      if (error != EEXIST) break;
    }
  }
  result.kept_as = aside;
  result.reason +=
      "; it could not be moved back (" + ErrorText(error) + ") and is kept as " + aside;
  return result;
}

// The file under the hidden name (moved) is the pinned one, and the pinned one still has the
// identity, size and modification time examined. Its change time is not compared here: the
// rename itself moved it on (it was compared before the move).
bool IsExaminedFile(const struct stat& moved, const struct stat& pinned,
                    const FileStamp& examined) {
  const FileStamp now = posix::StampOf(pinned);
  return S_ISREG(moved.st_mode) && posix::IdentityOf(moved) == now.identity &&
         now.identity == examined.identity && now.size == examined.size &&
         now.modified_ns == examined.modified_ns;
}

// Opens the moved-aside file for reading and hands it to keep, when the open descriptor is
// the pinned file. False, with *reason set, when it is not kept.
bool KeepAside(int dir_fd, const std::string& aside, const struct stat& pinned,
               const KeepHook& keep, std::string* reason) {
  int fd;
  do {
    fd = openat(dir_fd, aside.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *reason = "cannot be read to keep a copy: " + ErrorText(errno);
    return false;
  }
  const ScopedFd file(fd);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      posix::IdentityOf(st) != posix::IdentityOf(pinned)) {
    *reason = kChanged;
    return false;
  }
  FileDetails details;
  details.stamp = posix::StampOf(st);
  details.mode = static_cast<uint32_t>(st.st_mode & 07777);
  details.owner = static_cast<uint32_t>(st.st_uid);
  details.group = static_cast<uint32_t>(st.st_gid);
  AsideFile aside_file(fd, details, aside);
  return keep(aside_file, reason);
}

}  // namespace

int64_t AsideFile::Read(void* buffer, size_t count, ErrorCode* error) {
  ssize_t n;
  do {
    n = read(fd_, buffer, count);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && error != nullptr) *error = errno;
  return n;
}

PendingDeletion::~PendingDeletion() {
  if (Active()) Abandon(std::string());
}

PendingDeletion::PendingDeletion(PendingDeletion&& other) noexcept
    : dir_fd_(std::exchange(other.dir_fd_, -1)),
      pin_fd_(std::exchange(other.pin_fd_, -1)),
      name_(std::move(other.name_)),
      aside_(std::move(other.aside_)),
      examined_(other.examined_) {}

PendingDeletion& PendingDeletion::operator=(PendingDeletion&& other) noexcept {
  if (this != &other) {
    if (Active()) Abandon(std::string());
    dir_fd_ = std::exchange(other.dir_fd_, -1);
    pin_fd_ = std::exchange(other.pin_fd_, -1);
    name_ = std::move(other.name_);
    aside_ = std::move(other.aside_);
    examined_ = other.examined_;
  }
  return *this;
}

void PendingDeletion::Release() {
  if (pin_fd_ >= 0) close(std::exchange(pin_fd_, -1));
  if (dir_fd_ >= 0) close(std::exchange(dir_fd_, -1));
}

DeleteResult PendingDeletion::Finish() {
  if (!Active()) return Refused("not a file that was examined");
  DeleteResult result;
  // The hidden name may have been spied out and another file renamed over it while the
  // deletion waited, or the file written through a descriptor opened before: check again.
  struct stat moved, pinned;
  if (fstatat(dir_fd_, aside_.c_str(), &moved, AT_SYMLINK_NOFOLLOW) != 0 ||
      fstat(pin_fd_, &pinned) != 0 || !IsExaminedFile(moved, pinned, examined_)) {
    result = MoveBack(dir_fd_, aside_, name_, kChanged);
  } else if (unlinkat(dir_fd_, aside_.c_str(), 0) != 0) {
    result = MoveBack(dir_fd_, aside_, name_, ErrorText(errno));
  } else {
    result = Done(DeleteOutcome::kDeleted);
  }
  Release();
  return result;
}

DeleteResult PendingDeletion::Abandon(std::string reason) {
  if (!Active()) return Refused(std::move(reason));
  DeleteResult result = MoveBack(dir_fd_, aside_, name_, std::move(reason));
  Release();
  return result;
}

bool BeginDeleteAt(const Directory& dir, const std::string& name, const FileStamp& examined,
                   const KeepHook& keep, PendingDeletion* pending, DeleteResult* result) {
  if (pending->Active()) pending->Abandon(std::string());
  const auto ended = [result](DeleteResult r) {
    *result = std::move(r);
    return false;
  };
  if (!examined.identity.valid || name.empty() || name == "." || name == ".." ||
      name.find('/') != std::string::npos)
    return ended(Refused("not a file that was examined"));
  std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
  ErrorCode error = 0;
  const int dir_fd = DirectoryAccess::Acquire(dir, &error);
  if (dir_fd < 0)
    return ended(
        Refused(error == kErrorReplaced ? "its folder was moved or replaced" : ErrorText(error)));
  // The deletion's own handle of the folder: it is finished in this very folder, whatever
  // the pool of handles closes meanwhile.
  ScopedFd folder(DirectoryAccess::OpenRetrying([&] { return fcntl(dir_fd, F_DUPFD_CLOEXEC, 0); },
                                                &dir, nullptr));
  if (folder.get() < 0) return ended(Refused(ErrorText(errno)));

  // Pinned by a handle, the file keeps its inode number until the end, so that every check
  // below is about this one file.
  ScopedFd pin(DirectoryAccess::OpenRetrying(
      [&] { return openat(dir_fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); }, &dir,
      nullptr));
  if (pin.get() < 0)
    return ended(errno == ENOENT ? Done(DeleteOutcome::kAlreadyGone) : Refused(ErrorText(errno)));
  struct stat pinned;
  if (fstat(pin.get(), &pinned) != 0) return ended(Refused(ErrorText(errno)));
  // Another file under the name, or this one written since: leave it where it is.
  if (!S_ISREG(pinned.st_mode) || posix::StampOf(pinned) != examined)
    return ended(Refused(kChanged));

  std::string aside;
  if (const int move_error = MoveAside(dir_fd, name, &aside); move_error != 0) {
    return ended(move_error == ENOENT ? Done(DeleteOutcome::kAlreadyGone)
                                      : Refused(ErrorText(move_error)));
  }
  // What moved is whatever had the name at that instant.
  struct stat moved;
  if (fstatat(dir_fd, aside.c_str(), &moved, AT_SYMLINK_NOFOLLOW) != 0 ||
      fstat(pin.get(), &pinned) != 0 || !IsExaminedFile(moved, pinned, examined))
    return ended(MoveBack(dir_fd, aside, name, kChanged));

  // Here the file under the hidden name is the file examined, unchanged; pin is a handle of
  // it. It is kept first, when asked; then only its removal is left.
  if (keep) {
    std::string reason;
    if (!KeepAside(dir_fd, aside, pinned, keep, &reason))
      return ended(MoveBack(dir_fd, aside, name, reason));
  }
  pending->dir_fd_ = folder.release();
  pending->pin_fd_ = pin.release();
  pending->name_ = name;
  pending->aside_ = std::move(aside);
  pending->examined_ = examined;
  return true;
}

DeleteResult DeleteAt(const Directory& dir, const std::string& name, const FileStamp& examined,
                      const KeepHook& keep) {
  PendingDeletion pending;
  DeleteResult result;
  if (!BeginDeleteAt(dir, name, examined, keep, &pending, &result)) return result;
  return pending.Finish();
}

}  // namespace nerlo::platform
