#ifndef FENNICK_TOOLS_INGEST_INDEX_REPORT_FILTER_H_
#define FENNICK_TOOLS_INGEST_INDEX_REPORT_FILTER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Which reports a list shows and in what order, as the inbox and the API ask for them.
namespace fennick_ingest {

inline constexpr int64_t kDayMs = 86'400'000;

// What a developer decided about a crash. A group nobody decided about is open; a resolved
// one that crashes again (from its fix version on, or at all when none was given) is
// regressed.
enum class GroupState { kOpen, kResolved, kIgnored, kRegressed };

// "open", "resolved", "ignored", "regressed".
std::string_view GroupStateName(GroupState state);
std::optional<GroupState> ParseGroupState(std::string_view name);

// The order of a list of groups: "reports" (the most reports first, the default),
// "machines" (the most devices first), "last_seen" (the latest crash first) or
// "first_seen" (the newest crash first by its first report).
enum class GroupSort { kReports, kMachines, kLastSeen, kFirstSeen };
std::string_view GroupSortName(GroupSort sort);

// The reports a list holds; an empty member selects every report.
struct ReportFilter {
  std::string signature;            // exactly this crash
  std::string app_version;          // exact
  std::string computer_name;        // exact
  std::string device_id;            // exact
  std::string os;                   // exact, the os_version field
  std::optional<int64_t> since_ms;  // crash time at or after, ms since 1970 UTC
  std::optional<int64_t> until_ms;  // crash time at or before
  std::string q;                    // text found (ignoring ASCII case) in the signature,
                                    // top function, dump_id or any field
  std::optional<GroupState> state;  // the state of the report's group
  bool undecodable = false;         // only the dumps that name no crash

  bool operator==(const ReportFilter&) const = default;
};

struct ListQuery {
  ReportFilter filter;
  GroupSort sort = GroupSort::kReports;
};

// The query parameters that ParseListQuery reads, beside a list's page parameters.
inline constexpr std::string_view kListParameters[] = {
    "signature", "app_version", "computer_name", "device_id", "os",         "since",
    "until",     "q",           "state",         "sort",      "undecodable"};

// The list a request's `parameters` (name, value) ask for; nullopt with `error` set to
// "<name>: <reason>" when a value is malformed. Names other than kListParameters are left
// to the caller.
std::optional<ListQuery> ParseListQuery(
    const std::vector<std::pair<std::string, std::string>>& parameters, std::string* error);

// The parameters that ask for `query` again (empty values and the default sort left out),
// for the links of a list's pages.
std::vector<std::pair<std::string, std::string>> ListParameters(const ListQuery& query);

// An ISO 8601 date ("2026-12-01", the day's start) or UTC date and time
// ("2026-12-01T10:00", seconds and a fraction optional, then "Z" or an offset such as
// "+02:00") as ms since 1970 UTC; nullopt for anything else.
std::optional<int64_t> ParseIsoTime(std::string_view text);

// `ms` since 1970 as "2026-12-01T10:00:00.000Z".
std::string UtcText(int64_t ms);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INDEX_REPORT_FILTER_H_
