// The desktop session's autostart entry that starts the console when the user logs in:
// $XDG_CONFIG_HOME/autostart/kestrune.desktop (XDG_CONFIG_HOME defaults to ~/.config).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kestrune {

// $XDG_CONFIG_HOME/autostart/kestrune.desktop, or $HOME/.config/autostart/...; empty
// when neither variable is set.
std::filesystem::path DefaultAutostartEntryPath();

class AutostartEntry {
 public:
  explicit AutostartEntry(std::filesystem::path file) : file_(std::move(file)) {}

  const std::filesystem::path& Path() const { return file_; }
  bool Exists() const;

  // The entry's contents: it runs program, with "--home" and home when home is given
  // (so a program directory other than the executable's is kept across log-ins).
  // Arguments are quoted as desktop entries require. Throws std::invalid_argument
  // for a path with a control character, which no desktop entry can hold.
  static std::string Contents(const std::filesystem::path& program,
                              const std::optional<std::filesystem::path>& home);

  // Creates the autostart directory when missing and replaces the entry atomically.
  // Throws std::system_error (or std::invalid_argument, see Contents) on failure.
  void Write(const std::filesystem::path& program,
             const std::optional<std::filesystem::path>& home);

  // Removes the entry when it exists; throws std::system_error when that fails.
  void Remove();

 private:
  std::filesystem::path file_;
};

}  // namespace kestrune
