#include "stored_reports.h"

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>
#include <utility>

#include "crash_analysis.h"
#include "json_members.h"
#include "minidump_analysis.h"
#include "store_files.h"
#include "store_layout.h"

namespace fennick_ingest {
namespace {

namespace fs = std::filesystem;

// Replacing a report removes the replaced folder's files, possibly while a reader holds
// that folder open; the folder name holds the new report by then, so the read starts again
// through the name. Three attempts outlast any replacement but a constant stream of them.
constexpr int kReadAttempts = 3;

// The crash summary and its signature, or why there is none, from a current analysis.
void ReadAnalysis(const nlohmann::ordered_json& record, StoredReport* stored) {
  const auto analysis = record.find("analysis");
  if (analysis == record.end() || !analysis->is_object()) return;
  const auto version = analysis->find("analysis_version");
  if (version == analysis->end() || !version->is_number_integer() ||
      *version != fennick_minidump::kAnalysisVersion) {
    return;
  }
  stored->analysed = true;
  const auto crash = analysis->find("crash");
  if (crash != analysis->end() && crash->is_object()) {
    stored->crash_json = crash->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    stored->signature = TextMember(*crash, "signature");
    stored->top_function = TextMember(*crash, "top_function");
    stored->missing_symbols = fennick_analysis::MissingSymbolIds(*crash);
  } else {
    stored->analysis_error = TextMember(*analysis, "analysis_error");
  }
}

// The crash time that `client_ts` (decimal ms since 1970) gives; a clock running ahead
// never places a crash after its arrival, and a time stamp that is no such number (or
// before 2000, as "0" for a dump whose time was unknown) gives the arrival time.
int64_t CrashTime(const std::string& client_ts, int64_t received_ms) {
  constexpr int64_t kYear2000Ms = 946684800000;
  int64_t ms = 0;
  const auto [end, error] = std::from_chars(client_ts.data(), client_ts.data() + client_ts.size(), ms);
  if (error != std::errc() || end != client_ts.data() + client_ts.size() || ms < kYear2000Ms) {
    return received_ms;
  }
  return std::min(ms, received_ms);
}

}  // namespace

std::optional<StoredReport> ParseReportRecord(std::string_view text, std::string dump_id) {
  // Ordered, so that the crash keeps its members' order.
  const nlohmann::ordered_json record = nlohmann::ordered_json::parse(text, nullptr, false);
  if (!record.is_object()) return std::nullopt;
  const nlohmann::ordered_json fields = record.value("fields", nlohmann::ordered_json::object());
  StoredReport stored;
  stored.dump_id = std::move(dump_id);
  stored.received_utc = TextMember(record, "received_utc");
  const auto received_ms = record.find("received_ms");
  stored.received_ms = received_ms != record.end() && received_ms->is_number_integer()
                           ? received_ms->get<int64_t>()
                           : 0;
  stored.crash_ms = CrashTime(TextMember(fields, "client_ts"), stored.received_ms);
  stored.app_version = TextMember(fields, "app_version");
  stored.os_version = TextMember(fields, "os_version");
  stored.computer_name = TextMember(fields, "computer_name");
  stored.device_id = TextMember(fields, "device_id");
  stored.process_name = TextMember(fields, "process_name");
  stored.dump_file = TextMember(record, "dump_file");
  const auto dump_bytes = record.find("dump_bytes");
  stored.dump_bytes = dump_bytes != record.end() && dump_bytes->is_number_unsigned()
                          ? dump_bytes->get<uint64_t>()
                          : 0;
  ReadAnalysis(record, &stored);
  return stored;
}

namespace {

// One report folder, open, with the record its report.json holds.
struct OpenReport {
  ScopedFile folder;
  std::string text;
  StoredReport report;
};

std::optional<OpenReport> OpenReportOnce(const fs::path& store, std::string_view folder_name) {
  std::optional<std::string> dump_id = DumpIdOfFolder(folder_name);
  if (!dump_id) return std::nullopt;
  OpenReport open{OpenFolder(store / folder_name), {}, {}};
  if (!open.folder.is_valid()) return std::nullopt;
  const ScopedFile record_file = OpenFileIn(open.folder.get(), kReportFileName);
  if (!record_file.is_valid()) return std::nullopt;
  std::optional<std::string> text = ReadAll(record_file.get(), kMaxReportFileBytes);
  if (!text) return std::nullopt;
  std::optional<StoredReport> report = ParseReportRecord(*text, std::move(*dump_id));
  if (!report) return std::nullopt;
  open.text = std::move(*text);
  open.report = std::move(*report);
  return open;
}

std::optional<StoredDump> OpenDumpOnce(const fs::path& store, std::string_view folder_name) {
  std::optional<OpenReport> open = OpenReportOnce(store, folder_name);
  // The name must be one the store would have written itself.
  if (!open || open->report.dump_file.empty() ||
      SafeDumpFileName(open->report.dump_file) != open->report.dump_file) {
    return std::nullopt;
  }
  StoredDump dump{OpenFileIn(open->folder.get(), open->report.dump_file), open->report.dump_file,
                  0};
  const std::optional<int64_t> size =
      dump.file.is_valid() ? GetFileSize(dump.file.get()) : std::nullopt;
  if (!size) return std::nullopt;
  dump.size = static_cast<uint64_t>(*size);
  return dump;
}

template <typename Read>
auto WithRetries(Read read) -> decltype(read()) {
  for (int attempt = 1;; ++attempt) {
    auto result = read();
    if (result || attempt == kReadAttempts) return result;
  }
}

}  // namespace

std::optional<std::string> ReadReportRecord(const fs::path& store, std::string_view folder_name) {
  if (!DumpIdOfFolder(folder_name)) return std::nullopt;
  std::optional<OpenReport> open = WithRetries([&] { return OpenReportOnce(store, folder_name); });
  if (!open) return std::nullopt;
  return std::move(open->text);
}

std::optional<StoredDump> OpenStoredDump(const fs::path& store, std::string_view folder_name) {
  if (!DumpIdOfFolder(folder_name)) return std::nullopt;
  return WithRetries([&] { return OpenDumpOnce(store, folder_name); });
}

}  // namespace fennick_ingest
