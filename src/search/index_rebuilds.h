// Rebuilds of a store's index started by a search that found no usable index. They run
// on a thread of their own, one per store at a time, so a web request waits for a
// small store's rebuild but never for a big one's: it is told to try again meanwhile.
#pragma once

#include <chrono>
#include <filesystem>

namespace kestrune {

// Starts a rebuild of store's index unless one runs already, and waits at most `wait`
// for it. True when it ended in that time (with a usable index or not).
bool RebuildInBackground(const std::filesystem::path& store, std::chrono::milliseconds wait);

}  // namespace kestrune
