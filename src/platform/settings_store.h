// The settings store: a small hierarchical key/value store with the operations the
// server's settings code needs (open or create a key, test for a value, read and write
// string, integer, Boolean and binary values, delete a value). It is kept in one TOML
// file, kestrune.toml in the program directory: the key "Software/Kestrune/WebServer"
// is the table [Software.Kestrune.WebServer]. Integers and Booleans are TOML integers
// (Booleans 0 or 1), strings are TOML strings, binary values are arrays of byte values.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// Any failure of the store: an unreadable or damaged file, a value of the wrong type,
// a failed write. The settings code reports it with its numbered message.
class SettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class SettingsValueKind { kNone, kString, kInteger, kBinary, kOther };

// One accessor of the settings file. Reads come from the contents as last read or
// written by this object; every write (and every key it creates) takes an flock on
// "<file>.lock", re-reads the file, applies that one change and replaces the file
// atomically (temporary file, fsync, rename), so writers in other processes (the
// command line and a running server) never undo each other's values and a crash never
// leaves a half-written file. The file is created mode 0600: it holds passwords.
// Used by one thread at a time.
class SettingsStore {
 public:
  static constexpr const char* kFileName = "kestrune.toml";

  // Reads the file if it exists. Throws SettingsError when it cannot be read or parsed.
  explicit SettingsStore(std::filesystem::path file);
  ~SettingsStore();
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  const std::filesystem::path& Path() const { return file_; }

  // Opens key, a path of names separated by "/". While a key is open the path is
  // relative to it (so "Software" then "Kestrune" opens "Software/Kestrune"). With
  // create, missing keys are made (and written to the file). False when the key does
  // not exist (and create is off) or a name on the path is a value rather than a key.
  // Throws SettingsError when creating the key fails.
  bool OpenKey(std::string_view key, bool create);
  void CloseKey();
  bool HasCurrentKey() const { return !current_.empty(); }

  // The operations below work on the open key and throw SettingsError when none is.
  bool ValueExists(std::string_view name) const;
  SettingsValueKind GetDataType(std::string_view name) const;

  // Each throws SettingsError when the value is missing or of another type. An
  // integer is a 32-bit value: 2^31 to 2^32 - 1 read back as negative numbers, and a
  // number outside -2^31 .. 2^32 - 1 is of the wrong type. A Boolean is an integer,
  // true when not 0.
  std::string ReadString(std::string_view name) const;
  std::int32_t ReadInteger(std::string_view name) const;
  bool ReadBool(std::string_view name) const;
  std::vector<std::uint8_t> ReadBinary(std::string_view name) const;

  // Each replaces the value whatever its type was. WriteString refuses text that is
  // not UTF-8 or holds a zero byte (SettingsError).
  void WriteString(std::string_view name, std::string_view value);
  void WriteInteger(std::string_view name, std::int32_t value);
  void WriteBool(std::string_view name, bool value);
  void WriteBinary(std::string_view name, const std::vector<std::uint8_t>& value);

  // True when the value existed and was removed.
  bool DeleteValue(std::string_view name);

 private:
  struct Document;

  // The names of a path (empty names are ignored).
  static std::vector<std::string> SplitKey(std::string_view key);
  // Runs change on the file's current contents under the lock and saves the result.
  void Modify(const std::function<void(Document&)>& change);

  std::filesystem::path file_;
  std::unique_ptr<Document> document_;
  std::vector<std::string> current_;  // the open key, empty when none
};

}  // namespace kestrune
