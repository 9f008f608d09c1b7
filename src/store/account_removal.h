// What becomes of a deleted account's mail store: it is moved aside as
// "NAME.deleted-YYYYMMDDTHHMMSS" next to where it was, so its mail stays on disk for the
// administrator while a new account of the same name starts with an empty store.
#pragma once

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune {

// The name a store directory called name gets when moved aside at local time now.
std::string DeletedStoreName(std::string_view name, std::time_t now);

// Moves the store user_dir (a deleted record's UserDir) aside, when it lies inside
// users_directory and exists; a name already taken in the same second gets "-2", "-3"...
// Returns the new path; nullopt when there was nothing to move. Throws
// std::filesystem::filesystem_error when the rename fails.
std::optional<std::filesystem::path> MoveDeletedStoreAside(std::string_view user_dir,
                                                           std::string_view users_directory,
                                                           std::time_t now);

}  // namespace kestrune
