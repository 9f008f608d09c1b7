// Program directory and installation file lookup.
#include "platform/program_dir.h"

#include <cstdlib>
#include <system_error>

namespace kestrune {
namespace {

std::filesystem::path& ProgramDirectoryStorage() {
  static std::filesystem::path directory;
  return directory;
}

std::filesystem::path Normal(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) absolute = path;
  std::filesystem::path normal = absolute.lexically_normal();
  // "/srv/kestrune/" and "/srv/kestrune" are the same directory; keep the short form.
  if (normal.has_filename() || normal == normal.root_path()) return normal;
  return normal.parent_path();
}

}  // namespace

std::filesystem::path ExecutablePath() {
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : path;
}

std::filesystem::path ResolveProgramDirectory(const std::optional<std::filesystem::path>& home) {
  if (home && !home->empty()) return Normal(*home);
  if (const char* env = std::getenv("KESTRUNE_HOME"); env != nullptr && *env != '\0') {
    return Normal(env);
  }
  std::filesystem::path executable = ExecutablePath();
  if (executable.empty()) return Normal(std::filesystem::current_path());
  return Normal(executable.parent_path());
}

void SetProgramDirectory(const std::filesystem::path& directory) {
  ProgramDirectoryStorage() = directory;
}

const std::filesystem::path& ProgramDirectory() { return ProgramDirectoryStorage(); }

std::vector<std::filesystem::path> InstallationDirectories(
    const std::filesystem::path& program_directory) {
  std::vector<std::filesystem::path> candidates{program_directory};
  std::filesystem::path executable = ExecutablePath();
  if (!executable.empty()) {
    candidates.push_back(executable.parent_path().parent_path() / "share" / "kestrune");
  }
#ifdef KESTRUNE_SOURCE_RES
  candidates.emplace_back(KESTRUNE_SOURCE_RES);
#endif
  std::vector<std::filesystem::path> existing;
  for (const auto& candidate : candidates) {
    std::error_code error;
    if (std::filesystem::is_directory(candidate, error)) existing.push_back(candidate);
  }
  return existing;
}

std::optional<std::filesystem::path> FindInstallationFile(
    const std::filesystem::path& program_directory, std::string_view relative) {
  std::filesystem::path name = std::filesystem::path(relative).lexically_normal();
  if (name.empty() || name.is_absolute() || *name.begin() == "..") return std::nullopt;
  for (const auto& directory : InstallationDirectories(program_directory)) {
    std::error_code error;
    std::filesystem::path candidate = directory / name;
    if (std::filesystem::exists(candidate, error)) return candidate;
  }
  return std::nullopt;
}

}  // namespace kestrune
