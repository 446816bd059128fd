#include <vector>

#include "app/command_line.h"

int main(int argc, char** argv) {
  std::vector<WideString> args(argv, argv + (argc > 0 ? argc : 0));
  return RunFennick(args);
}
