// Helpers shared by the tests of the platform layer and the layers above it: a private
// temporary directory per test, the sorted names in a directory, permission bits, and
// a forked child whose exit status the parent checks.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::test {

class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "kestrune-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    // A test may have taken the directory's permissions away.
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline std::vector<std::string> DirectoryEntries(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline unsigned PermissionBits(const std::filesystem::path& path) {
  return static_cast<unsigned>(std::filesystem::status(path).permissions()) & 0777;
}

// Runs body in a forked child and returns its exit status (-1 when it died of a signal).
// body returns the child's exit status; exceptions end it with 99.
inline int RunInChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    int status = 99;
    try {
      status = body();
    } catch (...) {
    }
    ::_exit(status);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kestrune::test
