// Placeholder until the folder pages land.
#include "web/pages/folder_pages.h"

namespace kestrune {

std::vector<TIWPageClass> FolderPageClasses() { return {}; }

}  // namespace kestrune
