// Changes the settings pages make to Users.Dat. Each runs under the file's lock on its
// current records and acts on the account the page showed: found again by its name and
// its mail store (a deleted account's store is moved aside and a new account of the same
// name gets another), so an account deleted or renamed meanwhile is never mistaken for
// another. An update sets only the fields the page changed, so a concurrent change of
// another field (by the console, another session, the command line) is kept.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "store/user_list.h"

namespace kestrune {

class TUserSession;

// The fields a page changed; the others are left as the file holds them.
struct AccountEdit {
  std::optional<std::string> UserName;
  std::optional<std::string> Password;
  std::optional<std::int32_t> PermissionLevel;
  std::optional<bool> AutoCheckEmails;
  std::optional<bool> EmailCheckOnLogin;
  std::optional<bool> AutoAddContacts;
  std::optional<bool> AddSignature;
  std::optional<bool> LeaveEmails;
  std::optional<std::string> EmailDisplayName;
  std::optional<std::string> EmailAddress;
  std::optional<std::string> PopServer;
  std::optional<std::int32_t> PopPort;
  std::optional<std::string> PopUserName;
  std::optional<std::string> PopPassword;

  // Sets slot when now differs from what the page was filled with.
  template <typename T, typename U>
  static void IfChanged(std::optional<T>& slot, const U& now, const U& before) {
    if (!(now == before)) slot = T(now);
  }
  void ApplyTo(TUserRecord& user) const;
};

enum class AccountChange {
  kDone,
  kGone,       // no account of that name with that mail store any more
  kNameTaken,  // a rename to a name another account has (by UserNameKey)
  kRefused,    // the "Admin" account cannot be deleted
  kFailed,     // Users.Dat could not be read or written
};

// Applies edit to the account named `name` whose mail store is user_dir; the result
// record in *updated. The mail store (UserDir) is never changed.
AccountChange UpdateAccount(TUserList& users, std::string_view name, std::string_view user_dir,
                            const AccountEdit& edit, TUserRecord* updated = nullptr);

// Deletes the account named `name` whose mail store is user_dir (never "Admin") and moves
// its mail store aside.
AccountChange DeleteAccount(TUserList& users, std::string_view name, std::string_view user_dir,
                            std::string_view users_directory);

// Whether the session's user is, by Users.Dat as it is now, still an administrator (a
// user demoted or deleted while logged in no longer acts as one).
bool ActsAsAdministrator(TUserSession& state);

// Whether the name is "Admin" in any ASCII letter case.
bool IsAdminName(std::string_view name);

}  // namespace kestrune
