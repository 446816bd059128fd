#ifndef FENNICK_TOOLS_INGEST_INBOX_INBOX_H_
#define FENNICK_TOOLS_INGEST_INBOX_INBOX_H_

#include <cstddef>
#include <string>

#include "paging.h"
#include "report_filter.h"
#include "report_index.h"

// The inbox page: the crash groups above the list of reports.
namespace fennick_ingest {

// Groups shown on one inbox page unless it asks for more.
inline constexpr size_t kInboxGroupsPerPage = 10;

// One page of the inbox: a page of groups and a page of reports of the list `query` asks
// for, or (with a signature in its filter) a page of the reports of one crash.
struct InboxView {
  ListQuery query;
  GroupSlice groups;
  PageRequest group_page{1, kInboxGroupsPerPage};
  ReportSlice reports;
  PageRequest report_page;
};

// The inbox page of `view`: the filter form; the count of undecodable dumps with a link to
// them; each group's signature (linking its page), count, devices, sparkline, markers,
// state, first and last crash and versions, with links that sort the list; each report with
// its crash, a link to its page, its group's and one that downloads its dump; links to the
// pages before and after. Every value taken from a report is HTML-escaped.
std::string RenderInboxPage(const InboxView& view);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INBOX_INBOX_H_
