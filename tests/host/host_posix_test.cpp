#include <gtest/gtest.h>

#include "host/host_facts.h"

// Linux has no version resources and no "Windows M.m.b" to report: the agent's version is
// its PE time stamp, and no OS version is sent.
TEST(HostFactsPosixTest, VersionsComeFromThePeHeaderAlone) {
  EXPECT_EQ(GetAppVersionText(FENNICK_FIXTURES_DIR "/versioned/Ortivo.exe"), "pe-6553F100");
  EXPECT_EQ(GetOsVersionText(), "");
}
