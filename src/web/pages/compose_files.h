// What the compose page adds to writing beyond its own fields: the message's files on the
// page itself (several chosen or dropped at once, each listed with its size and a remove
// button) and the user's contacts offered as recipients while typing.
#pragma once

#include <string>
#include <vector>

#include "web/toolkit/controls_text.h"
#include "web/toolkit/grid.h"

namespace kestrune {

class TIWApplication;
class TUserSession;
struct ComposeState;

// Lists the composition's files in `list` (name, size, remove) and their stored names,
// row by row, in `shown`.
void FillComposeFileList(const TUserSession& state, TIWGrid& list, std::vector<std::string>& shown);

// Attaches every file the post carried in `field`, each under the attachments page's
// limits; the files that are refused are named to the user, the others stay attached.
void AttachPostedFiles(TIWApplication& session, TUserSession& state, const TIWFile& field);

// A <datalist> with the user's active contacts as recipients ("Name <address>"), for the
// recipient boxes' completion; empty when there is no contact.
std::string ContactsDatalist(TUserSession& state);

// The id the recipient boxes name in their "list" attribute.
inline constexpr const char* kContactsDatalistId = "kst-contacts";

}  // namespace kestrune
