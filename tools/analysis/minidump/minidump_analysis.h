#ifndef FENNICK_TOOLS_MINIDUMP_MINIDUMP_ANALYSIS_H_
#define FENNICK_TOOLS_MINIDUMP_MINIDUMP_ANALYSIS_H_

#include <cstdint>
#include <filesystem>
#include <span>

#include <nlohmann/json.hpp>

#include "minidump_reader.h"

namespace fennick_minidump {

// Bumped whenever the analysis would give other results for the same dump, so that stored
// analyses can be told apart from current ones.
constexpr int kAnalysisVersion = 3;

// Everything the reader found in `dump`, for a report page: "dump" (file size, streams,
// time written, flags, memory ranges), "exception" (with its parameters), "system",
// "threads" (count, the crashing thread's stack), "process" (misc info) and "modules" (base,
// size, time stamp, file version, path, file name). Absent streams are null.
// Takes `dump`'s texts rather than copy them.
nlohmann::ordered_json MinidumpJson(Minidump dump);

// The analysis stored with a report. Always an object with "analysis_version" and "crash":
// the crash summary, or null with an "analysis_error" text ("unreadable: <reason>" when the
// dump cannot be read). A dump that was read also has "minidump", as MinidumpJson gives it.
nlohmann::ordered_json AnalyzeMinidump(std::span<const uint8_t> bytes);

// As above, for the dump file at `path`, read as ReadMinidumpFile does.
nlohmann::ordered_json AnalyzeMinidumpFile(const std::filesystem::path& path);

// As above, for the dump in the open `file`, read as ReadOpenMinidumpFile does.
nlohmann::ordered_json AnalyzeOpenMinidumpFile(FileHandle file);

// As above, for what a read gave.
nlohmann::ordered_json AnalysisJson(MinidumpResult read);

}  // namespace fennick_minidump

#endif  // FENNICK_TOOLS_MINIDUMP_MINIDUMP_ANALYSIS_H_
