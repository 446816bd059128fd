#include "crash_groups.h"

namespace fennick_ingest {
namespace {

// Wide enough for any number a version part holds in practice (a build number of 20 digits
// still orders right); longer runs of digits order as text.
constexpr size_t kNumberWidth = 20;

}  // namespace

std::string VersionSortKey(std::string_view version) {
  // Each part becomes "0" and its number padded to a fixed width, or "1" and its text, so
  // that numbers order by value and before words; '.' between parts orders before both, so
  // "3.10" comes before "3.10.1".
  std::string key;
  while (true) {
    const size_t dot = version.find('.');
    const std::string_view part = version.substr(0, dot);
    const bool number = !part.empty() && part.size() <= kNumberWidth &&
                        part.find_first_not_of("0123456789") == std::string_view::npos;
    if (number) {
      key += '0';
      key.append(kNumberWidth - part.size(), '0');
    } else {
      key += '1';
    }
    key += part;
    if (dot == std::string_view::npos) return key;
    key += '.';
    version.remove_prefix(dot + 1);
  }
}

bool IsRising(size_t this_week, size_t three_weeks_before) {
  // this_week > factor * (before / weeks), kept in whole numbers.
  constexpr size_t kWeeksBefore = kRisingDaysBefore / kRisingDays;
  return this_week >= kRisingMinimum &&
         this_week * kWeeksBefore > kRisingFactor * three_weeks_before;
}

bool IsNewGroup(int64_t first_crash_ms, const std::string& first_version_key,
                const std::string& newest_version_key, bool older_version_named, int64_t now_ms) {
  const bool first_in_newest =
      older_version_named && !first_version_key.empty() && first_version_key == newest_version_key;
  return first_in_newest || first_crash_ms >= now_ms - kNewGroupDays * kDayMs;
}

std::string DateOfDay(int64_t day) { return UtcText(day * kDayMs).substr(0, 10); }

}  // namespace fennick_ingest
