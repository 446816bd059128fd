#include "worker_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "analysis_worker.h"
#include "server_log.h"

extern char** environ;

namespace fennick_ingest {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The analysis of a hostile dump can name thousands of modules, each with a long name; the
// reader keeps a few MiB of text, which JSON writes at most six times as long.
constexpr size_t kMaxAnswerBytes = size_t{64} << 20;

// The running executable, whatever became of its file since it started.
constexpr char kOwnExecutable[] = "/proc/self/exe";

// How a worker's process ended, in words.
std::string EndOf(int status, bool out_of_memory, int cpu_seconds) {
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  if (!WIFSIGNALED(status)) return "an unknown end";
  if (out_of_memory) {
    return "over " + std::to_string(kWorkerAddressSpaceBytes >> 20) + " MiB of memory";
  }
  if (WTERMSIG(status) == SIGXCPU) return "over " + std::to_string(cpu_seconds) + " s of CPU";
  return "signal " + std::to_string(WTERMSIG(status));
}

// Starts the worker process on `socket`'s other end, given to it as kWorkerSocket, with
// nothing else of the server's open and every signal as a new process has it.
pid_t Spawn(const fs::path& symbols, FileHandle socket) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, socket, kWorkerSocket);
  // Client connections among them: a worker holding one open would keep its client waiting.
  posix_spawn_file_actions_addclosefrom_np(&actions, kWorkerSocket + 1);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::string program = "fennick-ingest";
  std::string mode = "--analysis-worker";
  std::string option = "--symbols";
  std::string folder = symbols.string();
  char* argv[] = {program.data(), mode.data(), option.data(), folder.data(), nullptr};
  pid_t pid = -1;
  const int error = posix_spawn(&pid, kOwnExecutable, &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    LogLine(std::string("cannot start an analysis worker: ") + std::strerror(error));
    return -1;
  }
  return pid;
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

}  // namespace

std::optional<StoredSymbolFile> StoredSymbolFileAt(const fs::path& root, const fs::path& path) {
  const fs::path relative = path.lexically_relative(root);
  std::vector<std::string> parts;
  for (const fs::path& part : relative) parts.push_back(part.string());
  if (parts.size() != 3 || parts[0] == ".." || parts[0] == "." || parts[1] == "..") {
    return std::nullopt;
  }
  return StoredSymbolFile{parts[2], parts[1]};
}

WorkerProcess::WorkerProcess(fs::path symbols, FileHandle stop)
    : symbols_(std::move(symbols)), stop_(stop) {}

WorkerProcess::~WorkerProcess() {
  if (pid_ > 0) Kill();
}

bool WorkerProcess::Start() {
  int sockets[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) return false;
  ScopedFile ours(sockets[0]);
  // Above the number the worker gets it as, so that the copy made there is a new descriptor,
  // without this one's close-on-exec flag.
  const ScopedFile theirs(fcntl(sockets[1], F_DUPFD_CLOEXEC, kWorkerSocket + 1));
  close(sockets[1]);
  if (!theirs.is_valid()) return false;
  pid_ = Spawn(symbols_, theirs.get());
  if (pid_ < 0) return false;
  socket_ = std::move(ours);
  ready_ = false;
  return true;
}

int WorkerProcess::Kill() {
  // kill() of -1 would end every process of this user.
  if (pid_ <= 0) return 0;
  kill(pid_, SIGKILL);
  return Reap();
}

int WorkerProcess::Reap() {
  socket_.reset();
  const int status = WaitFor(pid_);
  pid_ = -1;
  return status;
}

WorkerOutcome WorkerProcess::Stopped(std::string reason, const fs::path& reading) const {
  WorkerOutcome outcome;
  outcome.kind = WorkerOutcome::Kind::kStopped;
  outcome.reading = reading.empty() ? std::nullopt : StoredSymbolFileAt(symbols_, reading);
  if (outcome.reading) {
    reason += " while reading " + outcome.reading->file_name + " " + outcome.reading->key;
  }
  outcome.reason = std::move(reason);
  return outcome;
}

WorkerOutcome WorkerProcess::Analyse(FileHandle dump, const JobSettings& settings,
                                     std::chrono::seconds deadline) {
  const std::string job = JobSettingsJson(settings);
  // A worker ended from outside while it waited for work is started again once.
  if (pid_ > 0 && !SendPacket(socket_.get(), WorkerMessage::kJob, job, dump)) Reap();
  if (pid_ < 0 && !(Start() && SendPacket(socket_.get(), WorkerMessage::kJob, job, dump))) {
    return {};
  }
  const Clock::time_point give_up = Clock::now() + deadline;
  PacketReader reader(kMaxAnswerBytes);
  fs::path reading;
  bool out_of_memory = false;
  for (;;) {
    pollfd waits[2] = {{socket_.get(), POLLIN, 0}, {stop_, POLLIN, 0}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(give_up - Clock::now());
    const int ready =
        poll(waits, 2, static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (waits[1].revents & POLLIN) != 0) {
      Kill();
      return {};
    }
    if (ready == 0) {
      Kill();
      return Stopped("no answer within " + std::to_string(deadline.count()) + " s", reading);
    }
    const PacketReader::Read read = reader.ReadFrom(socket_.get());
    while (std::optional<WorkerPacket> packet = reader.Next()) {
      if (packet->kind == WorkerMessage::kReady) {
        ready_ = true;
      } else if (packet->kind == WorkerMessage::kReading) {
        reading = packet->payload;
      } else if (packet->kind == WorkerMessage::kMemory) {
        out_of_memory = true;
      } else {
        nlohmann::ordered_json analysis =
            packet->kind == WorkerMessage::kResult
                ? nlohmann::ordered_json::parse(packet->payload, nullptr, false)
                : nlohmann::ordered_json();
        if (!analysis.is_object()) {
          Kill();
          return Stopped("it answered no analysis", reading);
        }
        WorkerOutcome outcome;
        outcome.kind = WorkerOutcome::Kind::kAnalysed;
        outcome.analysis = std::move(analysis);
        return outcome;
      }
    }
    if (read == PacketReader::Read::kTooLong) {
      Kill();
      return Stopped("its findings were over " + std::to_string(kMaxAnswerBytes >> 20) + " MiB",
                     reading);
    }
    if (read == PacketReader::Read::kEnd) {
      const bool started = ready_;
      const int status = Reap();
      // One that ended before it was ready could not start: no fault of this dump's.
      if (!started) {
        LogLine("an analysis worker ended as it started (" + EndOf(status, false, 0) + ")");
        return {};
      }
      return Stopped(EndOf(status, out_of_memory, settings.cpu_seconds), reading);
    }
  }
}

}  // namespace fennick_ingest
