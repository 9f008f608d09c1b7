// kestrune_datcheck: a small bridge between the data-file classes and the Python format
// cross-check (datfiles.py). It dumps the records of a data file as TAB-separated lines
// and creates records from such lines, so that the script can check both directions
// against its own reading and writing of the documented layout.
//
//   kestrune_datcheck users-dump DIR   "count N", then one line per record
//   kestrune_datcheck users-add DIR    adds one user per stdin line, then saves
//
// Exit status 0 on success, 1 when the file could not be opened or saved, 2 for usage.
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "store/user_list.h"

namespace {

using kestrune::TUserList;
using kestrune::TUserRecord;

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  if (!line.empty() && line.back() == '\t') fields.emplace_back();
  return fields;
}

std::string Number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// The user record fields in layout order.
constexpr std::size_t kUserFieldCount = 17;

void PrintUser(const TUserRecord& u) {
  const std::vector<std::string> fields = {u.UserName,
                                           u.Password,
                                           std::to_string(u.Reserved),
                                           Number(u.Created),
                                           u.UserDir,
                                           std::to_string(int{u.AddSignature}),
                                           std::to_string(u.PermissionLevel),
                                           std::to_string(int{u.EmailCheckOnLogin}),
                                           std::to_string(int{u.AutoCheckEmails}),
                                           std::to_string(int{u.AutoAddContacts}),
                                           std::to_string(int{u.LeaveEmails}),
                                           u.EmailDisplayName,
                                           u.EmailAddress,
                                           u.PopServer,
                                           std::to_string(u.PopPort),
                                           u.PopUserName,
                                           u.PopPassword};
  for (std::size_t i = 0; i < fields.size(); ++i) std::cout << (i ? "\t" : "") << fields[i];
  std::cout << '\n';
}

TUserRecord ParseUser(const std::vector<std::string>& f) {
  TUserRecord u;
  u.UserName = f[0];
  u.Password = f[1];
  u.Reserved = std::stoi(f[2]);
  u.Created = std::stod(f[3]);
  u.UserDir = f[4];
  u.AddSignature = f[5] == "1";
  u.PermissionLevel = std::stoi(f[6]);
  u.EmailCheckOnLogin = f[7] == "1";
  u.AutoCheckEmails = f[8] == "1";
  u.AutoAddContacts = f[9] == "1";
  u.LeaveEmails = f[10] == "1";
  u.EmailDisplayName = f[11];
  u.EmailAddress = f[12];
  u.PopServer = f[13];
  u.PopPort = std::stoi(f[14]);
  u.PopUserName = f[15];
  u.PopPassword = f[16];
  return u;
}

int UsersDump(const std::string& directory) {
  TUserList list;
  if (!list.Open(directory)) return 1;
  std::cout << "count " << list.GetCount() << '\n';
  TUserRecord user;
  for (int i = 1; list.GetUser(i, user); ++i) PrintUser(user);
  return 0;
}

int UsersAdd(const std::string& directory) {
  TUserList list;
  if (!list.Open(directory)) return 1;
  std::string line;
  while (std::getline(std::cin, line)) {
    const auto fields = SplitTabs(line);
    if (fields.size() != kUserFieldCount) {
      std::cerr << "expected " << kUserFieldCount << " fields, got " << fields.size() << '\n';
      return 2;
    }
    TUserRecord user = ParseUser(fields);
    list.AddUser(user);
  }
  list.Save();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string, std::function<int(const std::string&)>> commands = {
      {"users-dump", UsersDump},
      {"users-add", UsersAdd},
  };
  if (argc != 3 || !commands.contains(argv[1])) {
    std::cerr << "usage: kestrune_datcheck users-dump|users-add DIR\n";
    return 2;
  }
  try {
    return commands.at(argv[1])(argv[2]);
  } catch (const std::exception& error) {
    std::cerr << error.what() << '\n';
    return 1;
  }
}
