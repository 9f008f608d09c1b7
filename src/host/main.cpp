// Program entry: the command line decides between the administrator commands and the
// server host.
#include <iostream>
#include <string>
#include <vector>

#include "host/command_line.h"
#include "platform/memory_tuning.h"

int main(int argc, char** argv) {
  kestrune::TuneMemoryAllocator();
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return kestrune::RunProgram(args, std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "kestrune: " << e.what() << std::endl;
    return 1;
  }
}
