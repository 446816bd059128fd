#include "report_store.h"

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>

#include "store_files.h"
#include "store_layout.h"
#include "stored_analysis.h"

namespace fennick_ingest {
namespace {

namespace fs = std::filesystem;

struct ReceiveTime {
  int64_t ms_since_epoch;
  std::string utc_text;  // ISO-8601 with milliseconds, e.g. 2024-05-01T12:00:00.123Z
};

ReceiveTime Now() {
  using namespace std::chrono;
  auto ms = floor<milliseconds>(system_clock::now());
  auto day = floor<days>(ms);
  year_month_day date{day};
  hh_mm_ss time{ms - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                int(time.minutes().count()), int(time.seconds().count()),
                int(time.subseconds().count()));
  return {ms.time_since_epoch().count(), text};
}

}  // namespace

bool PrepareStore(const fs::path& store) {
  std::error_code error;
  if (!fs::is_directory(store, error)) {
    fs::create_directories(store.parent_path(), error);
    // The store's own entry must survive a power cut too, or so would none of its reports.
    if (!CreatePrivateFolder(store) || !SyncFolder(store.parent_path())) return false;
  }
  RemoveStaleStaging(store);
  return true;
}

IncomingReport::IncomingReport(fs::path store) : store_(std::move(store)) {}

IncomingReport::~IncomingReport() {
  dump_.reset();
  if (!staging_.empty()) {
    std::error_code ignored;
    fs::remove_all(staging_, ignored);
  }
}

void IncomingReport::BeginPart(const std::string& name, const std::string& file_name) {
  if (name == "file") {
    BeginDump(file_name);
    return;
  }
  part_ = Part::kField;
  field_name_ = name;
  text_bytes_ += name.size();
  // A field sent twice is a client fault worth hearing about, not something to pick from.
  if (!fields_.emplace(name, std::string()).second) bad_form_ = true;
}

void IncomingReport::BeginDump(const std::string& file_name) {
  part_ = Part::kDump;
  if (dump_seen_) {
    bad_form_ = true;
    return;
  }
  dump_seen_ = true;
  dump_name_ = SafeDumpFileName(file_name);
  staging_ = store_ / NewStagingName();
  if (!CreatePrivateFolder(staging_)) {
    staging_.clear();
    store_failed_ = true;
    return;
  }
  dump_ = CreatePrivateFile(staging_ / dump_name_);
  if (!dump_.is_valid()) store_failed_ = true;
}

void IncomingReport::AppendData(const char* data, size_t size) {
  if (part_ == Part::kField) {
    text_bytes_ += size;
    // Past the limit the report is refused; what is kept stops growing.
    if (text_bytes_ <= kMaxFormTextBytes) fields_[field_name_].append(data, size);
  } else if (part_ == Part::kDump) {
    dump_bytes_ += size;
    if (dump_bytes_ > kMaxDumpBytes) {
      dump_.reset();
    } else if (dump_.is_valid() && !WriteAll(dump_.get(), std::string_view(data, size))) {
      store_failed_ = true;
    }
  }
}

int IncomingReport::Verdict() {
  part_ = Part::kNone;
  if (dump_bytes_ > kMaxDumpBytes || text_bytes_ > kMaxFormTextBytes) return 413;
  const std::string id = dump_id();
  if (bad_form_ || !dump_seen_ || id.empty() || id.size() > kMaxDumpIdBytes) return 400;
  return store_failed_ ? 500 : 200;
}

std::string IncomingReport::dump_id() const {
  auto it = fields_.find("dump_id");
  return it == fields_.end() ? std::string() : it->second;
}

nlohmann::ordered_json IncomingReport::Record(const RequestFacts& facts) const {
  ReceiveTime received = Now();
  nlohmann::ordered_json report;
  report["fields"] = fields_;
  report["dump_file"] = dump_name_;
  report["dump_bytes"] = dump_bytes_;
  report["received_utc"] = received.utc_text;
  report["received_ms"] = received.ms_since_epoch;
  report["peer"] = facts.peer;
  report["user_agent"] = facts.user_agent;
  return report;
}

int IncomingReport::Commit(const RequestFacts& facts, ReportIndex& index) {
  if (staging_.empty() || !SyncAndClose(std::move(dump_))) return 500;
  // The dump is analysed once the report is stored; until then its record holds none, and
  // the report is listed as waiting for its analysis.
  const std::string record = RecordText(Record(facts));
  if (record.size() > kMaxReportFileBytes) return 413;
  ScopedFile record_file = CreatePrivateFile(staging_ / kReportFileName);
  if (!record_file.is_valid() || !WriteAll(record_file.get(), record)) return 500;
  std::optional<StoredReport> listed = ParseReportRecord(record, dump_id());
  // The files and the folder's entries reach the disk before the folder takes its name, so
  // the name never stands for a report with missing or empty files.
  if (!SyncAndClose(std::move(record_file)) || !SyncFolder(staging_)) return 500;
  MoveOutcome moved = MoveOutcome::kFailed;
  {
    const auto in_order = index.HoldCommitOrder();
    moved = MoveFolderIntoPlace(staging_, store_ / ReportFolderName(dump_id()));
    if (moved != MoveOutcome::kFailed && listed) index.Put(std::move(*listed));
  }
  if (moved == MoveOutcome::kFailed) return 500;
  if (moved == MoveOutcome::kMoved) staging_.clear();
  // The destructor removes the replaced report, which the staging name now holds; should
  // that removal be lost, the next start removes it.
  return SyncFolder(store_) ? 200 : 500;
}

}  // namespace fennick_ingest
