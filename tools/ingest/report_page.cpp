#include "report_page.h"

#include <nlohmann/json.hpp>

#include "inbox_parts.h"
#include "json_members.h"

namespace fennick_ingest {
namespace {

using Json = nlohmann::ordered_json;

// A value as a person reads it: text as it is, lists joined by commas, null as nothing.
std::string ValueText(const Json& value) {
  if (value.is_null()) return std::string();
  if (value.is_string()) return value.get<std::string>();
  if (value.is_array()) {
    std::string text;
    for (const Json& item : value) text += (text.empty() ? "" : ", ") + ValueText(item);
    return text;
  }
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// One row per member of `object`, members of inner objects named "outer.inner".
std::string FactRows(const Json& object, const std::string& prefix = {}) {
  std::string rows;
  for (const auto& [key, value] : object.items()) {
    if (value.is_object()) {
      rows += FactRows(value, prefix + key + ".");
    } else {
      rows += "<tr><th>" + EscapeHtml(prefix + key) + "</th>" + Cell(ValueText(value), "code") +
              "</tr>\n";
    }
  }
  return rows;
}

std::string FactTable(const Json& object) {
  return "<table class=\"facts\">\n<tbody>\n" + FactRows(object) + "</tbody>\n</table>\n";
}

std::string CrashSection(const Json& analysis) {
  std::string html = "<h2>Crash</h2>\n";
  const Json crash = analysis.is_object() ? analysis.value("crash", Json()) : Json();
  if (crash.is_object()) return html + FactTable(crash);
  const std::string why = TextMember(analysis, "analysis_error");
  return html +
         "<div class=\"empty\">No crash named: " + EscapeHtml(why.empty() ? "not analysed" : why) +
         "</div>\n";
}

std::string ModuleTable(const Json& modules) {
  std::string html = "<h2>Modules (" + std::to_string(modules.size()) + ")</h2>\n";
  if (modules.empty() || !modules.front().is_object()) return html;
  html += "<table>\n<thead><tr>";
  for (const auto& [key, value] : modules.front().items())
    html += "<th>" + EscapeHtml(key) + "</th>";
  html += "</tr></thead>\n<tbody>\n";
  for (const Json& module : modules) {
    html += "<tr>";
    for (const auto& [key, value] : modules.front().items()) {
      html += Cell(ValueText(module.is_object() ? module.value(key, Json()) : Json()), "code");
    }
    html += "</tr>\n";
  }
  return html + "</tbody>\n</table>\n";
}

// Everything the reader found, stream by stream, the modules last.
std::string MinidumpSections(const Json& analysis) {
  const Json minidump = analysis.is_object() ? analysis.value("minidump", Json()) : Json();
  const std::string left_out = TextMember(analysis, "minidump_left_out");
  if (!left_out.empty()) return "<p class=\"error\">" + EscapeHtml(left_out) + "</p>\n";
  if (!minidump.is_object()) return std::string();
  std::string html = "<h2>What the dump holds</h2>\n";
  for (const auto& [key, value] : minidump.items()) {
    if (key == "modules") continue;
    html += "<h3>" + EscapeHtml(key) + "</h3>\n";
    html += value.is_object() ? FactTable(value) : "<p class=\"none\">not in the dump</p>\n";
  }
  const Json modules = minidump.value("modules", Json::array());
  return html + (modules.is_array() ? ModuleTable(modules) : std::string());
}

}  // namespace

std::string RenderReportPage(std::string_view dump_id, std::string_view record_text) {
  Json record = Json::parse(record_text, nullptr, false);
  if (!record.is_object()) record = Json::object();
  const Json analysis = record.value("analysis", Json());
  record.erase("analysis");
  const auto dump_bytes = record.find("dump_bytes");
  std::string page = PageStart("Report " + std::string(dump_id) + " - Fennick inbox");
  page += "<h1>Report <span class=\"where\">" + EscapeHtml(dump_id) + "</span></h1>\n";
  page += "<p class=\"lead\"><a href=\"/\">Inbox</a> &middot; <a class=\"download\" href=\"" +
          EscapeHtml(DumpUrl(dump_id)) + "\" download=\"" +
          EscapeHtml(TextMember(record, "dump_file")) + "\">Download the dump</a>";
  if (dump_bytes != record.end() && dump_bytes->is_number_unsigned()) {
    page += " <span class=\"size\">" + ByteSizeText(dump_bytes->get<uint64_t>()) + "</span>";
  }
  page += "</p>\n" + CrashSection(analysis) + "<h2>Report</h2>\n" + FactTable(record) +
          MinidumpSections(analysis);
  return page + kPageEnd;
}

}  // namespace fennick_ingest
