#include "inbox_json.h"

#include <nlohmann/json.hpp>

#include "group_page.h"
#include "inbox_parts.h"
#include "report_filter.h"

namespace fennick_ingest {
namespace {

using Json = nlohmann::ordered_json;

std::string ListText(const Json& list) {
  return list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// Text that a group may lack, as null rather than "", so that a client tells the two apart.
Json TextOrNull(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

// A report as every list names it: its fields, sizes and addresses, and "crash" (the crash
// summary, or null with "analysis_error").
Json ReportEntry(const StoredReport& report) {
  Json entry = {{"dump_id", report.dump_id},
                {"received_utc", report.received_utc},
                {"crash_utc", UtcText(report.crash_ms)},
                {"app_version", report.app_version},
                {"os_version", report.os_version},
                {"computer_name", report.computer_name},
                {"device_id", report.device_id},
                {"process_name", report.process_name},
                {"dump_file", report.dump_file},
                {"dump_bytes", report.dump_bytes},
                {"dump_url", DumpUrl(report.dump_id)},
                {"report_url", ReportUrl(report.dump_id)}};
  if (!report.signature.empty()) entry["group_url"] = GroupUrl(report.signature);
  const Json crash = Json::parse(report.crash_json, nullptr, false);
  if (crash.is_object()) {
    entry["crash"] = crash;
  } else {
    entry["crash"] = nullptr;
    entry["analysis_error"] =
        report.analysis_error.empty() ? kWaitingForAnalysis : report.analysis_error;
  }
  return entry;
}

Json DayCounts(const std::vector<DayCount>& days) {
  Json list = Json::array();
  for (const DayCount& day : days) list.push_back({{"date", day.date}, {"count", day.count}});
  return list;
}

// [{"<name>": ..., "count": ...}], as the group's page tables them.
Json Counts(const std::vector<VersionCount>& counts, const char* name) {
  Json list = Json::array();
  for (const VersionCount& entry : counts) {
    list.push_back({{name, entry.version}, {"count", entry.count}});
  }
  return list;
}

Json GroupMembers(const CrashGroup& group) {
  return {{"signature", group.signature},
          {"top_function", TextOrNull(group.top_function)},
          {"count", group.count},
          {"devices", group.devices},
          {"first_crash_utc", group.first_crash_utc},
          {"last_crash_utc", group.last_crash_utc},
          {"first_received_utc", group.first_received_utc},
          {"last_received_utc", group.last_received_utc},
          {"first_version", group.first_version},
          {"last_version", group.last_version},
          {"app_versions", group.app_versions},
          {"per_day", DayCounts(group.per_day)},
          {"new", group.is_new},
          {"rising", group.rising},
          {"state", GroupStateName(group.state)},
          {"fixed_version", TextOrNull(group.fixed_version)},
          {"dump_ids", group.dump_ids},
          {"group_url", GroupUrl(group.signature)}};
}

}  // namespace

std::string RenderReportsJson(const std::vector<StoredReport>& reports) {
  Json list = Json::array();
  for (const StoredReport& report : reports) list.push_back(ReportEntry(report));
  return ListText(list);
}

std::string RenderReportJson(std::string_view dump_id, std::string_view record_text) {
  Json report = {
      {"dump_id", dump_id}, {"dump_url", DumpUrl(dump_id)}, {"report_url", ReportUrl(dump_id)}};
  const Json record = Json::parse(record_text, nullptr, false);
  if (record.is_object()) {
    for (const auto& [key, value] : record.items()) report[key] = value;
  }
  return ListText(report);
}

std::string RenderGroupsJson(const std::vector<CrashGroup>& groups) {
  Json list = Json::array();
  for (const CrashGroup& group : groups) list.push_back(GroupMembers(group));
  return ListText(list);
}

std::string RenderGroupJson(const GroupDetail& detail) {
  Json group = GroupMembers(detail.group);
  group["per_day"] = DayCounts(detail.per_day);
  group["versions"] = Counts(detail.versions, "version");
  group["operating_systems"] = Counts(detail.operating_systems, "os");
  Json newest = Json::array();
  for (const StoredReport& report : detail.newest) newest.push_back(ReportEntry(report));
  group["newest"] = std::move(newest);
  group["typical"] = ReportEntry(detail.typical);
  return ListText(group);
}

}  // namespace fennick_ingest
