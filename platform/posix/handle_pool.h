// Shared by the Linux platform files: the process-wide pool of open directory handles, and a
// readable descriptor of a directory reached by handle.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/retry.h"
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
    int max_open = kMaxOpenDirectories;  // lowered by ShareDescriptors under a low limit
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
    while (pool().open_count > pool().max_open && victim != nullptr) {
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

  // Closes the least recently used half (at least one) of the open non-root handles, never
  // keep_a or keep_b (about to be used), so that a call that failed for want of descriptors
  // can be tried again. Returns false when there was none to close. Lock held.
  static bool ReleaseIdle(const Directory* keep_a, const Directory* keep_b) {
    int to_close = std::max(1, pool().open_count / 2);
    bool closed = false;
    Directory* victim = pool().oldest;
    while (to_close > 0 && victim != nullptr) {
      Directory* newer = victim->newer_;
      if (victim != keep_a && victim != keep_b) {
        CloseHandle(*victim);
        closed = true;
        --to_close;
      }
      victim = newer;
    }
    return closed;
  }

  // Runs open (returning a descriptor, or -1 with errno set) again after an interruption,
  // and after releasing idle handles (not keep_a, keep_b) while the process or the system
  // has no descriptor left. Lock held.
  template <typename OpenCall>
  static int OpenRetrying(OpenCall open, const Directory* keep_a, const Directory* keep_b) {
    for (;;) {
      const int fd = posix::RetryOnInterrupt(open);
      if (fd >= 0) return fd;
      if ((errno == EMFILE || errno == ENFILE) && ReleaseIdle(keep_a, keep_b)) continue;
      return -1;
    }
  }

  // Opens name below parent (whose descriptor is parent_fd) as a directory handle, never
  // following a link, and takes its status. Returns the descriptor or -1 with *error set.
  // Lock held.
  static int OpenChildFd(const Directory* parent, int parent_fd, const std::string& name,
                         struct stat* st, ErrorCode* error) {
    const int fd = OpenRetrying(
        [&] {
          return openat(parent_fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        },
        parent, nullptr);
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
      int fd = OpenChildFd(parent, parent->fd_, child.name_, &st, error);
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

// For calls made without the pool's lock: releases idle directory handles (as ReleaseIdle)
// when error says that no descriptor is left. Returns true when the call is worth trying
// again.
bool ReleaseForRetry(int error);

}  // namespace nerlo::platform::posix
