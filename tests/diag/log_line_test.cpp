#include "diag/log_line.h"

#include <gtest/gtest.h>

#include "support/stderr_capture.h"

TEST(LogLineTest, WritesPrefixMessageAndOneLineFeed) {
  const std::pair<WideString, std::string> cases[] = {
      {"", "[Fennick] \n"}, {"%s %d", "[Fennick] %s %d\n"}, {"ends\n", "[Fennick] ends\n\n"}};
  for (const auto& [message, expected] : cases) {
    StderrCapture capture;
    LogLine(message);
    EXPECT_EQ(capture.Text(), expected);
  }
}
