// Linux: a file named by a path, resolved to its folder handle and entry name.
#include "platform/posix/handle_pool.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/posix/stat_util.h"

namespace nerlo::platform {

bool ResolveFile(const std::string& path, DirectoryRef* dir, std::string* name, ErrorCode* error) {
  ErrorCode ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  struct stat st;
  const bool stat_ok = fstat(fd, &st) == 0;
  const int stat_error = errno;
  close(fd);
  if (!stat_ok) {
    *error = stat_error;
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
    return false;
  }
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) {
    *error = errno;
    return false;
  }
  std::string resolved(real);
  free(real);
  const size_t slash = resolved.rfind('/');
  if (slash == std::string::npos || slash + 1 >= resolved.size()) {
    *error = kErrorReplaced;
    return false;
  }
  std::string folder = slash == 0 ? "/" : resolved.substr(0, slash);
  std::string leaf = resolved.substr(slash + 1);
  DirectoryRef holder = Directory::OpenRoot(folder, LinkPolicy::kNoFollow, error);
  if (holder == nullptr) {
    if (IsVanished(*error)) *error = kErrorReplaced;
    return false;
  }
  // The name must still lead to the file first found: nothing was swapped while resolving.
  struct stat again;
  {
    std::lock_guard<std::mutex> lock(DirectoryAccess::pool().mutex);
    const int holder_fd = DirectoryAccess::Acquire(*holder, error);
    if (holder_fd < 0 || fstatat(holder_fd, leaf.c_str(), &again, AT_SYMLINK_NOFOLLOW) != 0 ||
        posix::IdentityOf(again) != posix::IdentityOf(st)) {
      *error = kErrorReplaced;
      return false;
    }
  }
  *dir = std::move(holder);
  *name = std::move(leaf);
  return true;
}

}  // namespace nerlo::platform
