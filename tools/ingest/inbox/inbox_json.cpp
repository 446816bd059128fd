#include "inbox_json.h"

#include <nlohmann/json.hpp>

#include "inbox_parts.h"

namespace fennick_ingest {
namespace {

using Json = nlohmann::ordered_json;

std::string ListText(const Json& list) {
  return list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string RenderReportsJson(const std::vector<StoredReport>& reports) {
  Json list = Json::array();
  for (const StoredReport& report : reports) {
    Json entry = {{"dump_id", report.dump_id},
                  {"received_utc", report.received_utc},
                  {"app_version", report.app_version},
                  {"os_version", report.os_version},
                  {"computer_name", report.computer_name},
                  {"device_id", report.device_id},
                  {"process_name", report.process_name},
                  {"dump_file", report.dump_file},
                  {"dump_bytes", report.dump_bytes},
                  {"dump_url", DumpUrl(report.dump_id)},
                  {"report_url", ReportUrl(report.dump_id)}};
    const Json crash = Json::parse(report.crash_json, nullptr, false);
    if (crash.is_object()) {
      entry["crash"] = crash;
    } else {
      entry["crash"] = nullptr;
      entry["analysis_error"] =
          report.analysis_error.empty() ? "not analysed" : report.analysis_error;
    }
    list.push_back(std::move(entry));
  }
  return ListText(list);
}

std::string RenderReportJson(std::string_view dump_id, std::string_view record_text) {
  Json report = {{"dump_id", dump_id},
                 {"dump_url", DumpUrl(dump_id)},
                 {"report_url", ReportUrl(dump_id)}};
  const Json record = Json::parse(record_text, nullptr, false);
  if (record.is_object()) {
    for (const auto& [key, value] : record.items()) report[key] = value;
  }
  return ListText(report);
}

std::string RenderGroupsJson(const std::vector<CrashGroup>& groups) {
  Json list = Json::array();
  for (const CrashGroup& group : groups) {
    list.push_back({{"signature", group.signature},
                    {"top_function", group.top_function.empty() ? Json(nullptr)
                                                                : Json(group.top_function)},
                    {"count", group.count},
                    {"first_received_utc", group.first_received_utc},
                    {"last_received_utc", group.last_received_utc},
                    {"app_versions", group.app_versions},
                    {"devices", group.devices},
                    {"dump_ids", group.dump_ids}});
  }
  return ListText(list);
}

}  // namespace fennick_ingest
