// Linux: private files written and synced before they get their name, and the calls that
// give a restored file its mode, owner and time back.
#include "platform/quarantine_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform/desktop.h"
#include "platform/posix/stat_util.h"

namespace nerlo::platform {

namespace {

void SetError(ErrorCode* error, ErrorCode code) {
  if (error != nullptr) *error = code;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void SyncFolder(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

NewFile::~NewFile() { Discard(); }

NewFile::NewFile(NewFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
  if (this != &other) {
    Discard();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

NewFile NewFile::Create(const std::string& path, ErrorCode* error) {
  NewFile file;
  int fd;
  do {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    SetError(error, errno);
    return file;
  }
  // The umask may only take bits away; make sure nobody else gets any.
  fchmod(fd, 0600);
  file.fd_ = fd;
  file.path_ = path;
  return file;
}

bool NewFile::Write(std::string_view bytes, ErrorCode* error) {
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t written = write(fd_, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      SetError(error, errno);
      return false;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

bool NewFile::SetMode(uint32_t mode, ErrorCode* error) {
  if (fchmod(fd_, static_cast<mode_t>(mode & 07777)) == 0) return true;
  SetError(error, errno);
  return false;
}

bool NewFile::SetOwner(int64_t owner, int64_t group, ErrorCode* error) {
  if (fchown(fd_, static_cast<uid_t>(owner), static_cast<gid_t>(group)) == 0) return true;
  SetError(error, errno);
  return false;
}

bool NewFile::SetModified(int64_t modified_ns, ErrorCode* error) {
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(modified_ns / 1000000000);
  times[0].tv_nsec = static_cast<long>(modified_ns % 1000000000);
  if (times[0].tv_nsec < 0) {
    times[0].tv_nsec += 1000000000;
    --times[0].tv_sec;
  }
  times[1] = times[0];
  if (futimens(fd_, times) == 0) return true;
  SetError(error, errno);
  return false;
}

bool NewFile::Sync(ErrorCode* error) {
  if (fsync(fd_) == 0) return true;
  SetError(error, errno);
  return false;
}

bool NewFile::Commit(const std::string& final_path, ErrorCode* error, bool sync_folder) {
  const int fd = std::exchange(fd_, -1);
  if (close(fd) != 0 && errno != EINTR) {
    SetError(error, errno);
    unlink(path_.c_str());
    return false;
  }
  if (!RenameNoReplace(path_, final_path, error)) {
    unlink(path_.c_str());
    return false;
  }
  if (sync_folder) SyncFolder(FolderOf(final_path));
  return true;
}

bool NewFile::Close(ErrorCode* error) {
  if (fd_ < 0) return true;
  if (close(std::exchange(fd_, -1)) != 0 && errno != EINTR) {
    SetError(error, errno);
    unlink(path_.c_str());
    return false;
  }
  return true;
}

void NewFile::Discard() {
  if (fd_ < 0) return;
  close(std::exchange(fd_, -1));
  unlink(path_.c_str());
}

bool CreatePrivateDirectory(const std::string& dir, ErrorCode* error) {
  const size_t cut = dir.find_last_not_of('/');
  if (cut != std::string::npos) {
    const size_t slash = dir.rfind('/', cut);
    if (slash != std::string::npos && slash > 0 && !CreateDirectories(dir.substr(0, slash), error))
      return false;
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    SetError(error, errno);
    return false;
  }
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    SetError(error, errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    SetError(error, ENOTDIR);
    return false;
  }
  if (st.st_uid == geteuid() && (st.st_mode & 07777) != 0700) chmod(dir.c_str(), 0700);
  return true;
}

bool ListFiles(const std::string& dir, std::vector<std::string>* names, ErrorCode* error) {
  names->clear();
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    SetError(error, errno);
    return false;
  }
  DIR* listing = fdopendir(fd);
  if (listing == nullptr) {
    SetError(error, errno);
    close(fd);
    return false;
  }
  while (struct dirent* entry = readdir(listing)) {
    struct stat st;
    if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      names->push_back(entry->d_name);
  }
  closedir(listing);
  return true;
}

bool RemoveFileIfPresent(const std::string& path, ErrorCode* error) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  SetError(error, errno);
  return false;
}

bool RenameNoReplace(const std::string& from, const std::string& to, ErrorCode* error) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) {
    SetError(error, errno);
    return false;
  }
  // File systems without the flag: a hard link never replaces anything either.
  if (link(from.c_str(), to.c_str()) != 0) {
    SetError(error, errno);
    return false;
  }
  unlink(from.c_str());
  return true;
}

bool PathDetails(const std::string& path, FileDetails* details, ErrorCode* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    SetError(error, errno);
    return false;
  }
  details->stamp = posix::StampOf(st);
  details->mode = static_cast<uint32_t>(st.st_mode & 07777);
  details->owner = static_cast<uint32_t>(st.st_uid);
  details->group = static_cast<uint32_t>(st.st_gid);
  return true;
}

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsPrivileged() { return geteuid() == 0; }

int64_t ProcessId() { return static_cast<int64_t>(getpid()); }

bool ProcessIsRunning(int64_t pid) {
  if (pid <= 0) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

}  // namespace nerlo::platform
