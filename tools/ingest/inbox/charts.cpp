#include "charts.h"

#include <algorithm>

#include "inbox_parts.h"

namespace fennick_ingest {
namespace {

// A day without reports: lower than any bar, so that it never reads as one.
constexpr int kZeroMarkHeight = 4;
constexpr int kSmallestBarHeight = 6;

// Where the bars go, in the drawing's units.
struct BarsFrame {
  int left = 0;
  int top = 0;
  int pitch = 0;  // from one bar's left edge to the next one's
  int bar_width = 0;
};

constexpr BarsFrame kSparklineFrame{0, 0, 4, 3};
constexpr char kSparklineSize[] = "width=\"70\" height=\"20\"";

// Room for the count labels on the left and the dates beneath.
constexpr BarsFrame kChartFrame{44, 8, 24, 20};
constexpr int kChartDatesHeight = 22;

// The height of the bar of `count`, the highest count `most` drawn kBarsHeight high; rounded,
// but never so low that a day with reports looks like one without.
int BarHeight(size_t count, size_t most) {
  if (count == 0 || most == 0) return kZeroMarkHeight;
  const auto height = static_cast<int>((count * kBarsHeight + most / 2) / most);
  return std::max(height, kSmallestBarHeight);
}

std::string DayTitle(const DayCount& day) {
  return EscapeHtml(day.date) + ": " + std::to_string(day.count) +
         (day.count == 1 ? " report" : " reports");
}

size_t MostOnADay(const std::vector<DayCount>& days) {
  size_t most = 0;
  for (const DayCount& day : days) most = std::max(most, day.count);
  return most;
}

// One <rect> per day, oldest on the left, standing on the base line.
std::string Bars(const std::vector<DayCount>& days, const BarsFrame& frame) {
  const size_t most = MostOnADay(days);
  const int base = frame.top + kBarsHeight;
  std::string bars;
  int x = frame.left;
  for (const DayCount& day : days) {
    const int height = BarHeight(day.count, most);
    bars += std::string("<rect") + (day.count == 0 ? " class=\"zero\"" : "") + " x=\"" +
            std::to_string(x) + "\" y=\"" + std::to_string(base - height) + "\" width=\"" +
            std::to_string(frame.bar_width) + "\" height=\"" + std::to_string(height) +
            "\"><title>" + DayTitle(day) + "</title></rect>";
    x += frame.pitch;
  }
  return bars;
}

std::string Text(int x, int y, const char* anchor, const std::string& text) {
  return "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" text-anchor=\"" +
         anchor + "\">" + EscapeHtml(text) + "</text>";
}

std::string ViewBox(int width, int height) {
  return "viewBox=\"0 0 " + std::to_string(width) + " " + std::to_string(height) + "\"";
}

}  // namespace

std::string SparklineSvg(const std::vector<DayCount>& days) {
  if (days.empty()) return std::string();
  const int width = static_cast<int>(days.size()) * kSparklineFrame.pitch;
  // Stretched to the row's small box: bars need no true aspect, and there is no text.
  return std::string("<svg class=\"sparkline\" ") + kSparklineSize + " " +
         ViewBox(width, kBarsHeight) + " preserveAspectRatio=\"none\" role=\"img\" aria-label=\"" +
         "Reports per day, " + EscapeHtml(days.front().date) + " to " +
         EscapeHtml(days.back().date) + "\">" + Bars(days, kSparklineFrame) + "</svg>";
}

std::string DayChartSvg(const std::vector<DayCount>& days) {
  if (days.empty()) return "<p class=\"none\">No days to draw.</p>\n";
  const BarsFrame& frame = kChartFrame;
  const int right = frame.left + static_cast<int>(days.size()) * frame.pitch;
  const int base = frame.top + kBarsHeight;
  const int height = base + kChartDatesHeight;
  const int label_x = frame.left - 6;
  std::string svg = "<svg class=\"chart\" width=\"" + std::to_string(right) + "\" height=\"" +
                    std::to_string(height) + "\" " + ViewBox(right, height) +
                    " role=\"img\" aria-label=\"Reports per day, " + EscapeHtml(days.front().date) +
                    " to " + EscapeHtml(days.back().date) + "\">";
  svg += Bars(days, frame);
  svg += "<line class=\"axis\" x1=\"" + std::to_string(frame.left) + "\" y1=\"" +
         std::to_string(base) + "\" x2=\"" + std::to_string(right) + "\" y2=\"" +
         std::to_string(base) + "\"/>";
  svg += Text(label_x, frame.top + 10, "end", std::to_string(MostOnADay(days)));
  svg += Text(label_x, base, "end", "0");
  svg += Text(frame.left, height - 4, "start", days.front().date);
  svg += Text(right, height - 4, "end", days.back().date);
  return svg + "</svg>\n";
}

}  // namespace fennick_ingest
