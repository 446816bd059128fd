#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/child_process.h"

namespace {

constexpr unsigned kChildTimeoutSeconds = 120;
// A background child is stopped by its owner; should the test die first, this ends it.
constexpr unsigned kBackgroundTimeoutSeconds = 3600;

// Forks and execs `program`; the child's stdout and stderr go to the given descriptors
// (stdout stays when `out` is negative); it is killed after `timeout_seconds`.
pid_t Spawn(const std::filesystem::path& program, const std::vector<std::string>& args,
            const EnvironmentChanges& environment, int out, int err, unsigned timeout_seconds) {
  std::vector<std::string> storage = {program.string()};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (out >= 0) dup2(out, STDOUT_FILENO);
  dup2(err, STDERR_FILENO);
  ChangeEnvironment(environment);
  // An ignored signal stays ignored across exec, and the test server ignores SIGPIPE: the
  // child starts with the default a shell would give it.
  signal(SIGPIPE, SIG_DFL);
  alarm(timeout_seconds);  // survives exec: a hung child dies of SIGALRM
  execv(argv[0], argv.data());
  _exit(127);
}

int WaitForExit(pid_t pid) {
  // A failed fork leaves no child; waitpid(-1) would wait for any child at all.
  if (pid < 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int RunProcessWithStreams(const std::filesystem::path& program,
                          const std::vector<std::filesystem::path>& args,
                          const EnvironmentChanges& environment, FileHandle out, FileHandle err) {
  const std::vector<std::string> narrow_args(args.begin(), args.end());
  return WaitForExit(Spawn(program, narrow_args, environment, out, err, kChildTimeoutSeconds));
}

int RunProcessWithBrokenErrorPipe(const std::filesystem::path& program,
                                  const std::vector<std::filesystem::path>& args,
                                  const EnvironmentChanges& environment) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return -1;
  close(pipe_ends[0]);
  const CaptureFile out;
  const int exit_code =
      RunProcessWithStreams(program, args, environment, out.handle(), pipe_ends[1]);
  close(pipe_ends[1]);
  return exit_code;
}

BackgroundProcess::BackgroundProcess(const std::filesystem::path& program,
                                     const std::vector<std::string>& args) {
  pid_ = Spawn(program, args, {}, -1, error_.handle(), kBackgroundTimeoutSeconds);
}

BackgroundProcess::~BackgroundProcess() { Stop(); }

int BackgroundProcess::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int exit_code = WaitForExit(pid_);
  pid_ = -1;
  return exit_code;
}

std::string BackgroundProcess::StandardError() const { return error_.Text(); }

bool WaitForPort(int port, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  while (std::chrono::steady_clock::now() < deadline) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (connected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}
