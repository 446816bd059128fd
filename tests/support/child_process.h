#ifndef FENNICK_TESTS_SUPPORT_CHILD_PROCESS_H_
#define FENNICK_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "support/capture_file.h"
#include "support/environment.h"

struct ProcessOutput {
  int exit_code = -1;  // -1 when the process did not exit normally
  std::string standard_output;
  std::string standard_error;
};

// Runs `program` with `args` (argv[0] excluded) to completion, capturing both streams. The
// child is killed after two minutes, so a hang fails the test instead of stalling it.
ProcessOutput RunProcess(const std::filesystem::path& program,
                         const std::vector<std::filesystem::path>& args,
                         const EnvironmentChanges& environment = {});

// Runs `program` with `args` to completion with the given standard output and error (the
// child is killed after two minutes); returns its exit code, or -1 when it did not exit
// normally.
int RunProcessWithStreams(const std::filesystem::path& program,
                          const std::vector<std::filesystem::path>& args,
                          const EnvironmentChanges& environment, FileHandle out, FileHandle err);

// Runs `program` like RunProcess, with its standard error on a pipe whose reader has
// already gone, and returns its exit code (-1 when it did not exit normally).
int RunProcessWithBrokenErrorPipe(const std::filesystem::path& program,
                                  const std::vector<std::filesystem::path>& args,
                                  const EnvironmentChanges& environment = {});

// POSIX only (the reference ingest server is a Linux tool): a long-running child stopped
// with SIGTERM on destruction.
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
  // The child's process id, or -1 once it has been stopped (or never started).
  int pid() const { return pid_; }

 private:
  int pid_ = -1;
  CaptureFile error_;
};

// POSIX only: waits until a TCP connection to 127.0.0.1:`port` succeeds; false after
// `seconds`, which only a server that never starts takes on however loaded a machine.
bool WaitForPort(int port, int seconds = 120);

#endif  // FENNICK_TESTS_SUPPORT_CHILD_PROCESS_H_
