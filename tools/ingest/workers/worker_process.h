#ifndef FENNICK_TOOLS_INGEST_WORKERS_WORKER_PROCESS_H_
#define FENNICK_TOOLS_INGEST_WORKERS_WORKER_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/file_io.h"
#include "worker_channel.h"

namespace fennick_ingest {

// A symbol file as the symbol store keeps it: <root>/<file name>/<key>/<file name>.
struct StoredSymbolFile {
  std::string file_name;
  std::string key;
};

// The stored symbol file at `path` inside the symbol store `root`, or nullopt when `path` is
// not where the store keeps one.
std::optional<StoredSymbolFile> StoredSymbolFileAt(const std::filesystem::path& root,
                                                   const std::filesystem::path& path);

// What became of one analysis handed to a worker.
struct WorkerOutcome {
  enum class Kind {
    kAnalysed,  // `analysis` holds the worker's analysis
    kStopped,   // the worker crashed, went over a limit or broke the exchange: `reason`
    kNotRun,    // the server is stopping, or no worker could be started: try again later
  };
  Kind kind = Kind::kNotRun;
  nlohmann::ordered_json analysis;
  std::string reason;  // "signal 11 while reading Ortivo.pdb <key>", "over 30 s of CPU"
  // The symbol file the worker was reading when it stopped.
  std::optional<StoredSymbolFile> reading;
};

// One analysis worker as the server sees it: a process of the server's own executable in
// worker mode, started when first needed and again after one that stopped. Not thread-safe:
// one thread hands it its jobs.
class WorkerProcess {
 public:
  // Workers read the symbol store `symbols`. `stop` is a descriptor that becomes readable
  // when the server stops: a job under way is then given up at once.
  WorkerProcess(std::filesystem::path symbols, FileHandle stop);
  // Ends the process, if one is running.
  ~WorkerProcess();
  WorkerProcess(const WorkerProcess&) = delete;
  WorkerProcess& operator=(const WorkerProcess&) = delete;

  // Analyses the open `dump` as `settings` ask, giving up on the worker when it has not
  // answered within `deadline`.
  WorkerOutcome Analyse(FileHandle dump, const JobSettings& settings,
                        std::chrono::seconds deadline);

 private:
  bool Start();
  // Ends the process (SIGKILL) and returns its wait status.
  int Kill();
  // Waits for the process, which has closed its end, and returns its wait status.
  int Reap();
  WorkerOutcome Stopped(std::string reason, const std::filesystem::path& reading) const;

  std::filesystem::path symbols_;
  FileHandle stop_;
  pid_t pid_ = -1;
  ScopedFile socket_;
  bool ready_ = false;  // the running worker said it is ready
};

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_WORKERS_WORKER_PROCESS_H_
