// Linux: reading files and read-only mappings.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/handle_pool.h"
#include "platform/posix/retry.h"
#include "platform/posix/stat_util.h"

namespace nerlo::platform {

namespace {

// Opens path for reading and makes sure that it is a regular file. O_NONBLOCK keeps the open
// of a FIFO (or of a device swapped in after a listing) from waiting for a writer or a
// carrier; O_NOCTTY keeps a terminal from becoming ours. Returns the descriptor, or -1 with
// *error set: EISDIR for a directory, ENXIO for anything else that is not a regular file,
// ELOOP for a final symbolic link under kNoFollow.
int OpenRegular(const std::string& path, LinkPolicy links, struct stat* st, ErrorCode* error) {
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if (links == LinkPolicy::kNoFollow) flags |= O_NOFOLLOW;
  int fd;
  do {
    fd = posix::RetryOnInterrupt([&] { return open(path.c_str(), flags); });
  } while (fd < 0 && posix::ReleaseForRetry(errno));
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  if (fstat(fd, st) != 0) {
    *error = errno;
    close(fd);
    return -1;
  }
  if (!S_ISREG(st->st_mode)) {
    *error = S_ISDIR(st->st_mode) ? EISDIR : ENXIO;
    close(fd);
    return -1;
  }
  // Reads of a regular file never return EAGAIN, but the descriptor should not carry a mode
  // that the reader does not expect.
  int status = fcntl(fd, F_GETFL);
  if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    *error = errno;
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), stamp_(std::exchange(other.stamp_, FileStamp())) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    stamp_ = std::exchange(other.stamp_, FileStamp());
  }
  return *this;
}

File File::Open(const std::string& path, LinkPolicy links, ErrorCode* error) {
  ErrorCode ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  File file;
  struct stat st;
  int fd = OpenRegular(path, links, &st, error);
  if (fd < 0) return file;
  file.fd_ = fd;
  file.stamp_ = posix::StampOf(st);
  return file;
}

int64_t File::Read(void* buffer, size_t count, ErrorCode* error) {
  if (fd_ < 0) {
    if (error != nullptr) *error = EBADF;
    return -1;
  }
  const ssize_t n = posix::RetryOnInterrupt([&] { return read(fd_, buffer, count); });
  if (n >= 0) return static_cast<int64_t>(n);
  if (error != nullptr) *error = errno;
  return -1;
}

void File::Prefetch(int64_t bytes) const {
  if (fd_ < 0 || bytes <= 0) return;
  posix_fadvise(fd_, 0, static_cast<off_t>(bytes), POSIX_FADV_WILLNEED);
}

void File::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  stamp_ = FileStamp();
}

}  // namespace nerlo::platform
