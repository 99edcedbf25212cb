// Linux: new files, renames, links, removal of folders, listings and locks for installing
// signature sets.
#include "platform/fs_install.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace nerlo::platform {
namespace {

bool Fail(ErrorCode* error, ErrorCode code) {
  if (error != nullptr) *error = code;
  return false;
}

void CloseQuietly(int fd) {
  if (fd >= 0) close(fd);
}

// Removes every entry of the open directory dir_fd, then nothing else (the caller removes the
// directory itself). Takes over dir_fd.
bool EmptyDirectory(int dir_fd, ErrorCode* error) {
  DIR* dir = fdopendir(dir_fd);
  if (dir == nullptr) {
    const ErrorCode code = errno;
    close(dir_fd);
    return Fail(error, code);
  }
  bool ok = true;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) ok = Fail(error, errno);
      break;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (unlinkat(dirfd(dir), name.c_str(), 0) == 0 || errno == ENOENT) continue;
    if (errno != EISDIR && errno != EPERM) {
      ok = Fail(error, errno);
      break;
    }
    // A folder: opened without following a link, emptied through its own descriptor.
    const int child =
        openat(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) {
      ok = Fail(error, errno);
      break;
    }
    if (!EmptyDirectory(child, error)) {
      ok = false;
      break;
    }
    if (unlinkat(dirfd(dir), name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      ok = Fail(error, errno);
      break;
    }
  }
  closedir(dir);
  return ok;
}

}  // namespace

OutputFile::~OutputFile() { CloseQuietly(fd_); }

OutputFile::OutputFile(OutputFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    CloseQuietly(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

OutputFile OutputFile::Create(const std::string& path, uint32_t mode, ErrorCode* error) {
  OutputFile file;
  file.fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  static_cast<mode_t>(mode));
  if (file.fd_ < 0) Fail(error, errno);
  return file;
}

bool OutputFile::Write(std::string_view bytes, ErrorCode* error) {
  if (fd_ < 0) return Fail(error, EBADF);
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t written = write(fd_, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return Fail(error, errno);
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

bool OutputFile::Sync(ErrorCode* error) {
  if (fd_ < 0) return Fail(error, EBADF);
  if (fsync(fd_) != 0) return Fail(error, errno);
  return true;
}

bool OutputFile::Close(ErrorCode* error) {
  if (fd_ < 0) return Fail(error, EBADF);
  const int closing = fd_;
  fd_ = -1;
  // After EINTR the descriptor is gone on Linux; only a real write-back failure counts.
  if (close(closing) != 0 && errno != EINTR) return Fail(error, errno);
  return true;
}

bool RenamePath(const std::string& from, const std::string& to, bool replace, ErrorCode* error) {
  if (replace) {
    if (rename(from.c_str(), to.c_str()) != 0) return Fail(error, errno);
    return true;
  }
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  const ErrorCode code = errno;
  if (code != EINVAL && code != ENOSYS) return Fail(error, code);
  // A file system without RENAME_NOREPLACE: a hard link cannot replace anything, but folders
  // cannot be linked; a folder is renamed after checking that the name is free (the race left
  // is with another writer of the same root, which the root's lock excludes).
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) return Fail(error, EEXIST);
  if (rename(from.c_str(), to.c_str()) != 0) return Fail(error, errno);
  return true;
}

bool CreateSymbolicLink(const std::string& target, const std::string& path, ErrorCode* error) {
  if (symlink(target.c_str(), path.c_str()) != 0) return Fail(error, errno);
  return true;
}

bool CreateHardLink(const std::string& existing, const std::string& path, ErrorCode* error) {
  if (linkat(AT_FDCWD, existing.c_str(), AT_FDCWD, path.c_str(), 0) != 0)
    return Fail(error, errno);
  return true;
}

bool SyncDirectory(const std::string& path, ErrorCode* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail(error, errno);
  const bool ok = fsync(fd) == 0;
  const ErrorCode code = errno;
  close(fd);
  if (!ok) return Fail(error, code);
  return true;
}

bool RemoveTree(const std::string& path, ErrorCode* error) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR && errno != EPERM) return Fail(error, errno);
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? true : Fail(error, errno);
  if (!EmptyDirectory(fd, error)) return false;
  if (rmdir(path.c_str()) != 0 && errno != ENOENT) return Fail(error, errno);
  return true;
}

bool ListNames(const std::string& path, std::vector<std::string>* names, ErrorCode* error) {
  names->clear();
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return Fail(error, errno);
  bool ok = true;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) ok = Fail(error, errno);
      break;
    }
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  closedir(dir);
  return ok;
}

EntryKind KindOf(const std::string& path, ErrorCode* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    Fail(error, errno);
    return EntryKind::kMissing;
  }
  if (S_ISREG(st.st_mode)) return EntryKind::kFile;
  if (S_ISDIR(st.st_mode)) return EntryKind::kDirectory;
  if (S_ISLNK(st.st_mode)) return EntryKind::kSymbolicLink;
  return EntryKind::kOther;
}

ExclusiveLock::~ExclusiveLock() { CloseQuietly(fd_); }

ExclusiveLock::ExclusiveLock(ExclusiveLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

ExclusiveLock& ExclusiveLock::operator=(ExclusiveLock&& other) noexcept {
  if (this != &other) {
    CloseQuietly(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

ExclusiveLock ExclusiveLock::TryAcquire(const std::string& path, ErrorCode* error) {
  ExclusiveLock lock;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    Fail(error, errno);
    return lock;
  }
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    Fail(error, errno);
    close(fd);
    return lock;
  }
  lock.fd_ = fd;
  return lock;
}

bool RunsPrivileged() { return geteuid() == 0; }

uint32_t SetCreationMask(uint32_t mask) { return static_cast<uint32_t>(umask(static_cast<mode_t>(mask))); }

int64_t CurrentUtcSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace nerlo::platform
