// Shared by the Linux platform files: the process-wide pool of open directory handles, and a
// readable descriptor of a directory reached by handle.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/stat_util.h"

namespace nerlo::platform {

// The pool of open directory handles, shared by every Directory of the process. Open
// non-root directories form a list, most recently used first; roots stay open while they
// live and are not listed.
struct DirectoryAccess {
  struct Pool {
    std::mutex mutex;
    Directory* newest = nullptr;
    Directory* oldest = nullptr;
    int open_count = 0;
  };
  static Pool& pool() {
    static Pool* instance = new Pool();  // never destroyed: Directories may outlive statics
    return *instance;
  }

  static void Unlink(Directory& d) {
    Pool& p = pool();
    if (!d.listed_) return;
    (d.newer_ != nullptr ? d.newer_->older_ : p.newest) = d.older_;
    (d.older_ != nullptr ? d.older_->newer_ : p.oldest) = d.newer_;
    d.newer_ = d.older_ = nullptr;
    d.listed_ = false;
  }

  static void PushNewest(Directory& d) {
    Pool& p = pool();
    d.newer_ = nullptr;
    d.older_ = p.newest;
    if (p.newest != nullptr) p.newest->newer_ = &d;
    p.newest = &d;
    if (p.oldest == nullptr) p.oldest = &d;
    d.listed_ = true;
  }

  // Marks d as just used. Lock held.
  static void Touch(Directory& d) {
    if (!d.listed_ || pool().newest == &d) return;
    Unlink(d);
    PushNewest(d);
  }

  // Records a handle just opened for d, then closes the least recently used others beyond
  // the bound; keep (about to be used) is not closed. Lock held.
  static void Opened(Directory& d, int fd, const Directory* keep) {
    d.fd_ = fd;
    ++pool().open_count;
    if (d.parent_ != nullptr) PushNewest(d);
    Directory* victim = pool().oldest;
    while (pool().open_count > kMaxOpenDirectories && victim != nullptr) {
      Directory* newer = victim->newer_;
      if (victim != &d && victim != keep) CloseHandle(*victim);
      victim = newer;
    }
  }

  static void CloseHandle(Directory& d) {
    Unlink(d);
    if (d.fd_ >= 0) {
      close(d.fd_);
      --pool().open_count;
    }
    d.fd_ = -1;
  }

  // Opens name below the descriptor parent_fd as a directory handle, never following a
  // link, and takes its status. Returns the descriptor or -1 with *error set.
  static int OpenChildFd(int parent_fd, const std::string& name, struct stat* st,
                         ErrorCode* error) {
    int fd;
    do {
      fd = openat(parent_fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      *error = errno == ELOOP ? ENOTDIR : errno;
      return -1;
    }
    if (fstat(fd, st) != 0) {
      *error = errno;
      close(fd);
      return -1;
    }
    return fd;
  }

  // The descriptor of d, reopening it (and closed ancestors, nearest open one first) by
  // name when its handle was closed; each reopened directory must be the same one as
  // before. Returns -1 with *error set when that fails. Lock held; the descriptor stays
  // valid until the lock is released.
  static int Acquire(const Directory& cd, ErrorCode* error) {
    Directory& d = const_cast<Directory&>(cd);
    if (d.fd_ >= 0) {
      Touch(d);
      return d.fd_;
    }
    std::vector<Directory*> chain;  // closed directories, d first
    Directory* open = &d;
    while (open != nullptr && open->fd_ < 0) {
      chain.push_back(open);
      open = open->parent_.get();
    }
    if (open == nullptr) {  // a root that failed to open: cannot happen for a live object
      *error = kErrorReplaced;
      return -1;
    }
    Touch(*open);
    Directory* parent = open;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      Directory& child = **it;
      struct stat st;
      int fd = OpenChildFd(parent->fd_, child.name_, &st, error);
      if (fd < 0) {
        if (*error == ENOENT || *error == ENOTDIR) *error = kErrorReplaced;
        return -1;
      }
      if (posix::IdentityOf(st) != child.identity_) {
        close(fd);
        *error = kErrorReplaced;
        return -1;
      }
      Opened(child, fd, parent);
      parent = &child;
    }
    return d.fd_;
  }
};

}  // namespace nerlo::platform

namespace nerlo::platform::posix {

// Opens the directory behind dir for reading (to list it), reopening its handle first if it
// was closed. Returns the new descriptor, owned by the caller, or -1 with *error set.
int OpenDirectoryForListing(const Directory& dir, ErrorCode* error);

}  // namespace nerlo::platform::posix
