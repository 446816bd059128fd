#ifndef FENNICK_TOOLS_INGEST_STORE_STORE_LAYOUT_H_
#define FENNICK_TOOLS_INGEST_STORE_STORE_LAYOUT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// How the store names what it keeps: <store>/<report folder>/<dump file> and report.json.
namespace fennick_ingest {

// The file in each report's folder that records the report (form fields, sizes, times).
inline constexpr char kReportFileName[] = "report.json";

// report.json is rewritten through this name (when a newer reader analyses the dump again).
inline constexpr char kReportTempFileName[] = "report.json.tmp";

// The longest report.json the store writes or reads back. The writer refuses a report whose
// record would be longer, so that every report it accepts is also listed.
inline constexpr size_t kMaxReportFileBytes = 16 * 1024 * 1024;

// The longest dump_id the store takes, in bytes (the client never sends a longer one).
inline constexpr size_t kMaxDumpIdBytes = 64;

// The symbol store's folder inside the store when --symbols names none. The report of the
// dump_id "symbols" is kept under another name, so no report can take its place.
inline constexpr char kStoreSymbolsFolder[] = "symbols";

// `bytes` with every byte outside [A-Za-z0-9._-] written as %XX (upper-case hex digits).
std::string PercentEncoded(std::string_view bytes);

// The name of the folder that keeps the report with `dump_id` (1 to kMaxDumpIdBytes bytes,
// any bytes): the id with every byte outside [A-Za-z0-9._-] written as %XX, "." and ".."
// written %2E and %2E%2E, and "symbols" %73ymbols. Distinct ids get distinct names of at
// most 192 bytes, and any other id made of the safe characters alone is its own folder name.
std::string ReportFolderName(std::string_view dump_id);

// The dump_id whose folder name is `name`, or nullopt when ReportFolderName gives `name`
// for no id (staging folders and anything else found in the store).
std::optional<std::string> DumpIdOfFolder(std::string_view name);

// The uploaded file name made into one harmless file name: the text after the last '/' or
// '\', with control characters and the bytes of ill-formed UTF-8 replaced by '_';
// "dump.dmp" when that leaves nothing usable or a name the record's own files take.
std::string SafeDumpFileName(std::string_view uploaded_name);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_STORE_STORE_LAYOUT_H_
