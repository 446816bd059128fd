#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <regex>

#include "platform/environment.h"
#include "platform/file_io.h"
#include "platform/guid.h"
#include "platform/process.h"
#include "platform/text_conversion.h"
#include "support/temp_folder.h"

TEST(FileIoTest, RefusesFifosFoldersAndLinksAndKeepsRegularFilesReadable) {
  TempFolder folder;
  ASSERT_EQ(mkfifo((folder / "pipe").c_str(), 0600), 0);
  // Nothing is attached to the FIFO: an open that waited for a peer would never return.
  EXPECT_FALSE(OpenFileForReading(folder / "pipe").is_valid());
  EXPECT_FALSE(WriteWholeFile(folder / "pipe", "data"));
  EXPECT_FALSE(OpenFileForReading(folder.path()).is_valid());
  WriteTestFile(folder / "victim", "precious");
  std::filesystem::create_symlink(folder / "victim", folder / "link");
  EXPECT_FALSE(WriteWholeFile(folder / "link", "attack"));
  EXPECT_EQ(ReadTestFile(folder / "victim"), "precious");

  ASSERT_TRUE(WriteWholeFile(folder / "new", "still here"));
  const ScopedFile file = OpenFileForReading(folder / "new");
  EXPECT_TRUE(ReplaceFileDurably(folder / "new", folder / "victim"));
  // Milliseconds since 1970, rounded down also before it.
  const std::pair<timespec, int64_t> times[] = {
      {{1700000000, 123456789}, 1700000000123}, {{-1, 500000000}, -500}, {{-2, 999999}, -2000}};
  for (const auto& [time, expected_ms] : times) {
    const timespec both[2] = {time, time};
    ASSERT_EQ(futimens(file.get(), both), 0);
    EXPECT_EQ(GetLastWriteTimeMs(folder / "victim"), expected_ms) << time.tv_sec;
  }
  // The replaced file, read after its deletion, from a position a failed seek left alone.
  ASSERT_TRUE(std::filesystem::remove(folder / "victim"));
  EXPECT_EQ(SeekFile(file.get(), 6, SeekOrigin::kBegin), 6);
  EXPECT_EQ(SeekFile(file.get(), -7, SeekOrigin::kCurrent), std::nullopt);
  char buffer[8] = {};
  EXPECT_EQ(ReadFromFile(file.get(), buffer, 7), 4);
  EXPECT_STREQ(buffer, "here");
}

TEST(TextConversionTest, IllFormedUtf8GivesEmptyTextAndWellFormedSurvives) {
  // Lead without continuation, truncated, overlong, surrogate, above U+10FFFF, stray byte.
  for (const std::string bad :
       {"\xC3\x28", "\xE2\x82", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80"}) {
    EXPECT_EQ(Utf8ToWide("ok" + bad) + WideToUtf8("ok" + bad), "") << testing::PrintToString(bad);
  }
  EXPECT_EQ(WideToUtf8(Utf8ToWide("")), "");
  EXPECT_EQ(WideToUtf8(Utf8ToWide(std::string("a\0b", 3))), std::string("a\0b", 3));
  EXPECT_EQ(WideToUtf8(Utf8ToWide("\xF0\x9F\x98\x80")), "\xF0\x9F\x98\x80");
}

TEST(ProcessEnvironmentTest, FoldersFollowTheVariablesAndGuidsHaveThePlatformForm) {
  const char* const names[] = {"TMPDIR", "XDG_DATA_HOME", "HOME"};
  // The three variables (nullptr: unset), then TemporaryFolder() and UserDataFolder(). The
  // last row leaves TMPDIR unset, so later temporary folders of this process go to /tmp.
  const char* const cases[][5] = {
      {"/var/scratch", "/data/xdg", nullptr, "/var/scratch", "/data/xdg"},
      {"", "relative/xdg", "/home/u", "/tmp", "/home/u/.local/share"},
      {nullptr, nullptr, "/home/u", "/tmp", "/home/u/.local/share"}};
  for (const auto& c : cases) {
    for (int i = 0; i < 3; ++i) {
      c[i] != nullptr ? setenv(names[i], c[i], 1) : unsetenv(names[i]);
    }
    EXPECT_EQ(TemporaryFolder(), c[3]);
    EXPECT_EQ(UserDataFolder(), c[4]);
  }
  EXPECT_EQ(ExecutableDirectory(), std::filesystem::read_symlink("/proc/self/exe").parent_path());
  const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[0-9A-F]{4}-[0-9A-F]{12}");
  EXPECT_TRUE(std::regex_match(NewPlatformGuidText(), form));
}
