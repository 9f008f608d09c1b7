// Moving a deleted account's mail store aside.
#include "store/account_removal.h"

#include "store/mail_store_paths.h"

namespace kestrune {

std::string DeletedStoreName(std::string_view name, std::time_t now) {
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32] = {};
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &local);
  return std::string(name) + ".deleted-" + stamp;
}

std::optional<std::filesystem::path> MoveDeletedStoreAside(std::string_view user_dir,
                                                           std::string_view users_directory,
                                                           std::time_t now) {
  // Only a store inside the users directory is the program's to move.
  if (!IsUserDirInside(user_dir, users_directory)) return std::nullopt;
  std::filesystem::path store = std::filesystem::path(user_dir).lexically_normal();
  if (!store.has_filename()) store = store.parent_path();
  std::error_code error;
  if (!std::filesystem::is_directory(std::filesystem::symlink_status(store, error))) {
    return std::nullopt;
  }
  const std::string base = DeletedStoreName(store.filename().string(), now);
  std::filesystem::path target = store.parent_path() / base;
  for (int n = 2; std::filesystem::exists(std::filesystem::symlink_status(target, error)); ++n) {
    target = store.parent_path() / (base + "-" + std::to_string(n));
  }
  std::filesystem::rename(store, target);
  return target;
}

}  // namespace kestrune
