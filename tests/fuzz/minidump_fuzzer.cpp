// The minidump reader on any bytes: it must never crash, hang or read out of bounds, and what
// it gives must hold what a read promises: a reason for every failure, valid UTF-8 text, and
// a crash summary for every dump with an exception.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "minidump_analysis.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using fennick_minidump::ReadMinidump;
  const fennick_minidump::MinidumpResult read = ReadMinidump(std::span(data, size));
  if (read.minidump.has_value() == read.error.starts_with("unreadable: ")) std::abort();
  const nlohmann::ordered_json analysis = fennick_minidump::AnalysisJson(read);
  const bool named = analysis["crash"].is_object();
  if (read.minidump && named != read.minidump->exception.has_value()) std::abort();
  try {
    // Throws on invalid UTF-8: module names and the service pack text come from the dump.
    (void)analysis.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    std::abort();
  }
  return 0;
}
