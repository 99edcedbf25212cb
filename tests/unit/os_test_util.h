// Operating-system helpers for the tests of the handle walk and of deletion: open descriptors,
// inotify watches, deep folder chains and running a check as an unprivileged user.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "platform/platform.h"

namespace nerlo::testing {

// The stamp of the file at path (not following a final link) as a scan takes it when it
// reads the file; an invalid one when path names nothing.
inline platform::FileStamp StampOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return {};
  platform::FileStamp stamp;
  stamp.identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), true};
  stamp.size = st.st_size;
  stamp.modified_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
  stamp.changed_ns = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
  return stamp;
}

// The names in dir, to see that nothing is left behind under a temporary name.
inline std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.insert(entry.path().filename());
  return names;
}

// Starts listing the folder at path as a scan reaches a root: opened once (links resolved as
// links says), then listed through its handle.
inline bool OpenListing(platform::DirectoryListing& listing, const std::string& path,
                        const std::string& mask, platform::ErrorCode* error = nullptr,
                        platform::LinkPolicy links = platform::LinkPolicy::kFollow) {
  platform::ErrorCode ignored = 0;
  if (error == nullptr) error = &ignored;
  const platform::DirectoryRef dir = platform::Directory::OpenRoot(path, links, error);
  if (dir == nullptr) {
    listing.Close();
    return false;
  }
  return listing.Open(*dir, mask, error);
}

// Descriptors open in this process right now.
inline int OpenDescriptorCount() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count - 1;  // the listing's own descriptor
}

// Counts the events of mask (IN_OPEN by default) on one folder and on every file in it.
class InotifyWatch {
 public:
  explicit InotifyWatch(const std::string& dir, uint32_t mask = IN_OPEN) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0) watch_ = inotify_add_watch(fd_, dir.c_str(), mask);
  }
  ~InotifyWatch() {
    if (fd_ >= 0) close(fd_);
  }
  InotifyWatch(const InotifyWatch&) = delete;
  InotifyWatch& operator=(const InotifyWatch&) = delete;

  bool ok() const { return fd_ >= 0 && watch_ >= 0; }

  // Events that arrived since the last call; with only_name, only those about the entry of
  // that name in the folder.
  int Drain(const std::string& only_name = "") {
    int events = 0;
    alignas(struct inotify_event) char buffer[8192];
    for (;;) {
      ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        auto* event = reinterpret_cast<struct inotify_event*>(buffer + at);
        if ((event->mask & IN_Q_OVERFLOW) != 0) {
          events += 1000000;  // lost events count as a failure, never as none
        } else if (only_name.empty() || (event->len > 0 && only_name == event->name)) {
          ++events;
        }
        at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      }
    }
    return events;
  }

 private:
  int fd_ = -1;
  int watch_ = -1;
};

// Makes depth nested folders named name below root, with a file leaf_name holding content in
// the deepest one, through descriptors (the paths may be longer than the system's limit).
inline bool MakeChain(const std::string& root, const std::string& name, int depth,
                      const std::string& leaf_name, const std::string& content) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  for (int i = 0; i < depth; ++i) {
    if (mkdirat(fd, name.c_str(), 0755) != 0 && errno != EEXIST) return close(fd), false;
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    if (next < 0) return false;
    fd = next;
  }
  int file = openat(fd, leaf_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  close(fd);
  if (file < 0) return false;
  const bool written =
      write(file, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  close(file);
  return written;
}

// Removes a chain that MakeChain made (whatever files its deepest folder holds), bottom up.
inline void RemoveChain(const std::string& root, const std::string& name) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  int depth = 0;
  for (;;) {
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) break;
    close(fd);
    fd = next;
    ++depth;
  }
  for (; depth > 0; --depth) {
    // Empty the deepest folder, then step up and remove it.
    std::filesystem::path self = "/proc/self/fd/" + std::to_string(fd);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(self, ec))
      unlinkat(fd, entry.path().filename().c_str(), 0);
    int up = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    if (up < 0) return;
    fd = up;
    unlinkat(fd, name.c_str(), AT_REMOVEDIR);
  }
  close(fd);
}

// Runs check in a forked child and returns what check returned: empty for success, else what
// failed. The parent's threads do not exist in the child: check must not wait for any of
// them. Limits the child sets (setrlimit) end with it.
inline std::string RunInChild(const std::function<std::string()>& check) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return "pipe failed";
  pid_t child = fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    close(pipe_fds[0]);
    const std::string result = check();
    if (!result.empty()) (void)!write(pipe_fds[1], result.data(), result.size());
    close(pipe_fds[1]);
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string result;
  char buffer[512];
  ssize_t n;
  while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) result.append(buffer, n);
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) result += " (child did not exit cleanly)";
  return result;
}

// Runs check as RunInChild does, in a child that has dropped every privilege to the user and
// group "nobody" (65534), or as it is when the tests already run unprivileged.
inline std::string RunAsNobody(const std::function<std::string()>& check) {
  return RunInChild([&check]() -> std::string {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                           setresuid(65534, 65534, 65534) != 0 || geteuid() != 65534))
      return "cannot drop privileges";
    return check();
  });
}

}  // namespace nerlo::testing
