#include "diag/log_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/stderr_capture.h"

namespace {

std::string CaptureLogLine(const WideString& message) {
  StderrCapture capture;
  LogLine(message);
  return capture.Text();
}

TEST(LogLineTest, WritesPrefixMessageAndOneLineFeed) {
  const std::pair<WideString, std::string> cases[] = {
      {"", "[Fennick] \n"},
      {"100%s done %d", "[Fennick] 100%s done %d\n"},
      {"ends in a line feed\n", "[Fennick] ends in a line feed\n\n"},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "[Fennick] caf\xC3\xA9 \xF0\x9F\x98\x80\n"},
      {std::string("nul\0inside", 10), std::string("[Fennick] nul\0inside\n", 21)},
  };
  for (const auto& [message, expected] : cases) {
    EXPECT_EQ(CaptureLogLine(message), expected);
  }
}

TEST(LogLineTest, FailingStandardErrorIsIgnored) {
  // /dev/full fails every write with ENOSPC: the line is lost and LogLine still returns.
  const int saved = dup(STDERR_FILENO);
  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_NE(full, -1);
  dup2(full, STDERR_FILENO);
  close(full);
  LogLine("lost line");
  dup2(saved, STDERR_FILENO);
  close(saved);
  EXPECT_EQ(CaptureLogLine("next line"), "[Fennick] next line\n");
}

}  // namespace
