#include "report_store.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <utility>

namespace fennick_ingest {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxDumpIdBytes = 64;
// Fennick never sends a larger dump; one that is larger points at a client fault.
constexpr uint64_t kMaxDumpBytes = 50 * 1024 * 1024;
constexpr size_t kMaxFileNameBytes = 255;
// Text fields of a real report are short; this bounds what one request can make us hold.
constexpr size_t kMaxFieldBytes = 64 * 1024;
constexpr char kFallbackDumpName[] = "dump.dmp";
// '~' cannot occur in a dump id, so a staging folder never collides with a stored report.
constexpr std::string_view kStagingPrefix = "~incoming-";

bool IsDumpIdCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

std::string NewStagingName() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(generator()));
  return std::string(kStagingPrefix) + hex;
}

// Serialises the replace-and-move of finished reports, so that two uploads of one dump id
// cannot interleave their removal and rename.
std::mutex& CommitMutex() {
  static std::mutex mutex;
  return mutex;
}

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

bool IsSafeDumpId(std::string_view dump_id) {
  if (dump_id.empty() || dump_id.size() > kMaxDumpIdBytes) return false;
  if (dump_id == "." || dump_id == "..") return false;
  for (char c : dump_id) {
    if (!IsDumpIdCharacter(c)) return false;
  }
  return true;
}

std::string SafeDumpFileName(std::string_view uploaded_name) {
  size_t last_separator = uploaded_name.find_last_of("/\\");
  std::string name(last_separator == std::string_view::npos
                       ? uploaded_name
                       : uploaded_name.substr(last_separator + 1));
  for (char& c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '_';
  }
  // report.json is taken by the report's own record.
  if (name.empty() || name == "." || name == ".." || name.size() > kMaxFileNameBytes ||
      name == kReportFileName) {
    return kFallbackDumpName;
  }
  return name;
}

void RemoveStaleStaging(const fs::path& store) {
  std::error_code error;
  for (fs::directory_iterator it(store, error), end; !error && it != end; it.increment(error)) {
    if (it->path().filename().string().starts_with(kStagingPrefix)) {
      std::error_code ignored;
      fs::remove_all(it->path(), ignored);
    }
  }
}

IncomingReport::IncomingReport(fs::path store, bool keep) : store_(std::move(store)), keep_(keep) {}

IncomingReport::~IncomingReport() {
  dump_.close();
  if (!staging_.empty() && !committed_) {
    std::error_code ignored;
    fs::remove_all(staging_, ignored);
  }
}

void IncomingReport::BeginPart(const std::string& name, const std::string& file_name) {
  if (!FinishDump()) store_failed_ = true;
  if (name == "file") {
    BeginDump(file_name);
    return;
  }
  part_ = Part::kField;
  field_name_ = name;
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
  if (!keep_) return;
  staging_ = store_ / NewStagingName();
  std::error_code error;
  if (!fs::create_directory(staging_, error)) {
    staging_.clear();
    store_failed_ = true;
    return;
  }
  dump_.open(staging_ / dump_name_, std::ios::binary | std::ios::trunc);
  if (!dump_) store_failed_ = true;
}

void IncomingReport::AppendData(const char* data, size_t size) {
  if (part_ == Part::kField) {
    std::string& value = fields_[field_name_];
    if (value.size() + size > kMaxFieldBytes) {
      bad_form_ = true;
      return;
    }
    value.append(data, size);
  } else if (part_ == Part::kDump) {
    dump_bytes_ += size;
    if (dump_bytes_ > kMaxDumpBytes) {
      dump_.close();
    } else if (dump_.is_open() && !dump_.write(data, static_cast<std::streamsize>(size))) {
      store_failed_ = true;
    }
  }
}

bool IncomingReport::FinishDump() {
  if (!dump_.is_open()) return true;
  dump_.close();
  return !dump_.fail();
}

int IncomingReport::Verdict() {
  if (!FinishDump()) store_failed_ = true;
  part_ = Part::kNone;
  if (bad_form_ || !dump_seen_ || !IsSafeDumpId(dump_id())) return 400;
  if (dump_bytes_ > kMaxDumpBytes) return 413;
  return store_failed_ ? 500 : 200;
}

std::string IncomingReport::dump_id() const {
  auto it = fields_.find("dump_id");
  return it == fields_.end() ? std::string() : it->second;
}

bool IncomingReport::WriteReportFile(const RequestFacts& facts) const {
  ReceiveTime received = Now();
  nlohmann::ordered_json report;
  report["fields"] = fields_;
  report["dump_file"] = dump_name_;
  report["dump_bytes"] = dump_bytes_;
  report["received_utc"] = received.utc_text;
  report["received_ms"] = received.ms_since_epoch;
  report["peer"] = facts.peer;
  report["user_agent"] = facts.user_agent;
  std::ofstream out(staging_ / kReportFileName, std::ios::binary | std::ios::trunc);
  // Field values are whatever the client sent; invalid UTF-8 is recorded with replacements.
  out << report.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  out.close();
  return !out.fail();
}

bool IncomingReport::Commit(const RequestFacts& facts) {
  if (staging_.empty() || !WriteReportFile(facts)) return false;
  fs::path target = store_ / dump_id();
  std::lock_guard lock(CommitMutex());
  std::error_code error;
  fs::remove_all(target, error);
  if (error) return false;
  fs::rename(staging_, target, error);
  if (error) return false;
  committed_ = true;
  return true;
}

}  // namespace fennick_ingest
