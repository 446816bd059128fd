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

struct ProcessOptions {
  // Variables set (or, with no value, removed) on top of this process's environment.
  std::map<std::string, std::optional<std::string>> environment;
  std::filesystem::path working_folder;  // empty: inherit
  int timeout_seconds = 120;             // the child is killed after this
};

// Runs `program` with `args` (argv[0] excluded) to completion, capturing both streams.
ProcessOutput RunProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

// A long-running child (such as an ingest server) stopped with SIGTERM on destruction.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::filesystem::path& program, const std::vector<std::string>& args);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // Sends SIGTERM and waits; returns the exit code (-1 when killed by a signal).
  int Stop();
  // The child's standard error so far (it is redirected to a file).
  std::string StandardError() const;

 private:
  pid_t pid_ = -1;
  std::filesystem::path error_file_;
};

// Waits until a TCP connection to 127.0.0.1:`port` succeeds; false after `seconds`.
bool WaitForPort(int port, int seconds = 10);

#endif  // FENNICK_TESTS_SUPPORT_CHILD_PROCESS_H_
