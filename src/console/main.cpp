// kestrune-console: the server inside the desktop console window.
#include <exception>
#include <iostream>

#include "console/console_program.h"
#include "platform/memory_tuning.h"

int main(int argc, char** argv) {
  kestrune::TuneMemoryAllocator();
  try {
    return kestrune::RunConsole(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "kestrune-console: " << e.what() << std::endl;
    return 1;
  }
}
