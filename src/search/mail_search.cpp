// Placeholder until the index lands: nothing is indexed and nothing is found.
#include "search/mail_search.h"

namespace kestrune {

bool IndexStoredMessage(const std::filesystem::path&, std::string_view) { return false; }

TextSearchResult SearchMailStore(const std::filesystem::path&, std::string_view, std::size_t) {
  return {{}, false, "the full-text index is not built yet"};
}

long RebuildMailStoreIndex(const std::filesystem::path&) { return -1; }

}  // namespace kestrune
