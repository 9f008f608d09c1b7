#include "platform/memory_tuning.h"

#include <malloc.h>

#include <algorithm>
#include <thread>

namespace kestrune {

void TuneMemoryAllocator() {
#ifdef __GLIBC__
  // A fixed threshold: glibc would otherwise raise it to the size of every big buffer
  // freed, and after one 20 MB upload keep every later buffer below that size in the heap
  // for good.
  constexpr int kOwnPagesFrom = 4 * 1024 * 1024;
  ::mallopt(M_MMAP_THRESHOLD, kOwnPagesFrom);
  // Fixing that threshold also drops the trim threshold to glibc's 128 KiB, so a request
  // that freed a few hundred KiB (a page, a message index image) handed the heap's top
  // back and the next request faulted every page in again: half the time of opening a
  // message in a 10,000-message Inbox. Keep up to twice the threshold, as glibc's own
  // rule does.
  ::mallopt(M_TRIM_THRESHOLD, 2 * kOwnPagesFrom);
  // Page workers outnumber the processors many times; one arena per worker would make
  // each warm its own heap. Two per processor keep contention low.
  const unsigned processors = std::max(1U, std::thread::hardware_concurrency());
  ::mallopt(M_ARENA_MAX, static_cast<int>(2 * processors));
#endif
}

}  // namespace kestrune
