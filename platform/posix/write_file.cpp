// Atomic replacement of a file: write a temporary beside it, flush it, rename it over the path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <random>
#include <string>

#include "platform/platform.h"
#include "platform/posix/retry.h"

namespace nerlo::platform {
namespace {

void SetError(ErrorCode* error, ErrorCode code) {
  if (error != nullptr) *error = code;
}

// A name that no other writer of the same target picks at the same time: random bits from
// the process's generator plus a counter that differs for every call in this process.
std::string TemporarySuffix() {
  static std::atomic<uint64_t> counter{0};
  static const uint64_t seed = [] {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
  }();
  uint64_t value = seed ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull) ^
                   (static_cast<uint64_t>(getpid()) << 16);
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

bool WriteAll(int fd, std::string_view contents, ErrorCode* error) {
  const char* data = contents.data();
  size_t left = contents.size();
  while (left > 0) {
    const ssize_t written = posix::RetryOnInterrupt([&] { return write(fd, data, left); });
    if (written < 0) {
      SetError(error, errno);
      return false;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view contents, ErrorCode* error) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty()) {
    SetError(error, EISDIR);
    return false;
  }

  // The temporary is created with O_EXCL under a fresh name, so it never replaces anything;
  // 0644 lets the umask decide as for any new file. It is hidden so that a crash between
  // creation and rename leaves no file that looks like a database.
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = (slash == std::string::npos ? std::string() : dir) + "." + base + ".tmp-" +
                TemporarySuffix();
    fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 && errno != EEXIST && errno != EINTR) {
      SetError(error, errno);
      return false;
    }
  }
  if (fd < 0) {
    SetError(error, EEXIST);
    return false;
  }

  auto fail = [&](ErrorCode code) {
    if (fd >= 0) close(fd);
    unlink(temporary.c_str());
    SetError(error, code);
    return false;
  };

  // A replaced file keeps its permission bits, so that rewriting a database never widens or
  // narrows who may read it.
  struct stat existing;
  if (stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
    if (fchmod(fd, existing.st_mode & 0777) != 0) return fail(errno);
  }

  ErrorCode code = 0;
  if (!WriteAll(fd, contents, &code)) return fail(code);
  if (fsync(fd) != 0) return fail(errno);
  const int closing = fd;
  fd = -1;
  if (close(closing) != 0 && errno != EINTR) return fail(errno);
  if (rename(temporary.c_str(), path.c_str()) != 0) return fail(errno);

  // Make the rename itself durable; a failure here no longer affects what path holds.
  int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
  return true;
}

}  // namespace nerlo::platform
