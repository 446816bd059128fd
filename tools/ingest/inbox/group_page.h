#ifndef FENNICK_TOOLS_INGEST_INBOX_GROUP_PAGE_H_
#define FENNICK_TOOLS_INGEST_INBOX_GROUP_PAGE_H_

#include <string>
#include <string_view>

#include "crash_groups.h"

// The page of one crash group, and the form that records a decision about it.
namespace fennick_ingest {

// The fields of the form that changes a group's state (POST GroupStateUrl): "state" (open,
// resolved or ignored), "fixed_version" (with resolved; may be empty) and "token" (the
// server's own, kept from any other site's page).
inline constexpr char kStateField[] = "state";
inline constexpr char kFixedVersionField[] = "fixed_version";
inline constexpr char kTokenField[] = "token";

// The group's page: its counts of reports and machines; first and last crash (with the
// receive times beside them); a chart of the reports of the last kChartDays days drawn as
// inline SVG; the reports per version in version order with the first and last version;
// the operating systems; the newest reports; the typical report's crash; its state (and
// regressed shown as such) with the form that changes it, carrying `token`.
std::string RenderGroupPage(const GroupDetail& detail, std::string_view token);

// "/groups/<signature, percent-encoded>", and the address its state form posts to.
std::string GroupUrl(std::string_view signature);
std::string GroupStateUrl(std::string_view signature);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INBOX_GROUP_PAGE_H_
