// The five mail folder pages: TIWInbox, TIWOutbox, TIWSent, TIWSaved, TIWDeleted.
#pragma once

#include <vector>

#include "web/toolkit/page_class.h"

namespace kestrune {

// The classes of the five folder pages, registered with the session's pages.
std::vector<TIWPageClass> FolderPageClasses();

}  // namespace kestrune
