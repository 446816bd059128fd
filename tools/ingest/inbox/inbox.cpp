#include "inbox.h"

#include <functional>
#include <nlohmann/json.hpp>

#include "charts.h"
#include "group_page.h"
#include "inbox_filters.h"
#include "inbox_parts.h"
#include "json_members.h"

namespace fennick_ingest {
namespace {

// The inbox's first page of groups, as a link that leaves the groups' paging out asks for it.
constexpr PageRequest kFirstGroups{1, kInboxGroupsPerPage};

std::string Plural(size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// How the groups list reads in each of its orders.
struct SortText {
  GroupSort sort;
  const char* column;
  const char* heading;
  const char* back;
  const char* forward;
};

constexpr SortText kSortTexts[] = {
    {GroupSort::kReports, "Reports", "most frequent first", "more frequent", "less frequent"},
    {GroupSort::kMachines, "Machines", "on the most machines first", "on more machines",
     "on fewer machines"},
    {GroupSort::kLastSeen, "Last crash (UTC)", "latest crash first", "more recent", "less recent"},
    {GroupSort::kFirstSeen, "First crash (UTC)", "newest crash first", "newer", "older"},
};

const SortText& TextOf(GroupSort sort) {
  for (const SortText& text : kSortTexts) {
    if (text.sort == sort) return text;
  }
  return kSortTexts[0];
}

// The address of the inbox page showing the list `query` asks for, at the pages `reports`
// and `groups` of it.
std::string InboxUrl(const ListQuery& query, const PageRequest& reports,
                     const PageRequest& groups) {
  const auto unless = [](size_t value, size_t usual) {
    return value == usual ? std::string() : std::to_string(value);
  };
  auto parameters = ListParameters(query);
  parameters.insert(parameters.end(),
                    {{"page", unless(reports.page, 1)},
                     {"per_page", unless(reports.per_page, kDefaultPerPage)},
                     {"groups_page", unless(groups.page, 1)},
                     {"groups_per_page", unless(groups.per_page, kInboxGroupsPerPage)}});
  return QueryUrl("/", parameters);
}

std::string Link(const std::string& url, const std::string& html, const char* css_class = nullptr) {
  return "<a" + (css_class ? std::string(" class=\"") + css_class + "\"" : std::string()) +
         " href=\"" + EscapeHtml(url) + "\">" + html + "</a>";
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
  if (at.page > 1) pager += " &middot; " + Link(url_of(at.page - 1), back);
  if (HasNextPage(at, total)) pager += " &middot; " + Link(url_of(at.page + 1), forward);
  return pager + "</p>\n";
}

// A column heading that orders the groups by it, keeping the filters and the reports' page.
std::string SortHeading(const InboxView& view, const SortText& text) {
  ListQuery sorted = view.query;
  sorted.sort = text.sort;
  const bool current = view.query.sort == text.sort;
  const std::string url = InboxUrl(sorted, view.report_page, {1, view.group_page.per_page});
  return Link(url, std::string(text.column) + (current ? " &darr;" : ""),
              current ? "sorted" : nullptr);
}

std::string Markers(const CrashGroup& group) {
  std::string markers;
  if (group.is_new) markers += " <span class=\"marker new\">new</span>";
  if (group.rising) markers += " <span class=\"marker rising\">rising</span>";
  return markers;
}

std::string Joined(const std::vector<std::string>& texts) {
  std::string joined;
  for (const std::string& text : texts) joined += (joined.empty() ? "" : ", ") + text;
  return joined;
}

std::string GroupRow(const InboxView& view, const CrashGroup& group) {
  ListQuery its_reports = view.query;
  its_reports.filter.signature = group.signature;
  return "<tr><td class=\"code\">" + Link(GroupUrl(group.signature), EscapeHtml(group.signature)) +
         Markers(group) + "</td>" + Cell(group.top_function, "code") + "<td class=\"count\">" +
         Link(InboxUrl(its_reports, {}, kFirstGroups), std::to_string(group.count)) + "</td>" +
         "<td class=\"count\">" + std::to_string(group.devices) + "</td><td>" +
         SparklineSvg(group.per_day) + "</td><td>" + StateBadge(group.state, group.fixed_version) +
         "</td>" + Cell(ReceivedText(group.first_crash_utc), "nowrap") +
         Cell(ReceivedText(group.last_crash_utc), "nowrap") + Cell(Joined(group.app_versions)) +
         "</tr>\n";
}

std::string GroupsView(const InboxView& view) {
  const SortText& order = TextOf(view.query.sort);
  std::string html = std::string("<h2>Crashes, ") + order.heading + "</h2>\n";
  if (view.groups.total == 0) {
    return html + "<div class=\"empty\">No report of this list names a crash.</div>\n";
  }
  const auto heading = [&](GroupSort sort, const char* css_class = nullptr) {
    return std::string(css_class ? "<th class=\"count\">" : "<th>") +
           SortHeading(view, TextOf(sort)) + "</th>";
  };
  html += "<table>\n<thead><tr><th>Signature</th><th>Top function</th>" +
          heading(GroupSort::kReports, "count") + heading(GroupSort::kMachines, "count") +
          "<th>Last " + std::to_string(kSparklineDays) + " days</th><th>State</th>" +
          heading(GroupSort::kFirstSeen) + heading(GroupSort::kLastSeen) +
          "<th>Versions</th></tr></thead>\n<tbody>\n";
  for (const CrashGroup& group : view.groups.groups) html += GroupRow(view, group);
  html += "</tbody>\n</table>\n";
  const auto url_of = [&](size_t page) {
    return InboxUrl(view.query, view.report_page, {page, view.group_page.per_page});
  };
  return html + Pager("Crashes", view.group_page, view.groups.groups.size(), view.groups.total,
                      url_of, order.back, order.forward);
}

// The exception's name (as the signature names it, linking the group's page) over where it
// happened; for a dump that names no crash, why.
std::string CrashCell(const StoredReport& report) {
  const nlohmann::ordered_json crash =
      nlohmann::ordered_json::parse(report.crash_json, nullptr, false);
  if (!crash.is_object()) {
    const std::string why =
        report.analysis_error.empty() ? kWaitingForAnalysis : report.analysis_error;
    return "<td><span class=\"none\">no crash named</span><br><span class=\"error\">" +
           EscapeHtml(why) + "</span></td>";
  }
  std::string exception = EscapeHtml(ExceptionText(crash));
  if (!report.signature.empty()) exception = Link(GroupUrl(report.signature), exception);
  return "<td><span class=\"exception\">" + exception + "</span><br><span class=\"where\">" +
         EscapeHtml(CrashWhere(crash)) + "</span></td>";
}

std::string ReportRow(const StoredReport& report) {
  return "<tr>" + Cell(ReceivedText(UtcText(report.crash_ms)), "nowrap") +
         Cell(ReceivedText(report.received_utc), "nowrap") + "<td class=\"id\">" +
         Link(ReportUrl(report.dump_id), EscapeHtml(report.dump_id)) + "</td>" + CrashCell(report) +
         Cell(report.app_version) + Cell(report.os_version) + Cell(report.computer_name, "nowrap") +
         Cell(report.device_id, "id") + Cell(report.process_name) +
         "<td class=\"dump\"><a class=\"download\" href=\"" + EscapeHtml(DumpUrl(report.dump_id)) +
         "\" download=\"" + EscapeHtml(report.dump_file) +
         "\">Download</a><br><span class=\"size\">" + ByteSizeText(report.dump_bytes) +
         "</span></td></tr>\n";
}

std::string ReportsView(const InboxView& view) {
  std::string html;
  if (view.reports.reports.empty()) {
    html += "<div class=\"empty\">No reports on this page.</div>\n";
  } else {
    html +=
        "<table>\n<thead><tr><th>Crashed (UTC)</th><th>Received (UTC)</th><th>Dump id</th>"
        "<th>Crash</th><th>Application</th><th>OS</th><th>Computer</th><th>Device id</th>"
        "<th>Process</th><th>Dump</th></tr></thead>\n<tbody>\n";
    for (const StoredReport& report : view.reports.reports) html += ReportRow(report);
    html += "</tbody>\n</table>\n";
  }
  const auto url_of = [&](size_t page) {
    return InboxUrl(view.query, {page, view.report_page.per_page}, view.group_page);
  };
  return html + Pager("Reports", view.report_page, view.reports.reports.size(), view.reports.total,
                      url_of, "newer", "older");
}

// The list without one of its filters, from its first page.
std::string UrlWithout(const InboxView& view, const std::function<void(ReportFilter&)>& drop) {
  ListQuery wider = view.query;
  drop(wider.filter);
  return InboxUrl(wider, {1, view.report_page.per_page}, {1, view.group_page.per_page});
}

// The reports of one crash, with the way to its page and back to the whole list.
std::string CrashReportsPage(const InboxView& view) {
  const std::string& signature = view.query.filter.signature;
  return "<p class=\"lead\">" + Plural(view.reports.total, "report") +
         " of the crash <span class=\"where\">" + EscapeHtml(signature) +
         "</span>, newest first. " + Link(GroupUrl(signature), "The crash&rsquo;s page") +
         " &middot; " +
         Link(UrlWithout(view, [](ReportFilter& f) { f.signature.clear(); }), "All reports") +
         "</p>\n" + ReportsView(view);
}

// The dumps that name no crash: they belong to no group, so the list of groups says nothing
// of them.
std::string UndecodableReportsPage(const InboxView& view) {
  return "<p class=\"lead\">" + Plural(view.reports.total, "dump") +
         (view.reports.total == 1 ? " that names" : " that name") + " no crash, newest first. " +
         Link(UrlWithout(view, [](ReportFilter& f) { f.undecodable = false; }), "All reports") +
         "</p>\n" + FilterForm(view.query) + ReportsView(view);
}

std::string UndecodableNote(const InboxView& view) {
  const size_t count = view.groups.undecodable;
  std::string note = "<p class=\"pager\">" + Plural(count, "dump") +
                     (count == 1 ? " names" : " name") + " no crash";
  if (count > 0) {
    ListQuery undecodable = view.query;
    undecodable.filter.undecodable = true;
    note += " &middot; " + Link(InboxUrl(undecodable, {1, view.report_page.per_page}, kFirstGroups),
                                "list the undecodable dumps");
  }
  return note + "</p>\n";
}

}  // namespace

std::string RenderInboxPage(const InboxView& view) {
  std::string page = PageStart("Fennick inbox") + "<h1>Fennick inbox</h1>\n";
  if (!view.query.filter.signature.empty()) return page + CrashReportsPage(view) + kPageEnd;
  if (view.query.filter.undecodable) return page + UndecodableReportsPage(view) + kPageEnd;
  const bool filtered = !(view.query.filter == ReportFilter{});
  page += "<p class=\"lead\">" + Plural(view.reports.total, "report") +
          (filtered ? (view.reports.total == 1 ? " matches the filters" : " match the filters")
                    : " received") +
          ". A dump holds the memory of the crashed process: handle it as confidential.</p>\n";
  page += FilterForm(view.query);
  if (view.reports.total == 0) {
    return page + "<div class=\"empty\">" +
           (filtered ? "No report matches these filters." : "No reports yet.") + "</div>\n" +
           kPageEnd;
  }
  return page + UndecodableNote(view) + GroupsView(view) + "<h2>Reports, newest first</h2>\n" +
         ReportsView(view) + kPageEnd;
}

}  // namespace fennick_ingest
