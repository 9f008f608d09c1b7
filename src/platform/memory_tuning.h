// How the C library's allocator keeps memory for the programs' many worker threads.
#pragma once

namespace kestrune {

// Call once at the start of main, before any thread starts. Buffers of 4 MiB and more
// (uploads, attachments, a big message index) get pages of their own that go back to the
// system when freed; smaller ones are reused from the heap instead of being handed back
// and faulted in again at the next request.
void TuneMemoryAllocator();

}  // namespace kestrune
