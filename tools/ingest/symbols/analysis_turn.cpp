#include "analysis_turn.h"

#include <cstddef>
#include <semaphore>

namespace fennick_ingest {
namespace {

constexpr std::ptrdiff_t kConcurrentAnalyses = 2;
std::counting_semaphore<kConcurrentAnalyses> analysis_turns(kConcurrentAnalyses);

}  // namespace

AnalysisTurn::AnalysisTurn() { analysis_turns.acquire(); }

AnalysisTurn::~AnalysisTurn() { analysis_turns.release(); }

}  // namespace fennick_ingest
