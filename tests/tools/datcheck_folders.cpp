// kestrune_datcheck_folders: the C++ side of the format cross-check of Emails.Dat and
// Contacts.Dat (datfiles_folders.py). It dumps the records of a mail store's index or
// address book as TAB-separated lines and creates records from such lines.
//
//   emails-dump DIR               "count N", then one line per index record
//   emails-add DIR                adds one index record per stdin line, then saves
//   emails-status DIR INDEX S     sets record INDEX's Status to S, then saves
//   contacts-dump DIR             "count N active A", then one line per record
//   contacts-add DIR              appends one contact per stdin line, then saves
//
// Exit status 0 on success, 1 when the file could not be opened or saved, 2 for usage.
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "store/contacts_db.h"
#include "store/email_db.h"

namespace {

using kestrune::TContactRecord;
using kestrune::TContactsDB;
using kestrune::TEmailRecord;
using kestrune::TUserEmailDB;
using Arguments = std::vector<std::string>;

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class OpenRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  if (!line.empty() && line.back() == '\t') fields.emplace_back();
  return fields;
}

void PrintFields(const std::vector<std::string>& fields) {
  for (std::size_t i = 0; i < fields.size(); ++i) std::cout << (i ? "\t" : "") << fields[i];
  std::cout << '\n';
}

// Each stdin line split into exactly count fields.
std::vector<std::vector<std::string>> InputLines(std::size_t count) {
  std::vector<std::vector<std::string>> lines;
  std::string line;
  while (std::getline(std::cin, line)) {
    lines.push_back(SplitTabs(line));
    if (lines.back().size() != count) {
      throw UsageError("expected " + std::to_string(count) + " fields, got " +
                       std::to_string(lines.back().size()));
    }
  }
  return lines;
}

template <typename Database>
void OpenOrFail(Database& db, const std::string& directory) {
  if (!db.Open(directory)) throw OpenRefused(directory + ": not a data file of this kind");
}

int EmailsDump(const Arguments& args) {
  TUserEmailDB db;
  OpenOrFail(db, args.at(0));
  std::cout << "count " << db.GetCount() << '\n';
  TEmailRecord e;
  for (int i = 1; db.GetEmail(i, e); ++i) {
    PrintFields({e.Subject, e.Sender, e.Recipient, e.DateText, std::to_string(int{e.HasAttachment}),
                 e.FileName, std::to_string(e.Status)});
  }
  return 0;
}

int EmailsAdd(const Arguments& args) {
  TUserEmailDB db;
  OpenOrFail(db, args.at(0));
  for (const auto& f : InputLines(7)) {
    TEmailRecord e;
    e.Subject = f[0];
    e.Sender = f[1];
    e.Recipient = f[2];
    e.DateText = f[3];
    e.HasAttachment = f[4] == "1";
    e.FileName = f[5];
    e.Status = std::stoi(f[6]);
    db.AddEmail(e);
  }
  db.Save(args.at(0));
  return 0;
}

int EmailsStatus(const Arguments& args) {
  if (args.size() != 3) throw UsageError("emails-status DIR INDEX STATUS");
  TUserEmailDB db;
  OpenOrFail(db, args[0]);
  TEmailRecord e;
  if (!db.GetEmail(std::stoi(args[1]), e)) return 1;
  e.Status = std::stoi(args[2]);
  db.SetEmail(std::stoi(args[1]), e);
  db.Save(args[0]);
  return 0;
}

int ContactsDump(const Arguments& args) {
  TContactsDB db;
  OpenOrFail(db, args.at(0));
  std::cout << "count " << db.GetCount() << " active " << db.CountActive() << '\n';
  TContactRecord c;
  for (int i = 1; i <= db.GetCount(); ++i) {
    db.GetContact(i, c);
    PrintFields(
        {c.ContactName, c.ContactEmail, std::to_string(c.UseCount), std::to_string(c.Active)});
  }
  return 0;
}

int ContactsAdd(const Arguments& args) {
  TContactsDB db;
  OpenOrFail(db, args.at(0));
  for (const auto& f : InputLines(4)) {
    TContactRecord c;
    c.ContactName = f[0];
    c.ContactEmail = f[1];
    c.UseCount = std::stoi(f[2]);
    c.Active = std::stoi(f[3]);
    db.AppendContact(c);
  }
  db.Save(args.at(0));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string, std::function<int(const Arguments&)>> commands = {
      {"emails-dump", EmailsDump},     {"emails-add", EmailsAdd},
      {"emails-status", EmailsStatus}, {"contacts-dump", ContactsDump},
      {"contacts-add", ContactsAdd},
  };
  if (argc < 3 || !commands.contains(argv[1])) {
    std::cerr << "usage: kestrune_datcheck_folders COMMAND DIR [ARGS]\n";
    return 2;
  }
  try {
    return commands.at(argv[1])(Arguments(argv + 2, argv + argc));
  } catch (const UsageError& error) {
    std::cerr << error.what() << '\n';
    return 2;
  } catch (const std::exception& error) {
    std::cerr << error.what() << '\n';
    return 1;
  }
}
