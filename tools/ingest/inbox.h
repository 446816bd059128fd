#ifndef FENNICK_TOOLS_INGEST_INBOX_H_
#define FENNICK_TOOLS_INGEST_INBOX_H_

#include <string>
#include <string_view>
#include <vector>

#include "stored_reports.h"

// The inbox's pages: the HTML list, the JSON list and the address of each dump.
namespace fennick_ingest {

// What inbox pages may load: their own inline style and nothing else, no script at all; so
// text from a report that ever slipped past escaping could still run nothing.
inline constexpr char kInboxContentSecurityPolicy[] =
    "default-src 'none'; style-src 'unsafe-inline'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

// The inbox page: every report with a link that downloads its dump. Every value taken from
// a report is HTML-escaped.
std::string RenderInboxPage(const std::vector<StoredReport>& reports);

// The same list as a JSON array.
std::string RenderReportsJson(const std::vector<StoredReport>& reports);

// Where a dump is downloaded from: /reports/<report folder name, percent-encoded>/dump. The
// path segment, once decoded, is the folder name, which is never "." or "..", so neither
// a browser nor the server takes it for a step up.
std::string DumpUrl(std::string_view dump_id);

std::string EscapeHtml(std::string_view text);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INBOX_H_
