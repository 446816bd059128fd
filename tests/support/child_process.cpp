#include "support/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

std::vector<char*> ArgumentVector(const std::filesystem::path& program,
                                  const std::vector<std::string>& args,
                                  std::vector<std::string>* storage) {
  storage->push_back(program.string());
  storage->insert(storage->end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : *storage) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return argv;
}

// Reads both pipes until they close or the deadline passes.
bool DrainPipes(int out_fd, int err_fd, ProcessOutput* output,
                std::chrono::steady_clock::time_point deadline) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&output->standard_output, &output->standard_error};
  int open_count = 2;
  while (open_count > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (poll(fds, 2, static_cast<int>(left.count())) < 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  return true;
}

}  // namespace

ProcessOutput RunProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  ProcessOutput output;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return output;
  std::vector<std::string> storage;
  std::vector<char*> argv = ArgumentVector(program, args, &storage);
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    close(out_pipe[0]);
    close(err_pipe[0]);
    for (const auto& [name, value] : options.environment) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    if (!options.working_folder.empty() && chdir(options.working_folder.c_str()) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  if (!DrainPipes(out_pipe[0], err_pipe[0], &output, deadline)) kill(pid, SIGKILL);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  output.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

BackgroundProcess::BackgroundProcess(const std::filesystem::path& program,
                                     const std::vector<std::string>& args) {
  char pattern[] = "/tmp/fennick-child-stderr-XXXXXX";
  int err_fd = mkstemp(pattern);
  error_file_ = pattern;
  std::vector<std::string> storage;
  std::vector<char*> argv = ArgumentVector(program, args, &storage);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(err_fd, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(err_fd);
}

BackgroundProcess::~BackgroundProcess() {
  Stop();
  std::error_code error;
  std::filesystem::remove(error_file_, error);
}

int BackgroundProcess::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string BackgroundProcess::StandardError() const {
  std::ifstream in(error_file_, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WaitForPort(int port, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (connected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}
