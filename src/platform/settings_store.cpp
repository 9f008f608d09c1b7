// The settings store on top of toml++. Every change is made under the file's lock on
// the file's current contents, then written to a temporary file that is fsync'ed and
// renamed over the old one.
#include "platform/settings_store.h"

#include <toml++/toml.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <sstream>
#include <system_error>

#include "platform/atomic_file.h"
#include "platform/file_lock.h"
#include "platform/read_file.h"
#include "platform/text_encoding.h"

namespace kestrune {

struct SettingsStore::Document {
  toml::table root;
};

namespace {

constexpr std::size_t kMaxSettingsFileBytes = 1 << 20;

// The file's lock; its failures are settings errors like every other of this store.
FileLock LockSettingsFile(const std::filesystem::path& file) {
  try {
    return FileLock(file);
  } catch (const std::system_error& e) {
    throw SettingsError(e.what());
  }
}

toml::table ParseFile(const std::filesystem::path& file) {
  std::optional<std::string> content;
  try {
    content = ReadFileIfExists(file, kMaxSettingsFileBytes);
  } catch (const FileTooLargeError&) {
    throw SettingsError(file.string() + " is too large");
  } catch (const std::system_error& e) {
    throw SettingsError(e.what());
  }
  if (!content) return {};
  const std::string& text = *content;
  // Every save writes at least the keys; an existing file without a single one was cut
  // short (a full disk, a copy that failed), and reading it as a first start would
  // write the defaults over the real settings.
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
    throw SettingsError(file.string() + " is empty");
  }
  try {
    return toml::parse(text, file.string());
  } catch (const toml::parse_error& e) {
    const auto& where = e.source().begin;
    throw SettingsError(file.string() + ":" + std::to_string(where.line) + ":" +
                        std::to_string(where.column) + ": " + std::string(e.description()));
  }
}

// The table at path, nullptr when a name on it is missing or is not a table.
const toml::table* FindTable(const toml::table& root, const std::vector<std::string>& path) {
  const toml::table* table = &root;
  for (const std::string& name : path) {
    const toml::node* node = table->get(name);
    if (node == nullptr || !node->is_table()) return nullptr;
    table = node->as_table();
  }
  return table;
}

// The table at path, creating missing tables; SettingsError when a name is a value.
toml::table& MakeTable(toml::table& root, const std::vector<std::string>& path) {
  toml::table* table = &root;
  for (const std::string& name : path) {
    toml::node* node = table->get(name);
    if (node == nullptr) {
      node = &table->insert_or_assign(name, toml::table{}).first->second;
    }
    if (!node->is_table()) throw SettingsError("\"" + name + "\" is a value, not a key");
    table = node->as_table();
  }
  return *table;
}

bool IsByteArray(const toml::array& array) {
  for (const toml::node& element : array) {
    const auto* integer = element.as_integer();
    if (integer == nullptr || integer->get() < 0 || integer->get() > 255) return false;
  }
  return true;
}

std::string QuotedName(std::string_view name) { return "\"" + std::string(name) + "\""; }

}  // namespace

SettingsStore::SettingsStore(std::filesystem::path file)
    : file_(std::move(file)), document_(std::make_unique<Document>()) {
  document_->root = ParseFile(file_);
}

SettingsStore::~SettingsStore() = default;

std::vector<std::string> SettingsStore::SplitKey(std::string_view key) {
  std::vector<std::string> names;
  while (!key.empty()) {
    std::size_t slash = key.find('/');
    std::string_view name = key.substr(0, slash);
    if (!name.empty()) names.emplace_back(name);
    if (slash == std::string_view::npos) break;
    key.remove_prefix(slash + 1);
  }
  return names;
}

void SettingsStore::Modify(const std::function<void(Document&)>& change) {
  const FileLock lock = LockSettingsFile(file_);
  auto fresh = std::make_unique<Document>();
  fresh->root = ParseFile(file_);
  change(*fresh);
  std::ostringstream text;
  text << fresh->root << '\n';
  try {
    ReplaceFileAtomically(file_, text.str(), 0600);
  } catch (const std::system_error& e) {
    throw SettingsError(e.what());
  }
  document_ = std::move(fresh);
}

bool SettingsStore::OpenKey(std::string_view key, bool create) {
  std::vector<std::string> path = current_;
  for (std::string& name : SplitKey(key)) path.push_back(std::move(name));
  if (path.empty()) return false;
  if (FindTable(document_->root, path) == nullptr) {
    if (!create) return false;
    // A name on the path that is a value can never become a key.
    const toml::table* table = &document_->root;
    for (const std::string& name : path) {
      const toml::node* node = table->get(name);
      if (node == nullptr) break;
      if (!node->is_table()) return false;
      table = node->as_table();
    }
    Modify([&](Document& document) { MakeTable(document.root, path); });
  }
  current_ = std::move(path);
  return true;
}

