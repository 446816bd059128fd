#include "analysis_worker.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <new>
#include <optional>

#include <nlohmann/json.hpp>

#include "crash_analysis.h"
#include "reading_watch.h"
#include "symbol_store.h"
#include "worker_channel.h"

namespace fennick_ingest {
namespace {

namespace fs = std::filesystem;

// Symbol files kept loaded between jobs, within the worker's address space.
constexpr size_t kSymbolCacheBytes = size_t{256} << 20;
// A job's settings: a few symbol file ids beside a number or two.
constexpr size_t kMaxJobBytes = size_t{16} << 20;

// Tells the server of each symbol file as it is read.
class ServerWatch final : public fennick_symbols::ReadingWatch {
 protected:
  void Changed(const fs::path& file) override {
    SendPacket(kWorkerSocket, WorkerMessage::kReading, file.native());
  }
};

// Says why the worker ends, with nothing allocated, then ends it.
[[noreturn]] void OnAllocationFailure() {
  static const char kMemoryMessage[] = {static_cast<char>(WorkerMessage::kMemory), 0, 0, 0, 0};
  send(kWorkerSocket, kMemoryMessage, sizeof kMemoryMessage, MSG_NOSIGNAL);
  std::abort();
}

// The address space the worker holds now. A sanitizer's shadow memory alone takes terabytes
// of it, so the limit counts from here.
uint64_t AddressSpaceInUse() {
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0;
  statm >> pages;
  return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// A crash leaves no core file behind: a damaged symbol file would fill the disk with them.
bool LimitProcess() {
  const rlimit no_core{0, 0};
  const uint64_t address_space = AddressSpaceInUse() + kWorkerAddressSpaceBytes;
  const rlimit memory{address_space, address_space};
  return setrlimit(RLIMIT_CORE, &no_core) == 0 && setrlimit(RLIMIT_AS, &memory) == 0;
}

// From now on the worker may take `seconds` more of CPU time; past that the kernel ends it
// with SIGXCPU.
bool LimitCpu(int seconds) {
  rusage usage{};
  rlimit limit{};
  if (getrusage(RUSAGE_SELF, &usage) != 0 || getrlimit(RLIMIT_CPU, &limit) != 0) return false;
  const rlim_t used = static_cast<rlim_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + 1);
  limit.rlim_cur = std::min<rlim_t>(used + static_cast<rlim_t>(seconds), limit.rlim_max);
  return setrlimit(RLIMIT_CPU, &limit) == 0;
}

}  // namespace

int RunAnalysisWorker(const fs::path& symbols) {
  // The worker ends with the server, and has nothing of its own to finish.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() == 1 || !LimitProcess()) return 1;
  std::set_new_handler(OnAllocationFailure);
  if (!SendPacket(kWorkerSocket, WorkerMessage::kReady, {})) return 1;
  ServerWatch watch;
  std::optional<fennick_analysis::CrashAnalyzer> analyzer;
  uint64_t generation = 0;
  PacketReader reader(kMaxJobBytes);
  for (;;) {
    std::optional<WorkerPacket> job = ReceivePacket(kWorkerSocket, reader);
    if (!job) return 0;
    const std::optional<JobSettings> settings = ParseJobSettings(job->payload);
    if (job->kind != WorkerMessage::kJob || !settings || !LimitCpu(settings->cpu_seconds)) {
      return 1;
    }
    if (!analyzer || settings->symbols_generation != generation) {
      analyzer.reset();
      analyzer.emplace(fennick_symbols::SymbolStore(symbols), kSymbolCacheBytes, &watch);
      generation = settings->symbols_generation;
    }
    const nlohmann::ordered_json analysis =
        analyzer->Analyze(job->descriptor.get(), settings->set_aside);
    job->descriptor.reset();
    if (!SendPacket(kWorkerSocket, WorkerMessage::kResult,
                    analysis.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))) {
      return 0;
    }
  }
}

}  // namespace fennick_ingest
