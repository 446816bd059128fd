#ifndef FENNICK_TOOLS_INGEST_INBOX_CHARTS_H_
#define FENNICK_TOOLS_INGEST_INBOX_CHARTS_H_

#include <string>
#include <vector>

#include "crash_groups.h"

// A crash's reports per day drawn as inline SVG: no script and nothing loaded, as the
// inbox's pages allow. Every day is a bar with a <title> naming its date and count; a day
// without reports is a thin mark on the base line, so gaps read as days, not as missing data.
namespace fennick_ingest {

// The height of the tallest bar, in the drawing's units; the others are proportional.
inline constexpr int kBarsHeight = 100;

// A small chart for a row of the inbox's list.
std::string SparklineSvg(const std::vector<DayCount>& days);

// The chart of a group's page, its first and last date beneath and its highest count beside.
std::string DayChartSvg(const std::vector<DayCount>& days);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INBOX_CHARTS_H_
