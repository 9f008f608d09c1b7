// The self-registration settings' lists.
#include "settings/web_registration.h"

#include <algorithm>

#include "platform/ascii.h"
#include "settings/program_config.h"

namespace kestrune {
namespace {

bool Listed(std::string_view list, std::string_view name) {
  const std::vector<std::string> names = SettingNameList(list);
  return std::any_of(names.begin(), names.end(), [&](const std::string& listed) {
    return EqualsIgnoringAsciiCase(listed, name);
  });
}

}  // namespace

std::vector<std::string> SettingNameList(std::string_view text) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find_first_of(", \t", start), text.size());
    if (end > start) names.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

bool IsRegistrationAddressAllowed(const TProgramConfig& config, std::string_view address) {
  if (SettingNameList(config.WebRegDomains).empty()) return true;
  const std::size_t at = address.rfind('@');
  if (at == std::string_view::npos) return false;
  return Listed(config.WebRegDomains, address.substr(at + 1));
}

bool IsRegistrationTestHost(const TProgramConfig& config, std::string_view host) {
  return !host.empty() && Listed(config.WebRegTestHosts, host);
}

}  // namespace kestrune
