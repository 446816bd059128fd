#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "charts.h"

namespace {

using fennick_ingest::DayCount;

struct Bar {
  bool zero = false;
  int base = 0;  // where it stands: y + height
  int height = 0;
  std::string title;
};

std::vector<Bar> BarsOf(const std::string& svg) {
  static const std::regex kRect(
      R"re(<rect( class="zero")? x="\d+" y="(\d+)" width="\d+" height="(\d+)"><title>([^<]*)</title></rect>)re");
  std::vector<Bar> bars;
  for (std::sregex_iterator it(svg.begin(), svg.end(), kRect), end; it != end; ++it) {
    const int y = std::stoi((*it)[2]);
    const int height = std::stoi((*it)[3]);
    bars.push_back({(*it)[1].matched, y + height, height, (*it)[4]});
  }
  return bars;
}

std::vector<DayCount> Days(const std::vector<size_t>& counts) {
  std::vector<DayCount> days;
  for (size_t i = 0; i < counts.size(); ++i) {
    days.push_back({"2026-12-" + std::to_string(10 + i), counts[i]});
  }
  return days;
}

// Both charts draw every day as a bar on one base line, the highest count kBarsHeight high
// and the others in proportion; a day without reports is a lower mark than any bar.
TEST(IngestChartsTest, DrawsEveryDayInProportion) {
  struct Case {
    std::vector<size_t> counts;
    std::vector<int> heights;
  };
  const Case cases[] = {
      {{4, 2, 0, 1}, {100, 50, 4, 25}},
      {{3}, {100}},
      {{0, 0}, {4, 4}},
      {{1000, 1}, {100, 6}},  // one report still shows above a day without
      {{3, 2}, {100, 67}},
  };
  const std::function<std::string(const std::vector<DayCount>&)> charts[] = {
      fennick_ingest::SparklineSvg, fennick_ingest::DayChartSvg};
  for (const auto& chart : charts) {
    for (const Case& c : cases) {
      const std::vector<Bar> bars = BarsOf(chart(Days(c.counts)));
      ASSERT_EQ(bars.size(), c.counts.size());
      for (size_t i = 0; i < bars.size(); ++i) {
        EXPECT_EQ(bars[i].height, c.heights[i]) << "day " << i;
        EXPECT_EQ(bars[i].zero, c.counts[i] == 0) << "day " << i;
        EXPECT_EQ(bars[i].base, bars[0].base) << "day " << i;
      }
    }
  }
}

TEST(IngestChartsTest, TitlesNameTheDayEscaped) {
  const std::vector<Bar> bars =
      BarsOf(fennick_ingest::SparklineSvg({{"2026-12-01", 1}, {"<b>&", 2}}));
  ASSERT_EQ(bars.size(), 2u);
  EXPECT_EQ(bars[0].title, "2026-12-01: 1 report");
  EXPECT_EQ(bars[1].title, "&lt;b&gt;&amp;: 2 reports");
}

TEST(IngestChartsTest, LabelsTheFirstAndLastDate) {
  const std::string svg = fennick_ingest::DayChartSvg(Days({1, 0, 5}));
  EXPECT_NE(svg.find(">2026-12-10</text>"), std::string::npos) << svg;
  EXPECT_NE(svg.find(">2026-12-12</text>"), std::string::npos) << svg;
  EXPECT_NE(svg.find(">5</text>"), std::string::npos) << svg;  // the highest count
}

}  // namespace
