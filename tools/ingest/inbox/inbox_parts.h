#ifndef FENNICK_TOOLS_INGEST_INBOX_INBOX_PARTS_H_
#define FENNICK_TOOLS_INGEST_INBOX_INBOX_PARTS_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "report_filter.h"

// What the inbox's pages share: their frame and style, escaping, cells and addresses.
namespace fennick_ingest {

// What inbox pages may load: their own inline style and nothing else, no script at all; so
// text from a report that ever slipped past escaping could still run nothing. Forms go to
// the server itself only (the inbox's filters, a group's state).
inline constexpr char kInboxContentSecurityPolicy[] =
    "default-src 'none'; style-src 'unsafe-inline'; base-uri 'none'; form-action 'self'; "
    "frame-ancestors 'none'";

// The start of a page titled `title` (escaped here), up to and including <body>.
std::string PageStart(std::string_view title);
inline constexpr char kPageEnd[] = "</body>\n</html>\n";

std::string EscapeHtml(std::string_view text);

// Why a stored report names no crash yet: its dump is analysed after it is stored.
inline constexpr char kWaitingForAnalysis[] = "waiting for its analysis";

// A table cell holding `text`, escaped, or a dash when it is empty.
std::string Cell(std::string_view text, const char* css_class = nullptr);

// The exception's name with the access kind, as the signature names it
// ("EXCEPTION_ACCESS_VIOLATION_WRITE"), from a crash summary's "exception_name" and "access".
std::string ExceptionText(const nlohmann::ordered_json& crash);

// Where the crash happened, as a list shows it beneath the exception: the function that
// names it, else module+offset, else the address.
std::string CrashWhere(const nlohmann::ordered_json& crash);

// A group's state as a badge ("Regressed" in red, "Resolved in version 3.2"); an open
// group's plain text.
std::string StateBadge(GroupState state, std::string_view fixed_version);

// "1.5 KiB" and the like.
std::string ByteSizeText(uint64_t bytes);

// "2024-05-01T12:00:00.123Z" as "2024-05-01 12:00:00", the way a person reads it.
std::string ReceivedText(std::string_view utc);

// Where a dump is downloaded from: /reports/<report folder name, percent-encoded>/dump. The
// path segment, once decoded, is the folder name, which is never "." or "..", so neither
// a browser nor the server takes it for a step up.
std::string DumpUrl(std::string_view dump_id);

// The report's own page: /reports/<the same segment as DumpUrl>.
std::string ReportUrl(std::string_view dump_id);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INBOX_INBOX_PARTS_H_
