#include "symbol_reanalysis.h"

#include <optional>
#include <utility>
#include <vector>

#include "analysis_turn.h"
#include "server_log.h"
#include "stored_analysis.h"

namespace fennick_ingest {

SymbolReanalysis::SymbolReanalysis(std::filesystem::path store,
                                   const fennick_analysis::CrashAnalyzer& analyzer,
                                   ReportIndex& index)
    : store_(std::move(store)), analyzer_(analyzer), index_(index), worker_([this] { Run(); }) {}

SymbolReanalysis::~SymbolReanalysis() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void SymbolReanalysis::SymbolsAdded(const std::vector<fennick_symbols::SymbolStore::Added>& added) {
  {
    const std::lock_guard lock(mutex_);
    for (const fennick_symbols::SymbolStore::Added& file : added) {
      if (file.error.empty()) added_.insert(fennick_analysis::SymbolFileId(file.file_name, file.key));
    }
  }
  changed_.notify_all();
}

void SymbolReanalysis::WaitUntilIdle() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return stopping_ || (added_.empty() && !busy_); });
}

void SymbolReanalysis::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !added_.empty(); });
    if (stopping_) return;
    const std::set<std::string> added = std::exchange(added_, {});
    busy_ = true;
    lock.unlock();
    size_t analysed = 0;
    for (const std::string& dump_id : index_.ReportsLacking(added)) {
      {
        const std::lock_guard stop_check(mutex_);
        if (stopping_) break;
      }
      // In commit order, so that an upload replacing this report meanwhile is never
      // overwritten in the index by the older report's new analysis.
      const auto in_order = index_.HoldCommitOrder();
      const AnalysisTurn turn;
      if (std::optional<StoredReport> report = ReanalyseReport(store_, dump_id, analyzer_)) {
        index_.Put(std::move(*report));
        ++analysed;
      }
    }
    if (analysed > 0) {
      LogLine(std::to_string(analysed) + " reports analysed again with the symbols added");
    }
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace fennick_ingest
