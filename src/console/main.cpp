// kestrune-console: the server inside the desktop console window.
#include <malloc.h>

#include <exception>
#include <iostream>

#include "console/console_program.h"

int main(int argc, char** argv) {
  // As in kestrune: big buffers go back to the system when freed.
  ::mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
  try {
    return kestrune::RunConsole(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "kestrune-console: " << e.what() << std::endl;
    return 1;
  }
}
