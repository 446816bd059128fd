#ifndef FENNICK_TOOLS_INGEST_INBOX_REPORT_PAGE_H_
#define FENNICK_TOOLS_INGEST_INBOX_REPORT_PAGE_H_

#include <string>
#include <string_view>
#include <vector>

#include "symbol_quarantine.h"

// The page of one report: everything its report.json holds.
namespace fennick_ingest {

// The page of the report `dump_id` whose report.json is `record`: its crash (or why the
// dump names none), its fields, everything the reader found in the dump with the module
// list, and a link that downloads the dump; with the files of `set_aside` that its stack
// lacks, and why they are set aside. Every value is HTML-escaped.
std::string RenderReportPage(std::string_view dump_id, std::string_view record,
                             const std::vector<QuarantinedFile>& set_aside);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INBOX_REPORT_PAGE_H_
