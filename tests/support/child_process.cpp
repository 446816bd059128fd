#include "support/child_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "support/temp_folder.h"

namespace {

constexpr unsigned kChildTimeoutSeconds = 120;

// Forks and execs `program`; the child's stdout and stderr go to the given files.
pid_t Spawn(const std::filesystem::path& program, const std::vector<std::string>& args,
            const EnvironmentChanges& environment, std::FILE* out, std::FILE* err) {
  std::vector<std::string> storage = {program.string()};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (out != nullptr) dup2(fileno(out), STDOUT_FILENO);
  dup2(fileno(err), STDERR_FILENO);
  for (const auto& [name, value] : environment) {
    value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  }
  alarm(kChildTimeoutSeconds);  // survives exec: a hung child dies of SIGALRM
  execv(argv[0], argv.data());
  _exit(127);
}

int WaitForExit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ProcessOutput RunProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const EnvironmentChanges& environment) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ProcessOutput output;
  output.exit_code = WaitForExit(Spawn(program, args, environment, out, err));
  output.standard_output = ReadFromStart(out);
  output.standard_error = ReadFromStart(err);
  std::fclose(out);
  std::fclose(err);
  return output;
}

BackgroundProcess::BackgroundProcess(const std::filesystem::path& program,
                                     const std::vector<std::string>& args)
    : error_file_(std::tmpfile()) {
  pid_ = Spawn(program, args, {}, nullptr, error_file_);
}

BackgroundProcess::~BackgroundProcess() {
  Stop();
  std::fclose(error_file_);
}

int BackgroundProcess::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int exit_code = WaitForExit(pid_);
  pid_ = -1;
  return exit_code;
}

std::string BackgroundProcess::StandardError() const { return ReadFromStart(error_file_); }

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
