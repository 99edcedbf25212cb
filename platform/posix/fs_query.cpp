// Linux: symbolic links, the user's data folder, folders and new files for signature sets.
#include "platform/fs_query.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/posix/home.h"

namespace nerlo::platform {
namespace {

bool Fail(ErrorCode* error, ErrorCode code) {
  if (error != nullptr) *error = code;
  return false;
}

}  // namespace

namespace posix {

std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/')
    return found->pw_dir;
  return std::string();
}

}  // namespace posix

namespace {

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

bool EnvironmentValue(const char* name, std::string* value) {
  const char* found = std::getenv(name);
  if (found == nullptr) return false;
  *value = found;
  return true;
}

std::string UserDataDirectory() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') return WithoutTrailingSlashes(data);
  const std::string home = posix::HomeDirectory();
  if (home.empty()) return std::string();
  return JoinPath(WithoutTrailingSlashes(home), ".local/share");
}

bool ReadSymbolicLink(const std::string& path, std::string* target, ErrorCode* error) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return Fail(error, errno);
    if (static_cast<size_t>(n) < buffer.size()) {
      target->assign(buffer.data(), static_cast<size_t>(n));
      return true;
    }
    if (buffer.size() >= (size_t{1} << 16)) return Fail(error, ENAMETOOLONG);
    buffer.resize(buffer.size() * 2);
  }
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectory(const std::string& path, uint32_t mode, ErrorCode* error) {
  if (mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return true;
  const ErrorCode code = errno;
  if (code == EEXIST && IsDirectory(path)) return true;
  return Fail(error, code);
}

bool WriteNewFile(const std::string& path, std::string_view contents, uint32_t mode,
                  ErrorCode* error) {
  int fd;
  do {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
              static_cast<mode_t>(mode & 07777));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Fail(error, errno);
  auto fail = [&](ErrorCode code) {
    close(fd);
    unlink(path.c_str());
    return Fail(error, code);
  };
  // The umask may have taken bits away; a secret key file must end up with exactly mode.
  if (fchmod(fd, static_cast<mode_t>(mode & 07777)) != 0) return fail(errno);
  const char* data = contents.data();
  size_t left = contents.size();
  while (left > 0) {
    const ssize_t written = write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  if (fsync(fd) != 0) return fail(errno);
  if (close(fd) != 0 && errno != EINTR) {
    unlink(path.c_str());
    return Fail(error, errno);
  }
  return true;
}

bool RemoveFile(const std::string& path, ErrorCode* error) {
  if (unlink(path.c_str()) == 0) return true;
  return Fail(error, errno);
}

bool ReadFileHead(const std::string& path, size_t max_bytes, std::string* contents,
                  ErrorCode* error) {
  ErrorCode code = 0;
  File file = File::Open(path, LinkPolicy::kFollow, &code);
  if (!file.IsOpen()) return Fail(error, code);
  std::string text;
  const size_t limit = max_bytes + 1;
  size_t have = 0;
  while (have < limit) {
    // Grow in steps, so that a small file given a large limit costs a small buffer.
    if (text.size() == have) text.resize(std::min(limit, std::max<size_t>(4096, have * 2)));
    const int64_t got = file.Read(text.data() + have, text.size() - have, &code);
    if (got < 0) return Fail(error, code);
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  text.resize(have);
  *contents = std::move(text);
  return true;
}

bool PathMode(const std::string& path, uint32_t* mode, ErrorCode* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Fail(error, errno);
  *mode = static_cast<uint32_t>(st.st_mode & 07777);
  return true;
}

}  // namespace nerlo::platform
