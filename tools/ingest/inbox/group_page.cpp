#include "group_page.h"

#include <nlohmann/json.hpp>

#include "charts.h"
#include "inbox_parts.h"
#include "paging.h"
#include "report_filter.h"
#include "store_layout.h"

namespace fennick_ingest {
namespace {

using Json = nlohmann::ordered_json;

// The states a developer may choose; regressed is the index's finding, never a choice.
constexpr GroupState kChosenStates[] = {GroupState::kOpen, GroupState::kResolved,
                                        GroupState::kIgnored};

// A crash time with the receive time beside it: the client's clock may be wrong, the
// server's is the one every list is ordered by.
std::string TimeCell(const std::string& crash_utc, const std::string& received_utc) {
  return "<td>" + EscapeHtml(ReceivedText(crash_utc)) + " <span class=\"size\">received " +
         EscapeHtml(ReceivedText(received_utc)) + "</span></td>";
}

std::string FactsTable(const CrashGroup& group) {
  return "<table class=\"facts\">\n<tbody>\n"
         "<tr><th>State</th><td>" +
         StateBadge(group.state, group.fixed_version) +
         "</td></tr>\n"
         "<tr><th>Reports</th><td>" +
         std::to_string(group.count) +
         "</td></tr>\n"
         "<tr><th>Machines</th><td>" +
         std::to_string(group.devices) +
         "</td></tr>\n"
         "<tr><th>First crash (UTC)</th>" +
         TimeCell(group.first_crash_utc, group.first_received_utc) +
         "</tr>\n"
         "<tr><th>Last crash (UTC)</th>" +
         TimeCell(group.last_crash_utc, group.last_received_utc) +
         "</tr>\n"
         "<tr><th>First version</th>" +
         Cell(group.first_version) +
         "</tr>\n"
         "<tr><th>Last version</th>" +
         Cell(group.last_version) + "</tr>\n</tbody>\n</table>\n";
}

// A table of names and their counts, as the index ordered them.
std::string CountTable(const char* title, const char* name,
                       const std::vector<VersionCount>& counts) {
  std::string html = std::string("<h2>") + title + "</h2>\n";
  if (counts.empty()) return html + "<div class=\"empty\">None named.</div>\n";
  html += std::string("<table>\n<thead><tr><th>") + name +
          "</th><th class=\"count\">Reports</th></tr></thead>\n<tbody>\n";
  for (const VersionCount& entry : counts) {
    html += "<tr>" + Cell(entry.version) + "<td class=\"count\">" + std::to_string(entry.count) +
            "</td></tr>\n";
  }
  return html + "</tbody>\n</table>\n";
}

std::string ReportLink(const StoredReport& report) {
  return "<a href=\"" + EscapeHtml(ReportUrl(report.dump_id)) + "\">" + EscapeHtml(report.dump_id) +
         "</a>";
}

std::string NewestReports(const std::vector<StoredReport>& reports) {
  std::string html =
      "<h2>Newest reports</h2>\n<table>\n<thead><tr><th>Crashed (UTC)</th><th>Received (UTC)"
      "</th><th>Dump id</th><th>Version</th><th>OS</th><th>Computer</th><th>Dump</th></tr>"
      "</thead>\n<tbody>\n";
  for (const StoredReport& report : reports) {
    html += "<tr>" + Cell(ReceivedText(UtcText(report.crash_ms)), "nowrap") +
            Cell(ReceivedText(report.received_utc), "nowrap") + "<td class=\"id\">" +
            ReportLink(report) + "</td>" + Cell(report.app_version) + Cell(report.os_version) +
            Cell(report.computer_name, "nowrap") +
            "<td class=\"dump\"><a class=\"download\" href=\"" +
            EscapeHtml(DumpUrl(report.dump_id)) + "\" download=\"" + EscapeHtml(report.dump_file) +
            "\">Download</a><br><span class=\"size\">" + ByteSizeText(report.dump_bytes) +
            "</span></td></tr>\n";
  }
  return html + "</tbody>\n</table>\n";
}

// The crash the group stands for, as its newest report names it.
std::string TypicalCrash(const StoredReport& report) {
  const Json crash = Json::parse(report.crash_json, nullptr, false);
  return "<h2>Typical crash</h2>\n<table class=\"facts\">\n<tbody>\n<tr><th>Exception</th>" +
         Cell(ExceptionText(crash), "code") + "</tr>\n<tr><th>Where</th>" +
         Cell(CrashWhere(crash), "code") + "</tr>\n<tr><th>Report</th><td class=\"id\">" +
         ReportLink(report) + "</td></tr>\n</tbody>\n</table>\n";
}

std::string StateOption(GroupState state, GroupState current) {
  const std::string name(GroupStateName(state));
  return "<option value=\"" + name + "\"" + (state == current ? " selected" : "") + ">" + name +
         "</option>";
}

// Posts the developer's decision; the token proves the form is the server's own page.
std::string StateForm(const CrashGroup& group, std::string_view token) {
  std::string options;
  for (GroupState state : kChosenStates) options += StateOption(state, group.state);
  return "<h2>Decide</h2>\n<form class=\"filters\" method=\"post\" action=\"" +
         EscapeHtml(GroupStateUrl(group.signature)) + "\">\n<label>State <select name=\"" +
         kStateField + "\">" + options +
         "</select></label>\n<label>Resolved in version "
         "<input type=\"text\" name=\"" +
         kFixedVersionField + "\" value=\"" + EscapeHtml(group.fixed_version) +
         "\" placeholder=\"e.g. 3.2.0\"></label>\n"
         "<input type=\"hidden\" name=\"" +
         kTokenField + "\" value=\"" + EscapeHtml(token) +
         "\">\n<button type=\"submit\">Save</button>\n</form>\n";
}

std::string Heading(const CrashGroup& group) {
  std::string html =
      "<h1>Crash <span class=\"where\">" + EscapeHtml(group.signature) + "</span></h1>\n";
  if (!group.top_function.empty()) {
    html += "<p class=\"lead\">In <span class=\"where\">" + EscapeHtml(group.top_function) +
            "</span></p>\n";
  }
  return html + "<p class=\"lead\"><a href=\"/\">Inbox</a> &middot; <a href=\"" +
         EscapeHtml(QueryUrl("/", {{"signature", group.signature}})) + "\">All " +
         std::to_string(group.count) + (group.count == 1 ? " report" : " reports") +
         " of this crash</a></p>\n";
}

}  // namespace

std::string GroupUrl(std::string_view signature) { return "/groups/" + PercentEncoded(signature); }

std::string GroupStateUrl(std::string_view signature) { return GroupUrl(signature) + "/state"; }

std::string RenderGroupPage(const GroupDetail& detail, std::string_view token) {
  const CrashGroup& group = detail.group;
  std::string page = PageStart("Crash " + group.signature + " - Fennick inbox") + Heading(group);
  page += FactsTable(group);
  page += "<h2>Reports per day, the last " + std::to_string(detail.per_day.size()) +
          " days (UTC)</h2>\n" + DayChartSvg(detail.per_day);
  page += TypicalCrash(detail.typical);
  page += CountTable("Versions", "Version", detail.versions);
  page += CountTable("Operating systems", "OS", detail.operating_systems);
  page += NewestReports(detail.newest);
  return page + StateForm(group, token) + kPageEnd;
}

}  // namespace fennick_ingest
