// What self-registration may do, from the WebMail settings WebRegDomains (the address
// domains a registered account may take: its From address, sent through the
// installation's SMTP login) and WebRegTestHosts (the POP3 hosts the registration page
// may test before log-in, so it cannot be used to probe other hosts and ports).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

struct TProgramConfig;

// The names of a list setting: separated by commas or blanks, empty ones dropped.
std::vector<std::string> SettingNameList(std::string_view text);

// Whether address (local@domain) may be a self-registered account's address: any when
// WebRegDomains is empty, else its domain equals one listed (ASCII letters in any case).
bool IsRegistrationAddressAllowed(const TProgramConfig& config, std::string_view address);

// Whether host is listed in WebRegTestHosts (ASCII letters in any case); never when the
// list is empty.
bool IsRegistrationTestHost(const TProgramConfig& config, std::string_view host);

}  // namespace kestrune
