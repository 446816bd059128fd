#ifndef FENNICK_TESTS_SUPPORT_CHILD_PROCESS_H_
#define FENNICK_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct ProcessOutput {
  int exit_code = -1;  // -1 when the process did not exit normally
  std::string standard_output;
  std::string standard_error;
};

// Variables set (or, with no value, removed) on top of this process's environment.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

// Runs `program` with `args` (argv[0] excluded) to completion, capturing both streams. The
// child is killed after two minutes, so a hang fails the test instead of stalling it.
ProcessOutput RunProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const EnvironmentChanges& environment = {});

// A long-running child (such as an ingest server) stopped with SIGTERM on destruction.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::filesystem::path& program, const std::vector<std::string>& args);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // Sends SIGTERM and waits; returns the exit code (-1 when killed by a signal).
  int Stop();
  // The child's standard error so far.
  std::string StandardError() const;

 private:
  pid_t pid_ = -1;
  std::FILE* error_file_ = nullptr;
};

// Waits until a TCP connection to 127.0.0.1:`port` succeeds; false after `seconds`.
bool WaitForPort(int port, int seconds = 10);

#endif  // FENNICK_TESTS_SUPPORT_CHILD_PROCESS_H_
