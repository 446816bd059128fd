#ifndef FENNICK_TOOLS_INGEST_SYMBOLS_SYMBOL_REANALYSIS_H_
#define FENNICK_TOOLS_INGEST_SYMBOLS_SYMBOL_REANALYSIS_H_

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "crash_analysis.h"
#include "report_index.h"

namespace fennick_ingest {

// Analyses stored reports again once symbol files they lacked arrive, so that they move
// into the groups their functions name. One report at a time, on a thread of its own, each
// analysis taking its turn among the uploads'; the caller never waits.
class SymbolReanalysis {
 public:
  // `store`, `analyzer` and `index` outlive this object.
  SymbolReanalysis(std::filesystem::path store, const fennick_analysis::CrashAnalyzer& analyzer,
                   ReportIndex& index);
  // Finishes the report under way; the rest are analysed at the next start.
  ~SymbolReanalysis();
  SymbolReanalysis(const SymbolReanalysis&) = delete;
  SymbolReanalysis& operator=(const SymbolReanalysis&) = delete;

  // The symbol files `added` were stored.
  void SymbolsAdded(const std::vector<fennick_symbols::SymbolStore::Added>& added);

  // Waits until every report that lacked files added so far has been analysed again.
  void WaitUntilIdle();

 private:
  void Run();

  const std::filesystem::path store_;
  const fennick_analysis::CrashAnalyzer& analyzer_;
  ReportIndex& index_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<std::string> added_;  // files added since the last pass began
  bool busy_ = false;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_SYMBOLS_SYMBOL_REANALYSIS_H_
