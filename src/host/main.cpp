// Program entry: the command line decides between the administrator commands and the
// server host.
#include <malloc.h>

#include <iostream>
#include <string>
#include <vector>

#include "host/command_line.h"

int main(int argc, char** argv) {
  // Buffers of 4 MiB and more (uploads, attachments, a big message index) get pages of
  // their own that go back to the system when freed. glibc would otherwise raise this
  // threshold to the size of every big buffer freed, and after one 20 MB upload keep
  // every later buffer below that size in the heap for good.
  ::mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return kestrune::RunProgram(args, std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "kestrune: " << e.what() << std::endl;
    return 1;
  }
}
