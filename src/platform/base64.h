// Base64 (the standard alphabet with "=" padding) for mail bodies, encoded words, SMTP
// authentication and HTTP Basic credentials.
#pragma once

#include <string>
#include <string_view>

namespace kestrune {

// One unbroken line of base64, padded with "=" to a multiple of four characters.
std::string Base64Encode(std::string_view bytes);

// Decodes base64 text leniently, as mail in the wild needs: characters outside the
// alphabet (line breaks, blanks, junk) are skipped, the first "=" ends the data, and bits
// of a dangling last character that make no whole byte are dropped.
std::string Base64Decode(std::string_view text);

}  // namespace kestrune
