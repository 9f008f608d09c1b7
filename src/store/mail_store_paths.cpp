// Checked paths of message files and mail stores.
#include "store/mail_store_paths.h"

#include <string>

namespace kestrune {

bool IsPlainStoreFileName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name.front() == '.') return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\') return false;
  }
  return true;
}

std::filesystem::path MessageFilePath(const std::filesystem::path& store,
                                      std::string_view file_name) {
  if (!IsPlainStoreFileName(file_name)) {
    throw UnsafeStorePathError("the message index names \"" + std::string(file_name) +
                               "\", which is not a file of the mail store");
  }
  return store / std::filesystem::path(std::string(file_name));
}

bool IsUserDirInside(std::string_view user_dir, std::string_view users_directory) {
  const std::filesystem::path store = std::filesystem::path(user_dir).lexically_normal();
  const std::filesystem::path users = std::filesystem::path(users_directory).lexically_normal();
  if (!store.is_absolute() || !users.is_absolute()) return false;
  const std::filesystem::path relative = store.lexically_relative(users);
  if (relative.empty() || relative == ".") return false;
  return *relative.begin() != ".." && *relative.begin() != ".";
}

}  // namespace kestrune
