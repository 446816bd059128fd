#ifndef FENNICK_TOOLS_INGEST_WORKERS_ANALYSIS_QUEUE_H_
#define FENNICK_TOOLS_INGEST_WORKERS_ANALYSIS_QUEUE_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_io.h"
#include "report_index.h"
#include "signature_rules.h"
#include "symbol_quarantine.h"
#include "symbol_store.h"

namespace fennick_ingest {

class WorkerProcess;

// How the analyses run.
struct AnalysisSettings {
  int workers = 2;                // worker processes, each analysing one dump at a time
  int cpu_seconds = 30;           // of CPU time for one analysis
  int seconds = 120;              // for one analysis in all, however it waits (a stalled disk)
  std::filesystem::path symbols;  // the symbol store the workers read
  fennick_analysis::SignatureRules rules;  // what every crash is signed by
};

// The reports waiting for an analysis, and the worker processes that analyse them in the
// background: each report as it arrives, the stored reports a start finds unanalysed, and
// those whose missing symbol files arrive. Nothing but the queue's own threads ever waits
// for an analysis. A worker that crashes or goes over a limit costs only its report's
// analysis; a symbol file it was reading is set aside, and the report analysed once more
// without it. Thread-safe.
class AnalysisQueue {
 public:
  // `index` and `quarantine` outlive the queue.
  AnalysisQueue(std::filesystem::path store, ReportIndex& index, SymbolQuarantine& quarantine,
                AnalysisSettings settings);
  // Gives up the analyses under way, ending their workers: the next start does them again.
  ~AnalysisQueue();
  AnalysisQueue(const AnalysisQueue&) = delete;
  AnalysisQueue& operator=(const AnalysisQueue&) = delete;

  // The report `dump_id` was stored (or replaced): it is analysed before the older ones.
  void Arrived(const std::string& dump_id);

  // Queues every stored report that holds no analysis by the current reader, or lacked
  // symbol files that the store now holds, and, to be signed again from their stored
  // frames without a worker, those whose crash other signature rules signed; returns how
  // many.
  size_t QueueStoredReports();

  // The symbol files `added` were stored: they are no longer set aside, the symbols the
  // workers hold loaded are let go, and the reports that lacked them are analysed again.
  void SymbolsAdded(const std::vector<fennick_symbols::SymbolStore::Added>& added);

  struct Status {
    size_t waiting = 0;
    size_t running = 0;
  };
  Status status() const;

 private:
  struct Job {
    std::string dump_id;
    int attempt = 0;  // analyses of it that a symbol file stopped
    bool regroup = false;  // signed again from its stored analysis, not analysed
  };

  // What became of one job.
  struct Done {
    bool recorded = false;     // an analysis is in the report's record and the index
    bool stopped = false;      // the worker stopped
    bool not_run = false;      // no worker would start
    std::optional<Job> again;  // to be analysed once more, ahead of the others
  };

  void Serve();
  // Hands out the next job whose report is not being analysed; nullopt when stopping.
  std::optional<Job> Take();
  // Queues `job` unless its report waits already; `first` puts it ahead of the others.
  void Queue(Job job, bool first);
  // Ends `job`, queueing what `done` asks to be done again.
  void Finish(const Job& job, const Done& done);
  Done Analyse(WorkerProcess& worker, const Job& job);
  // Signs the report's stored crash again by the rules and records it.
  Done Regroup(const Job& job);
  // Waits `pause`, or less when the queue stops; false when it stops.
  bool Pause(std::chrono::seconds pause);

  const std::filesystem::path store_;
  ReportIndex& index_;
  SymbolQuarantine& quarantine_;
  const AnalysisSettings settings_;
  const fennick_symbols::SymbolStore symbols_;
  std::atomic<uint64_t> symbols_generation_ = 0;
  ScopedFile stop_;  // readable once the queue stops, so that every worker's wait ends

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  std::set<std::string> waiting_;  // the dump_ids of jobs_
  std::set<std::string> running_;
  std::set<std::string> again_;  // changed while they were being analysed
  size_t recorded_ = 0;          // analyses recorded since the queue was last idle
  size_t stopped_ = 0;           // of them, those whose worker stopped
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_WORKERS_ANALYSIS_QUEUE_H_
