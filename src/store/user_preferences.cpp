// Reading and writing Preferences.toml. Only the keys below are read, each checked for its
// type and range; anything else in the file is ignored, and a file that is too large, not
// TOML or of the wrong types is not taken at all.
#include "store/user_preferences.h"

#include <toml++/toml.h>

#include <sstream>
#include <string_view>
#include <system_error>

#include "store/data_file.h"

namespace kestrune {
namespace {

constexpr std::string_view kFolders = "Folders";
constexpr std::string_view kNewestFirst = "NewestFirst";
constexpr std::string_view kPageSize = "PageSize";

std::filesystem::path PreferencesPath(const std::filesystem::path& store) {
  return store / kPreferencesFileName;
}

std::string Parse(std::string_view text, UserPreferences& out) {
  toml::table table;
  try {
    table = toml::parse(text);
  } catch (const toml::parse_error& error) {
    return "not a TOML file (" + std::string(error.description()) + ")";
  }
  UserPreferences read;
  const toml::node* folders = table.get(kFolders);
  if (folders == nullptr) {
    out = read;
    return {};
  }
  const toml::table* section = folders->as_table();
  if (section == nullptr) return "Folders is not a table";
  if (const toml::node* node = section->get(kNewestFirst)) {
    const auto value = node->value_exact<bool>();
    if (!value) return "NewestFirst is not true or false";
    read.NewestFirst = *value;
  }
  if (const toml::node* node = section->get(kPageSize)) {
    const auto value = node->value_exact<std::int64_t>();
    if (!value || *value < 1 || *value > kMaxPreferencesPageSize) {
      return "PageSize is not a whole number from 1 to " + std::to_string(kMaxPreferencesPageSize);
    }
    read.PageSize = static_cast<int>(*value);
  }
  out = read;
  return {};
}

std::vector<std::uint8_t> Image(const UserPreferences& preferences) {
  toml::table section;
  section.insert(kNewestFirst, preferences.NewestFirst);
  if (preferences.PageSize) section.insert(kPageSize, std::int64_t{*preferences.PageSize});
  toml::table table;
  table.insert(kFolders, std::move(section));
  std::ostringstream text;
  text << table << '\n';
  const std::string bytes = text.str();
  return {bytes.begin(), bytes.end()};
}

}  // namespace

LoadedPreferences LoadUserPreferences(const std::filesystem::path& store) {
  LoadedPreferences loaded;
  const std::filesystem::path file = PreferencesPath(store);
  std::error_code error;
  const auto status = std::filesystem::symlink_status(file, error);
  if (error || status.type() == std::filesystem::file_type::not_found) return loaded;
  if (status.type() != std::filesystem::file_type::regular) {
    loaded.problem = "not a regular file";
    return loaded;
  }
  const auto size = std::filesystem::file_size(file, error);
  if (error || size > kMaxPreferencesFileBytes) {
    loaded.problem = error ? error.message()
                           : "larger than " + std::to_string(kMaxPreferencesFileBytes) + " bytes";
    return loaded;
  }
  try {
    const auto bytes = DataFile(file).Read();
    if (!bytes) return loaded;
    const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    loaded.problem = Parse(text, loaded.preferences);
  } catch (const std::exception& e) {
    loaded.problem = e.what();
  }
  if (!loaded.problem.empty()) loaded.preferences = UserPreferences{};
  return loaded;
}

void SaveUserPreferences(const std::filesystem::path& store, const UserPreferences& preferences) {
  DataFile file(PreferencesPath(store));
  // The whole choice is the user's latest: what another session saved is replaced.
  file.Modify([&](const CurrentFile&) { return Image(preferences); });
}

}  // namespace kestrune
