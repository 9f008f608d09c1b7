// The account boxes the registration page and the settings pages share: field styles,
// the checks of a user name, port, e-mail address and one-line field, the "same as
// login" box and the POP3 connection test.
#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "web/toolkit/controls_text.h"

namespace kestrune {

class TIWApplication;
class TUserSession;
struct PopTestOptions;

inline constexpr const char* kFormFieldStyle =
    "width:100%;height:21;z-index:100;font: 13px;text-align:left";

// Gives the control that "style" attribute when written.
void SetFieldStyle(TIWControl& control, const char* style);

// A whole number in 1..65535, or none.
std::optional<int> PortNumber(std::string_view text);

// A field a stored record and the mail servers can take: one line, at most 255 bytes.
bool UsableField(std::string_view text);

// local@domain with no blanks: enough to catch a name typed into the address field.
bool PlausibleEmailAddress(std::string_view text);

// Shows the HTML Dialog Strings message of key and puts the focus on a box.
using RefuseFunction = std::function<void(const char* key, const TIWBaseControl& focus)>;

// The boxes of an account's web login and POP3 mailbox on one page.
struct AccountBoxes {
  TIWEdit& user_name;
  TIWEdit& user_pass;
  TIWEdit& user_confirm;
  TIWCheckBox& same_user_pass;
  TIWEdit& server_address;
  TIWEdit& server_port;
  TIWEdit& server_user_name;
  TIWEdit& server_user_pass;
};

// The "same as login" box after its click (its new state): ticked copies the login name
// and password into the POP3 boxes when they are filled and match (else the first
// failing check's message, and the box is unticked again); unticked empties the POP3
// boxes that still equal the login boxes.
void SameUserPassChanged(const AccountBoxes& boxes, const RefuseFunction& refuse);

// Checks the POP3 boxes of a connection test in order (filled, port, one line each);
// the port when all pass, else none after the first failure's message. password: the
// password to test with (the box's, or the stored one on a page that never shows it).
std::optional<int> CheckConnectionBoxes(const AccountBoxes& boxes, std::string_view password,
                                        const RefuseFunction& refuse);

// Runs the connection test of checked boxes, at most once per kConnectionTestInterval
// from a client address. True when the server accepted the account; failures are shown
// to the user.
bool RunConnectionTest(TIWApplication& session, TUserSession& state, const AccountBoxes& boxes,
                       int port, std::string_view password, const PopTestOptions& options);

}  // namespace kestrune
