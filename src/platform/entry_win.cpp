#include <vector>

#include "app/command_line.h"

// The wide entry point (linked with -municode): arguments arrive as UTF-16, whatever the
// console's code page.
int wmain(int argc, wchar_t** argv) {
  std::vector<WideString> args(argv, argv + (argc > 0 ? argc : 0));
  return RunFennick(args);
}
