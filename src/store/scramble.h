// Scrambling of the one stored secret, the SMTP password: Blowfish under a fixed key,
// applied to each whole 8-byte block of the text with the block's bytes taken as one
// little-endian 64-bit number (left half = its upper 32 bits). The last (length mod 8)
// bytes stay as they are, so the length never changes.
#pragma once

#include <string>
#include <string_view>

namespace kestrune {

// The fixed scrambling key of the SMTP password.
inline constexpr std::string_view kPasswordKey = "qrmbtlwepdsvnfkcyu";

// Both build the cipher state from key on every call and change text in place. The
// key must not be empty (std::invalid_argument); it may hold any bytes.
void EncryptString(std::string& text, std::string_view key);
void DecryptString(std::string& text, std::string_view key);

}  // namespace kestrune
