// The one way to turn what a record names into a path: a message file named by an index
// record must be a plain file name inside its mail store, and a user record's mail store
// must lie inside the users directory. Index and user files can come from outside (a
// damaged file, an import, an older installation), so a name such as "/etc/shadow" or
// "../other/x.eml" is refused here instead of being opened.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string_view>

namespace kestrune {

// A name in a record that does not name a file inside its mail store.
class UnsafeStorePathError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether name can name a file directly inside a mail store: 1 to 255 bytes, not
// starting with ".", without "/", "\" or control characters.
bool IsPlainStoreFileName(std::string_view name);

// store / file_name; UnsafeStorePathError when file_name is not a plain store file name.
std::filesystem::path MessageFilePath(const std::filesystem::path& store,
                                      std::string_view file_name);

// Whether user_dir (a user record's UserDir) names a directory strictly inside
// users_directory: both absolute, and user_dir after removing "." and ".." still below
// users_directory (compared lexically; the mail stores are the users directory's own
// subdirectories).
bool IsUserDirInside(std::string_view user_dir, std::string_view users_directory);

}  // namespace kestrune
