#ifndef FENNICK_TESTS_SUPPORT_CRASH_REPORTS_H_
#define FENNICK_TESTS_SUPPORT_CRASH_REPORTS_H_

#include <cstddef>
#include <filesystem>
#include <string>

// The text of a valid crash metadata file naming `dump_file`.
std::string CrashMetadataJson(const std::string& dump_file, const std::string& dump_id);

// Writes <stem>.dmp (minidump-shaped, `dump_size` bytes) and <stem>.crash.json naming it,
// with dump_id "<stem>-id", into `folder`.
void WriteCrashReport(const std::filesystem::path& folder, const std::string& stem,
                      size_t dump_size = 256);

#endif  // FENNICK_TESTS_SUPPORT_CRASH_REPORTS_H_
