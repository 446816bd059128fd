#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "platform/environment.h"
#include "platform/file_io.h"
#include "platform/guid.h"
#include "platform/process.h"
#include "platform/text_conversion.h"
#include "support/environment.h"
#include "support/temp_folder.h"

TEST(FileIoPosixTest, RefusesFifosAndLinks) {
  TempFolder folder;
  ASSERT_EQ(mkfifo((folder / "pipe").c_str(), 0600), 0);
  // Nothing is attached to the FIFO: an open that waited for a peer would never return.
  EXPECT_FALSE(OpenFileForReading(folder / "pipe").is_valid());
  EXPECT_FALSE(WriteWholeFile(folder / "pipe", "data"));
  WriteTestFile(folder / "victim", "precious");
  std::filesystem::create_symlink(folder / "victim", folder / "link");
  EXPECT_FALSE(WriteWholeFile(folder / "link", "attack"));
  EXPECT_EQ(ReadTestFile(folder / "victim"), "precious");
}

TEST(TextConversionPosixTest, NativeTextThatIsNotUtf8ConvertsToNothing) {
  // A Linux file name need not be UTF-8; such a name is the counterpart of a Windows name
  // holding a lone surrogate.
  EXPECT_EQ(WideToUtf8("name\xFF.dmp"), "");
}

TEST(ProcessEnvironmentTest, FoldersFollowTheVariablesAndGuidsHaveThePlatformForm) {
  // The three variables (nullptr: unset), then TemporaryFolder() and UserDataFolder().
  const char* const cases[][5] = {
      {"/var/scratch", "/data/xdg", nullptr, "/var/scratch", "/data/xdg"},
      {"", "relative/xdg", "/home/u", "/tmp", "/home/u/.local/share"},
      {"relative/tmp", nullptr, "relative/home", "/tmp", ""},
      {nullptr, nullptr, "/home/u", "/tmp", "/home/u/.local/share"}};
  for (const auto& c : cases) {
    EnvironmentChanges changes;
    const char* const names[] = {"TMPDIR", "XDG_DATA_HOME", "HOME"};
    for (int i = 0; i < 3; ++i) {
      changes[names[i]] =
          c[i] != nullptr ? std::optional<std::filesystem::path>(c[i]) : std::nullopt;
    }
    const ScopedEnvironment environment(changes);
    EXPECT_EQ(TemporaryFolder(), c[3]);
    EXPECT_EQ(UserDataFolder(), c[4]);
  }
  EXPECT_EQ(ExecutableDirectory(), std::filesystem::read_symlink("/proc/self/exe").parent_path());
  const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[0-9A-F]{4}-[0-9A-F]{12}");
  EXPECT_TRUE(std::regex_match(NewPlatformGuidText(), form));
}
