#include <signal.h>

#include <vector>

#include "app/command_line.h"

int main(int argc, char** argv) {
  // A standard error whose reader has gone must not end the run: a write to it then fails
  // and the line is lost, instead of the process dying of SIGPIPE between two reports.
  signal(SIGPIPE, SIG_IGN);
  std::vector<WideString> args(argv, argv + (argc > 0 ? argc : 0));
  return RunFennick(args);
}
