// Rules for the names of new accounts and the key under which two names count as the
// same account. Login look-ups keep comparing names ASCII case-insensitively; these rules
// keep a new account from looking like an existing one ("Admin " or "Admın" next to
// "Admin") and keep such look-alikes from being greeted as the name they imitate.
#pragma once

#include <string>
#include <string_view>

namespace kestrune {

// The key of a user name: Unicode case folding for the Latin (Basic Latin, Latin-1,
// Latin Extended-A), Greek, Cyrillic and Armenian letters and the fullwidth Latin forms,
// followed by a look-alike step: fullwidth letters and digits as ASCII, dotted capital
// and dotless small i as "i", long s as "s", the Cyrillic and Greek letters drawn like
// Latin ones (а е о р с у х і ј ѕ ԁ ԛ ԝ, α ο ρ ν ι κ τ υ χ ...) as those Latin letters,
// combining marks (U+0300-U+036F) dropped. Two names with the same key are the same
// account for a new registration. Bytes that are not UTF-8 are kept as they are.
std::string UserNameKey(std::string_view name);

// Why a name cannot be given to a new account.
enum class NewUserNameProblem {
  kNone,
  kNotADirectoryName,  // empty, "." / "..", "/", "\", ":", control characters, too long
  kEdgeBlank,          // a leading or trailing space
  kInvisible,          // a blank other than the ASCII space, or an invisible character
  kReserved,           // its key is that of "Admin"
};

// Checks name as a new account's name. allow_admin lets the plain ASCII spellings of
// "Admin" through (for the operator's own tools; the key still must be free).
NewUserNameProblem CheckNewUserName(std::string_view name, bool allow_admin = false);

// The name a page greets the user with: ProperCase of the stored name, or, for a name
// that a new account could no longer have (blanks at its ends, invisible characters, a
// look-alike of "Admin"), that name with every such character and every non-ASCII
// character shown as "<U+XXXX>", so it cannot pass for another.
std::string GreetingName(std::string_view stored_name);

}  // namespace kestrune
