#ifndef FENNICK_TOOLS_INGEST_INBOX_INBOX_H_
#define FENNICK_TOOLS_INGEST_INBOX_INBOX_H_

#include <cstddef>
#include <string>

#include "paging.h"
#include "report_index.h"

// The inbox page: the crash groups above the list of reports.
namespace fennick_ingest {

// Groups shown on one inbox page unless it asks for more.
inline constexpr size_t kInboxGroupsPerPage = 10;

// One page of the inbox: a page of groups and a page of reports, or (with a signature) a
// page of the reports of one crash.
struct InboxView {
  GroupSlice groups;
  PageRequest group_page{1, kInboxGroupsPerPage};
  ReportSlice reports;
  PageRequest report_page;
  std::string signature;
};

// The inbox page of `view`: each group's signature, count, first and last time seen and
// versions; each report with its crash (exception name, module and offset), a link to its
// own page and one that downloads its dump; links to the pages before and after. Every
// value taken from a report is HTML-escaped.
std::string RenderInboxPage(const InboxView& view);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INBOX_INBOX_H_
