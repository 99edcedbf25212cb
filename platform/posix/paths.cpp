// Linux: error texts, paths, the single drive "/" and wildcard masks.
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace nerlo::platform {

namespace {

// strerror_r comes in two shapes; overloads pick whichever the C library declares.
// XSI: returns 0 or an error number and fills buffer.
[[maybe_unused]] const char* StrerrorResult(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
// GNU: returns the text, which may or may not live in buffer.
[[maybe_unused]] const char* StrerrorResult(const char* result, const char*) { return result; }

}  // namespace

std::string ErrorText(ErrorCode code) {
  char buffer[256] = {};
  const char* text = StrerrorResult(strerror_r(code, buffer, sizeof buffer), buffer);
  std::string result = text != nullptr ? text : "";
  while (!result.empty() && (result.back() == '.' || result.back() == '\n' ||
                             result.back() == '\r' || result.back() == ' '))
    result.pop_back();
  if (result.empty()) result = "Unknown error " + std::to_string(code);
  return result;
}

bool IsVanished(ErrorCode code) { return code == ENOENT || code == ENOTDIR; }

const char kPathSeparator = '/';

bool IsDirectoryPartEnd(char c) { return c == '/'; }

std::string ProgramDirectory() {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < buffer.size()) {
      std::string path(buffer.data(), static_cast<size_t>(n));
      size_t slash = path.rfind('/');
      if (slash == std::string::npos) return std::string();
      return path.substr(0, slash + 1);
    }
    // The link may have been cut off: try again with room to spare.
    if (buffer.size() >= (size_t{1} << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string result;
  result.reserve(dir.size() + 1 + name.size());
  result.append(dir);
  if (!dir.empty() && dir.back() != kPathSeparator) result.push_back(kPathSeparator);
  result.append(name);
  return result;
}

std::string DefaultDriveList() { return "/"; }

bool DriveReady(char drive) {
  if (drive != '/') return false;
  // The root is walkable when it can be listed; a process chrooted into an unreadable root
  // has nothing to walk.
  return access("/", R_OK | X_OK) == 0;
}

std::string DriveRoot(char drive) { return drive == '/' ? std::string("/") : std::string(); }

bool MatchesMask(std::string_view name, std::string_view mask) {
  if (mask == "*.*") return true;
  // Greedy matching that remembers only the last "*": on a mismatch the last star takes one
  // more byte and matching resumes there. This is O(name * mask) at worst, never exponential.
  size_t n = 0, m = 0;
  size_t star = std::string_view::npos, star_n = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      star = m++;
      star_n = n;
    } else if (m < mask.size() && (mask[m] == '?' || mask[m] == name[n])) {
      ++m;
      ++n;
    } else if (star != std::string_view::npos) {
      m = star + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

}  // namespace nerlo::platform
