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
  // this_week > factor * (before / 3), kept in whole numbers.
  return this_week >= kRisingMinimum && this_week * 3 > kRisingFactor * three_weeks_before;
}

}  // namespace fennick_ingest
