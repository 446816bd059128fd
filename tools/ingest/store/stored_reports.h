#ifndef FENNICK_TOOLS_INGEST_STORE_STORED_REPORTS_H_
#define FENNICK_TOOLS_INGEST_STORE_STORED_REPORTS_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_io.h"

namespace fennick_ingest {

// One report as the store keeps it, read back from <store>/<report folder>/report.json.
struct StoredReport {
  std::string dump_id;  // the exact bytes the client sent, from the folder's name
  std::string received_utc;
  int64_t received_ms = 0;
  // When it crashed, ms since 1970 UTC: the client's time stamp (client_ts), but never
  // later than the report arrived; the receive time when the client gave none.
  int64_t crash_ms = 0;
  std::string app_version;
  std::string os_version;
  std::string computer_name;
  std::string device_id;
  std::string process_name;
  std::string dump_file;
  uint64_t dump_bytes = 0;
  // From the record's "analysis", when it is one the current reader would give.
  bool analysed = false;
  std::string crash_json;      // the crash summary as compact JSON; empty when none
  std::string signature;       // the crash's signature; empty when none
  std::string top_function;    // the function that names the crash; empty without symbols
  // The symbol files the analysis lacked, as fennick_analysis::SymbolFileId names them.
  std::vector<std::string> missing_symbols;
  std::string analysis_error;  // why there is no crash, when analysed
};

// The report that the record `text` (a report.json) describes, stored under `dump_id`;
// nullopt when the text is no JSON object.
std::optional<StoredReport> ParseReportRecord(std::string_view text, std::string dump_id);

// The whole report.json of the report in the folder `folder_name`, or nullopt when there is
// no such report; read as OpenStoredDump reads it.
std::optional<std::string> ReadReportRecord(const std::filesystem::path& store,
                                            std::string_view folder_name);

// A stored dump, open for reading.
struct StoredDump {
  ScopedFile file;
  std::string file_name;
  uint64_t size = 0;
};

// Opens the dump of the report in the folder `folder_name`, or nullopt when there is none.
// Only what the store itself wrote is served: a report folder name, the file its
// report.json names, a regular file directly in that folder, and no symbolic link on the
// way.
std::optional<StoredDump> OpenStoredDump(const std::filesystem::path& store,
                                         std::string_view folder_name);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_STORE_STORED_REPORTS_H_
