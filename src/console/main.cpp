// Program entry: chooses the command line, the headless host or (later) the console.
#include <cstdio>

int main(int argc, char** argv) {
  std::puts("kestrune: nothing to serve yet");
  return 0;
}
