#include "inbox.h"

#include <functional>
#include <nlohmann/json.hpp>

#include "inbox_parts.h"
#include "json_members.h"

namespace fennick_ingest {
namespace {

std::string Plural(size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// The address of the inbox page showing `reports` and `groups` of `view`'s list.
std::string InboxUrl(const InboxView& view, const PageRequest& reports, const PageRequest& groups) {
  const auto unless = [](size_t value, size_t usual) {
    return value == usual ? std::string() : std::to_string(value);
  };
  return QueryUrl("/", {{"signature", view.signature},
                        {"page", unless(reports.page, 1)},
                        {"per_page", unless(reports.per_page, kDefaultPerPage)},
                        {"groups_page", unless(groups.page, 1)},
                        {"groups_per_page", unless(groups.per_page, kInboxGroupsPerPage)}});
}

// "Reports 51–100 of 10000", with links to the pages on either side where there are any.
std::string Pager(const char* noun, const PageRequest& at, size_t shown, size_t total,
                  const std::function<std::string(size_t page)>& url_of, const char* back,
                  const char* forward) {
  std::string pager = std::string("<p class=\"pager\">") + noun + " ";
  pager += shown == 0
               ? std::string("none")
               : std::to_string(at.first() + 1) + "&ndash;" + std::to_string(at.first() + shown);
  pager += " of " + std::to_string(total);
  if (at.page > 1) {
    pager += " &middot; <a href=\"" + EscapeHtml(url_of(at.page - 1)) + "\">" + back + "</a>";
  }
  if (HasNextPage(at, total)) {
    pager += " &middot; <a href=\"" + EscapeHtml(url_of(at.page + 1)) + "\">" + forward + "</a>";
  }
  return pager + "</p>\n";
}

std::string GroupsView(const InboxView& view) {
  std::string html = "<h2>Crashes, most frequent first</h2>\n";
  if (view.groups.total == 0) {
    return html + "<div class=\"empty\">No report names a crash yet.</div>\n";
  }
  html +=
      "<table>\n<thead><tr><th>Signature</th><th>Top function</th>"
      "<th class=\"count\">Reports</th>"
      "<th>First seen (UTC)</th><th>Last seen (UTC)</th><th>Versions</th>"
      "<th class=\"count\">Devices</th></tr></thead>\n<tbody>\n";
  for (const CrashGroup& group : view.groups.groups) {
    std::string versions;
    for (const std::string& version : group.app_versions) {
      versions += (versions.empty() ? "" : ", ") + version;
    }
    InboxView only_group;
    only_group.signature = group.signature;
    html += "<tr><td class=\"code\"><a href=\"" +
            EscapeHtml(InboxUrl(only_group, {}, only_group.group_page)) + "\">" +
            EscapeHtml(group.signature) + "</a></td>" + Cell(group.top_function, "code") +
            "<td class=\"count\">" +
            std::to_string(group.count) + "</td>" +
            Cell(ReceivedText(group.first_received_utc), "nowrap") +
            Cell(ReceivedText(group.last_received_utc), "nowrap") + Cell(versions) +
            "<td class=\"count\">" + std::to_string(group.devices) + "</td></tr>\n";
  }
  html += "</tbody>\n</table>\n";
  const auto url_of = [&](size_t page) {
    return InboxUrl(view, view.report_page, {page, view.group_page.per_page});
  };
  return html + Pager("Crashes", view.group_page, view.groups.groups.size(), view.groups.total,
                      url_of, "more frequent", "less frequent");
}

// The exception's name over where it happened (the function that names it, else
// module+offset, else the address); for a
// dump that names no crash, why.
std::string CrashCell(const StoredReport& report) {
  const nlohmann::json crash = nlohmann::json::parse(report.crash_json, nullptr, false);
  if (!crash.is_object()) {
    const std::string why = report.analysis_error.empty() ? "not analysed" : report.analysis_error;
    return "<td><span class=\"none\">no crash named</span><br><span class=\"error\">" +
           EscapeHtml(why) + "</span></td>";
  }
  const std::string module = TextMember(crash, "module");
  const std::string function = TextMember(crash, "top_function");
  const std::string where = !function.empty() ? function
                            : module.empty()  ? TextMember(crash, "crash_address")
                                              : module + "+" + TextMember(crash, "module_offset");
  return "<td><span class=\"exception\">" + EscapeHtml(TextMember(crash, "exception_name")) +
         "</span><br><span class=\"where\">" + EscapeHtml(where) + "</span></td>";
}

std::string ReportsView(const InboxView& view) {
  std::string html;
  if (view.reports.reports.empty()) {
    html += "<div class=\"empty\">No reports on this page.</div>\n";
  } else {
    html +=
        "<table>\n<thead><tr><th>Received (UTC)</th><th>Dump id</th><th>Crash</th>"
        "<th>Application</th><th>OS</th><th>Computer</th><th>Device id</th><th>Process</th>"
        "<th>Dump</th></tr></thead>\n<tbody>\n";
    for (const StoredReport& report : view.reports.reports) {
      html += "<tr>" + Cell(ReceivedText(report.received_utc), "nowrap") +
              "<td class=\"id\"><a href=\"" + EscapeHtml(ReportUrl(report.dump_id)) + "\">" +
              EscapeHtml(report.dump_id) + "</a></td>" + CrashCell(report) +
              Cell(report.app_version) + Cell(report.os_version) +
              Cell(report.computer_name, "nowrap") + Cell(report.device_id, "id") +
              Cell(report.process_name) + "<td class=\"dump\"><a class=\"download\" href=\"" +
              EscapeHtml(DumpUrl(report.dump_id)) + "\" download=\"" +
              EscapeHtml(report.dump_file) + "\">Download</a><br><span class=\"size\">" +
              ByteSizeText(report.dump_bytes) + "</span></td></tr>\n";
    }
    html += "</tbody>\n</table>\n";
  }
  const auto url_of = [&](size_t page) {
    return InboxUrl(view, {page, view.report_page.per_page}, view.group_page);
  };
  return html + Pager("Reports", view.report_page, view.reports.reports.size(), view.reports.total,
                      url_of, "newer", "older");
}

}  // namespace

std::string RenderInboxPage(const InboxView& view) {
  std::string page = PageStart("Fennick inbox") + "<h1>Fennick inbox</h1>\n";
  if (!view.signature.empty()) {
    return page + "<p class=\"lead\">" + Plural(view.reports.total, "report") +
           " of the crash <span class=\"where\">" + EscapeHtml(view.signature) +
           "</span>, newest first. <a href=\"/\">All reports</a></p>\n" + ReportsView(view) +
           kPageEnd;
  }
  page += "<p class=\"lead\">" + Plural(view.reports.total, "report") +
          " received. A dump holds the memory of the crashed process: handle it as "
          "confidential.</p>\n";
  if (view.reports.total == 0) {
    return page + "<div class=\"empty\">No reports yet.</div>\n" + kPageEnd;
  }
  return page + GroupsView(view) + "<h2>Reports, newest first</h2>\n" + ReportsView(view) +
         kPageEnd;
}

}  // namespace fennick_ingest
