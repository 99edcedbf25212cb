// Faults of the system, put into a program with LD_PRELOAD by the end-to-end tests, each
// switched on by an environment variable:
//
//   NERLO_FAULT_NO_NOREPLACE=1   renameat2 with RENAME_NOREPLACE fails with EINVAL, as on NFS,
//                                CIFS and other file systems that cannot rename without
//                                replacing.
//   NERLO_FAULT_SWAP=NAME        the first time the file NAME is renamed to a hidden name
//   NERLO_FAULT_SWAP_FROM=PATH   (".nerlo-delete-..."), the file at PATH is first renamed over
//                                NAME (another file takes its place between the check and the
//                                move), and once the move is done a new file NAME is made,
//                                holding "newest" (the name is taken before a move back).
//   NERLO_FAULT_READDIR=NAME:N   reading a directory whose last path component is NAME fails
//                                with EIO after N entries (through readdir or getdents64).
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

std::atomic<bool> swapped{false};

bool IsAsideName(const char* name) { return strncmp(name, ".nerlo-delete-", 14) == 0; }

// Before a move of NAME aside: PATH takes its place. Returns true when it did.
bool SwapBefore(int dir_fd, const char* old_name, const char* new_name) {
  const char* target = getenv("NERLO_FAULT_SWAP");
  const char* from = getenv("NERLO_FAULT_SWAP_FROM");
  if (target == nullptr || from == nullptr || strcmp(old_name, target) != 0 ||
      !IsAsideName(new_name) || swapped.exchange(true))
    return false;
  using RenameAt = int (*)(int, const char*, int, const char*);
  static const RenameAt real_renameat = Next<RenameAt>("renameat");
  real_renameat(AT_FDCWD, from, dir_fd, old_name);
  return true;
}

void TakeNameAfter(int dir_fd, const char* name) {
  const int saved = errno;
  const int fd = openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd >= 0) {
    (void)!write(fd, "newest\n", 7);
    close(fd);
  }
  errno = saved;
}

// Entries read so far from each directory stream that is to fail.
std::mutex streams_mutex;
std::unordered_map<DIR*, long> streams;

bool ShouldFail(DIR* dir) {
  const char* setting = getenv("NERLO_FAULT_READDIR");
  if (setting == nullptr) return false;
  const char* colon = strrchr(setting, ':');
  if (colon == nullptr) return false;
  const std::string name(setting, colon - setting);
  const long after = atol(colon + 1);
  char link[64], path[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd(dir));
  const ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return false;
  path[n] = '\0';
  const char* slash = strrchr(path, '/');
  if (name != (slash != nullptr ? slash + 1 : path)) return false;
  std::lock_guard<std::mutex> lock(streams_mutex);
  return streams[dir]++ >= after;
}

// Entries handed out so far from each directory descriptor that is to fail (listings read
// with getdents64 directly), forgotten when the descriptor is closed.
std::unordered_map<int, long> descriptors;

// For a descriptor of the directory that NERLO_FAULT_READDIR names: the entries after which
// reading it fails; -1 for any other.
long FailAfter(int fd) {
  const char* setting = getenv("NERLO_FAULT_READDIR");
  if (setting == nullptr) return -1;
  const char* colon = strrchr(setting, ':');
  if (colon == nullptr) return -1;
  const std::string name(setting, colon - setting);
  char link[64], path[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return -1;
  path[n] = '\0';
  const char* slash = strrchr(path, '/');
  if (name != (slash != nullptr ? slash + 1 : path)) return -1;
  return atol(colon + 1);
}

}  // namespace

extern "C" {

ssize_t getdents64(int fd, void* buffer, size_t size) {
  using GetDents64 = ssize_t (*)(int, void*, size_t);
  static const GetDents64 real = Next<GetDents64>("getdents64");
  const long after = FailAfter(fd);
  if (after < 0) return real(fd, buffer, size);
  std::lock_guard<std::mutex> lock(streams_mutex);
  long& done = descriptors[fd];
  if (done >= after) {
    errno = EIO;
    return -1;
  }
  const ssize_t got = real(fd, buffer, size);
  if (got <= 0) return got;
  // No more entries than are left before the failure.
  size_t kept = 0;
  while (kept < static_cast<size_t>(got) && done < after) {
    kept += reinterpret_cast<const struct dirent64*>(static_cast<char*>(buffer) + kept)->d_reclen;
    ++done;
  }
  return static_cast<ssize_t>(kept);
}

int close(int fd) {
  using Close = int (*)(int);
  static const Close real = Next<Close>("close");
  {
    std::lock_guard<std::mutex> lock(streams_mutex);
    descriptors.erase(fd);
  }
  return real(fd);
}

int renameat2(int old_dir, const char* old_name, int new_dir, const char* new_name,
              unsigned int flags) {
  using RenameAt2 = int (*)(int, const char*, int, const char*, unsigned int);
  static const RenameAt2 real = Next<RenameAt2>("renameat2");
  if ((flags & RENAME_NOREPLACE) != 0 && getenv("NERLO_FAULT_NO_NOREPLACE") != nullptr) {
    errno = EINVAL;
    return -1;
  }
  const bool took = SwapBefore(old_dir, old_name, new_name);
  const int result = real(old_dir, old_name, new_dir, new_name, flags);
  if (took) TakeNameAfter(old_dir, old_name);
  return result;
}

int renameat(int old_dir, const char* old_name, int new_dir, const char* new_name) {
  using RenameAt = int (*)(int, const char*, int, const char*);
  static const RenameAt real = Next<RenameAt>("renameat");
  const bool took = SwapBefore(old_dir, old_name, new_name);
  const int result = real(old_dir, old_name, new_dir, new_name);
  if (took) TakeNameAfter(old_dir, old_name);
  return result;
}

struct dirent* readdir(DIR* dir) {
  using ReadDir = struct dirent* (*)(DIR*);
  static const ReadDir real = Next<ReadDir>("readdir");
  if (ShouldFail(dir)) {
    errno = EIO;
    return nullptr;
  }
  return real(dir);
}

struct dirent64* readdir64(DIR* dir) {
  using ReadDir64 = struct dirent64* (*)(DIR*);
  static const ReadDir64 real = Next<ReadDir64>("readdir64");
  if (ShouldFail(dir)) {
    errno = EIO;
    return nullptr;
  }
  return real(dir);
}

int closedir(DIR* dir) {
  using CloseDir = int (*)(DIR*);
  static const CloseDir real = Next<CloseDir>("closedir");
  {
    std::lock_guard<std::mutex> lock(streams_mutex);
    streams.erase(dir);
  }
  return real(dir);
}

}  // extern "C"
