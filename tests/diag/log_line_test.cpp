#include "diag/log_line.h"

#include <gtest/gtest.h>

#include "platform/text_conversion.h"
#include "support/stderr_capture.h"

TEST(LogLineTest, WritesPrefixMessageAndOneLineFeed) {
  // Percent signs stay literal; characters beyond ASCII, in and outside the Basic
  // Multilingual Plane, arrive whole as UTF-8.
  const std::pair<WideString, std::string> cases[] = {
      {FENNICK_WIDE(""), "[Fennick] \n"},
      {FENNICK_WIDE("%s %d"), "[Fennick] %s %d\n"},
      {FENNICK_WIDE("ends\n"), "[Fennick] ends\n\n"},
      {Utf8ToWide("D\xC3\xA9p\xC3\xB4t \xF0\x9F\x98\x80.dmp"),
       "[Fennick] D\xC3\xA9p\xC3\xB4t \xF0\x9F\x98\x80.dmp\n"}};
  for (const auto& [message, expected] : cases) {
    StderrCapture capture;
    LogLine(message);
    EXPECT_EQ(capture.Text(), expected);
  }
}