void SettingsStore::CloseKey() { current_.clear(); }

namespace {

const toml::node* FindValue(const toml::table& root, const std::vector<std::string>& key,
                            std::string_view name) {
  if (key.empty()) throw SettingsError("no key is open");
  const toml::table* table = FindTable(root, key);
  if (table == nullptr) return nullptr;
  const toml::node* node = table->get(name);
  if (node == nullptr || node->is_table()) return nullptr;  // a table is a key, not a value
  return node;
}

}  // namespace

bool SettingsStore::ValueExists(std::string_view name) const {
  return FindValue(document_->root, current_, name) != nullptr;
}

SettingsValueKind SettingsStore::GetDataType(std::string_view name) const {
  const toml::node* node = FindValue(document_->root, current_, name);
  if (node == nullptr) return SettingsValueKind::kNone;
  if (node->is_string()) return SettingsValueKind::kString;
  if (node->is_integer()) return SettingsValueKind::kInteger;
  if (node->is_array() && IsByteArray(*node->as_array())) return SettingsValueKind::kBinary;
  return SettingsValueKind::kOther;
}

std::string SettingsStore::ReadString(std::string_view name) const {
  const toml::node* node = FindValue(document_->root, current_, name);
  if (node == nullptr) throw SettingsError("value " + QuotedName(name) + " does not exist");
  if (!node->is_string()) throw SettingsError("value " + QuotedName(name) + " is not a string");
  return node->as_string()->get();
}

std::int32_t SettingsStore::ReadInteger(std::string_view name) const {
  const toml::node* node = FindValue(document_->root, current_, name);
  if (node == nullptr) throw SettingsError("value " + QuotedName(name) + " does not exist");
  const auto* integer = node->as_integer();
  constexpr std::int64_t kLowest = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kHighest = std::numeric_limits<std::uint32_t>::max();
  if (integer == nullptr || integer->get() < kLowest || integer->get() > kHighest) {
    throw SettingsError("value " + QuotedName(name) + " is not a 32-bit integer");
  }
  // The stored number is the 32-bit pattern: 4294967295 and -1 are the same value.
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(integer->get()));
}

bool SettingsStore::ReadBool(std::string_view name) const { return ReadInteger(name) != 0; }

std::vector<std::uint8_t> SettingsStore::ReadBinary(std::string_view name) const {
  const toml::node* node = FindValue(document_->root, current_, name);
  if (node == nullptr) throw SettingsError("value " + QuotedName(name) + " does not exist");
  const toml::array* array = node->as_array();
  if (array == nullptr || !IsByteArray(*array)) {
    throw SettingsError("value " + QuotedName(name) + " is not binary");
  }
  std::vector<std::uint8_t> bytes;
  bytes.reserve(array->size());
  for (const toml::node& element : *array) {
    bytes.push_back(static_cast<std::uint8_t>(element.as_integer()->get()));
  }
  return bytes;
}

void SettingsStore::WriteString(std::string_view name, std::string_view value) {
  if (!IsValidUtf8(value) || value.find('\0') != std::string_view::npos) {
    throw SettingsError("value " + QuotedName(name) + " is not text");
  }
  if (current_.empty()) throw SettingsError("no key is open");
  Modify([&](Document& document) {
    MakeTable(document.root, current_).insert_or_assign(name, std::string(value));
  });
}

void SettingsStore::WriteInteger(std::string_view name, std::int32_t value) {
  if (current_.empty()) throw SettingsError("no key is open");
  Modify([&](Document& document) {
    MakeTable(document.root, current_).insert_or_assign(name, static_cast<std::int64_t>(value));
  });
}

void SettingsStore::WriteBool(std::string_view name, bool value) {
  WriteInteger(name, value ? 1 : 0);
}

void SettingsStore::WriteBinary(std::string_view name, const std::vector<std::uint8_t>& value) {
  if (current_.empty()) throw SettingsError("no key is open");
  toml::array array;
  for (std::uint8_t byte : value) array.push_back(static_cast<std::int64_t>(byte));
  Modify([&](Document& document) {
    MakeTable(document.root, current_).insert_or_assign(name, array);
  });
}

bool SettingsStore::DeleteValue(std::string_view name) {
  if (!ValueExists(name)) return false;
  bool deleted = false;
  Modify([&](Document& document) {
    toml::table& table = MakeTable(document.root, current_);
    const toml::node* node = table.get(name);
    if (node != nullptr && !node->is_table()) deleted = table.erase(name) > 0;
  });
  return deleted;
}

}  // namespace kestrune
