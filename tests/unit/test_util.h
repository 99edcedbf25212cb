// Helpers shared by the unit tests: real temporary directories and files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

namespace nerlo::testing {

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir() : TempDir(std::filesystem::temp_directory_path()) {}
  // A fresh directory under base.
  explicit TempDir(const std::filesystem::path& base) {
    std::random_device random;
    for (;;) {
      std::filesystem::path candidate = base / ("nerlo-test-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate)) {
        path_ = candidate.string();
        break;
      }
    }
  }
  ~TempDir() {
    std::error_code ec;
    // Make read-only folders writable again so that their contents can be removed.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory's path, without a trailing separator.
  const std::string& path() const { return path_; }
  // The path of name inside the directory.
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

// Writes bytes to path, replacing the file; creates missing parent folders.
inline void WriteFile(const std::string& path, std::string_view bytes) {
  std::filesystem::path p(path);
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace nerlo::testing
