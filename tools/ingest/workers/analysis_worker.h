#ifndef FENNICK_TOOLS_INGEST_WORKERS_ANALYSIS_WORKER_H_
#define FENNICK_TOOLS_INGEST_WORKERS_ANALYSIS_WORKER_H_

#include <cstdint>
#include <filesystem>

// The worker's side of an analysis: a process of the server's own executable, started in
// worker mode, that analyses one dump at a time for the server, so that a symbol file or a
// dump that crashes or holds the readers costs that one analysis and never the server.
namespace fennick_ingest {

// The worker's end of its socket pair: the server hands it over as this descriptor.
inline constexpr int kWorkerSocket = 3;

// The address space a worker may take on top of what it holds when it starts.
inline constexpr uint64_t kWorkerAddressSpaceBytes = uint64_t{2} << 30;

// Analyses the jobs that come on kWorkerSocket with the symbols of `symbols`, each held to
// the CPU time it names, until the server closes the socket or ends. Returns the exit code:
// 0 when the server closed the socket, 1 when the worker could not serve.
int RunAnalysisWorker(const std::filesystem::path& symbols);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_WORKERS_ANALYSIS_WORKER_H_
