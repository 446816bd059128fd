#ifndef FENNICK_TOOLS_INGEST_SYMBOLS_ANALYSIS_TURN_H_
#define FENNICK_TOOLS_INGEST_SYMBOLS_ANALYSIS_TURN_H_

namespace fennick_ingest {

// Held while a dump is analysed. Analyses run at most two at a time, whatever the number of
// uploads and re-analyses: one of a hostile dump may hold tens of MiB until its record is
// written. The others wait for a turn.
class AnalysisTurn {
 public:
  AnalysisTurn();
  ~AnalysisTurn();
  AnalysisTurn(const AnalysisTurn&) = delete;
  AnalysisTurn& operator=(const AnalysisTurn&) = delete;
};

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_SYMBOLS_ANALYSIS_TURN_H_
