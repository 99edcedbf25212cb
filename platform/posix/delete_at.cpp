// Linux: deletion that removes only the file that was examined.
#include "platform/posix/handle_pool.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <random>
#include <string>

#include "platform/platform.h"
#include "platform/posix/stat_util.h"
#include "platform/quarantine_io.h"

namespace nerlo::platform {

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

// Opens the moved-aside file for reading and hands it to keep, when the open descriptor is
// the expected file. False, with *reason set, when it is not kept.
bool KeepAside(int dir_fd, const std::string& aside, const FileIdentity& expected,
               const KeepHook& keep, std::string* reason) {
  int fd;
  do {
    fd = openat(dir_fd, aside.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *reason = "cannot be read to keep a copy: " + ErrorText(errno);
    return false;
  }
  struct stat st;
  bool kept = false;
  if (fstat(fd, &st) != 0 || !IsExpected(st, expected)) {
    *reason = "it was replaced meanwhile";
  } else {
    FileDetails details;
    details.stamp = posix::StampOf(st);
    details.mode = static_cast<uint32_t>(st.st_mode & 07777);
    details.owner = static_cast<uint32_t>(st.st_uid);
    details.group = static_cast<uint32_t>(st.st_gid);
    AsideFile file(fd, details, aside);
    kept = keep(file, reason);
  }
  close(fd);
  return kept;
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

DeleteOutcome DeleteAt(const Directory& dir, const std::string& name,
                       const FileIdentity& expected, const KeepHook& keep, std::string* reason) {
  std::string ignored_reason;
  if (reason == nullptr) reason = &ignored_reason;
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
  if (fstatat(dir_fd, aside.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && IsExpected(st, expected) &&
      (!keep || KeepAside(dir_fd, aside, expected, keep, reason))) {
    if (unlinkat(dir_fd, aside.c_str(), 0) == 0) return DeleteOutcome::kDeleted;
    // Could not remove it: give it its name back.
  }
  renameat2(dir_fd, aside.c_str(), dir_fd, name.c_str(), RENAME_NOREPLACE);
  return DeleteOutcome::kRefused;
}

}  // namespace nerlo::platform
