// Locked changes of Users.Dat made by the settings pages.
#include "web/pages/account_update.h"

#include <algorithm>
#include <filesystem>

#include "platform/ascii.h"
#include "store/user_names.h"
#include "web/app/session_controller.h"
#include "web/app/user_session.h"

namespace kestrune {
namespace {

bool SameStore(std::string_view a, std::string_view b) {
  return std::filesystem::path(a).lexically_normal() == std::filesystem::path(b).lexically_normal();
}

// The account of that name and store in users, or users.end().
std::vector<TUserRecord>::iterator Locate(std::vector<TUserRecord>& users, std::string_view name,
                                          std::string_view user_dir) {
  return std::find_if(users.begin(), users.end(), [&](const TUserRecord& user) {
    return EqualsIgnoringAsciiCase(user.UserName, name) && SameStore(user.UserDir, user_dir);
  });
}

template <typename T>
void Take(const std::optional<T>& value, T& field) {
  if (value) field = *value;
}

}  // namespace

void AccountEdit::ApplyTo(TUserRecord& user) const {
  Take(UserName, user.UserName);
  Take(Password, user.Password);
  Take(PermissionLevel, user.PermissionLevel);
  Take(AutoCheckEmails, user.AutoCheckEmails);
  Take(EmailCheckOnLogin, user.EmailCheckOnLogin);
  Take(AutoAddContacts, user.AutoAddContacts);
  Take(AddSignature, user.AddSignature);
  Take(LeaveEmails, user.LeaveEmails);
  Take(EmailDisplayName, user.EmailDisplayName);
  Take(EmailAddress, user.EmailAddress);
  Take(PopServer, user.PopServer);
  Take(PopPort, user.PopPort);
  Take(PopUserName, user.PopUserName);
  Take(PopPassword, user.PopPassword);
}

AccountChange UpdateAccount(TUserList& users, std::string_view name, std::string_view user_dir,
                            const AccountEdit& edit, TUserRecord* updated) {
  AccountChange result = AccountChange::kGone;
  try {
    users.EditUnderLock([&](std::vector<TUserRecord>& records) {
      const auto account = Locate(records, name, user_dir);
      if (account == records.end()) {
        result = AccountChange::kGone;
        return false;
      }
      if (edit.UserName && UserNameKey(*edit.UserName) != UserNameKey(account->UserName)) {
        const std::string key = UserNameKey(*edit.UserName);
        for (auto other = records.begin(); other != records.end(); ++other) {
          if (other != account && UserNameKey(other->UserName) == key) {
            result = AccountChange::kNameTaken;
            return false;
          }
        }
      }
      edit.ApplyTo(*account);
      if (updated != nullptr) *updated = *account;
      result = AccountChange::kDone;
      return true;
    });
  } catch (const std::exception&) {
    return AccountChange::kFailed;
  }
  return result;
}

AccountChange DeleteAccount(TUserList& users, std::string_view name, std::string_view user_dir,
                            std::string_view users_directory) {
  AccountChange result = AccountChange::kGone;
  try {
    users.EditUnderLock([&](std::vector<TUserRecord>& records) {
      const auto account = Locate(records, name, user_dir);
      if (account == records.end()) {
        result = AccountChange::kGone;
        return false;
      }
      if (IsAdminName(account->UserName)) {
        result = AccountChange::kRefused;
        return false;
      }
      records.erase(account);
      result = AccountChange::kDone;
      return true;
    });
  } catch (const std::exception&) {
    return AccountChange::kFailed;
  }
  if (result == AccountChange::kDone) MoveMailStoreAside(user_dir, users_directory);
  return result;
}

bool ActsAsAdministrator(TUserSession& state) {
  if (!state.LoggedIn) return false;
  TUserRecord current;
  if (!FindCurrentUser(state, state.User.UserName, current) ||
      !SameStore(current.UserDir, state.User.UserDir)) {
    return false;
  }
  state.User.PermissionLevel = current.PermissionLevel;
  return current.PermissionLevel == 0;
}

bool IsAdminName(std::string_view name) { return EqualsIgnoringAsciiCase(name, "Admin"); }

}  // namespace kestrune
