#include "platform/environment.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <optional>
#include <regex>
#include <string>

#include "platform/guid.h"
#include "platform/process.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace {

using OptionalText = std::optional<std::string>;

void SetVariable(const char* name, const OptionalText& value) {
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
}

// Puts back the variables these tests change.
class EnvironmentTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"TMPDIR", "XDG_DATA_HOME", "HOME"}) {
      const char* value = getenv(name);
      saved_[name] = value ? OptionalText(value) : std::nullopt;
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      SetVariable(name.c_str(), value);
    }
  }

 private:
  std::map<std::string, OptionalText> saved_;
};

TEST_F(EnvironmentTest, TemporaryFolderIsTmpdirUnlessUnsetOrEmpty) {
  const std::pair<OptionalText, std::filesystem::path> cases[] = {
      {"/var/scratch", "/var/scratch"}, {"", "/tmp"}, {std::nullopt, "/tmp"}};
  for (const auto& [tmpdir, expected] : cases) {
    SetVariable("TMPDIR", tmpdir);
    EXPECT_EQ(TemporaryFolder(), expected) << tmpdir.value_or("<unset>");
  }
}

TEST_F(EnvironmentTest, UserDataFolderNeedsAnAbsoluteXdgDataHomeOrHome) {
  struct Case {
    OptionalText xdg_data_home;
    OptionalText home;
    std::filesystem::path expected;
  };
  const Case cases[] = {
      {"/data/xdg", std::nullopt, "/data/xdg"},
      {"relative/xdg", "/home/u", "/home/u/.local/share"},
      {std::nullopt, "/home/u", "/home/u/.local/share"},
      {"relative/xdg", std::nullopt, ""},
      {std::nullopt, "", ""},
      {std::nullopt, "relative/home", ""},
  };
  for (const Case& c : cases) {
    SetVariable("XDG_DATA_HOME", c.xdg_data_home);
    SetVariable("HOME", c.home);
    EXPECT_EQ(UserDataFolder(), c.expected)
        << c.xdg_data_home.value_or("<unset>") << " " << c.home.value_or("<unset>");
  }
}

TEST(ExecutableDirectoryTest, IsTheFolderOfThisTestExecutable) {
  const std::filesystem::path folder = ExecutableDirectory();
  ASSERT_TRUE(folder.is_absolute()) << folder;
  EXPECT_TRUE(std::filesystem::equivalent(folder / "fennick_platform_tests", "/proc/self/exe"));
}

TEST(ExecutableDirectoryTest, FindsAFolderLongerThanTheFirstBuffer) {
  // A copy of this executable run from a long path passes its own check only if the
  // link buffer grows.
  TempFolder folder;
  const std::filesystem::path deep = folder / std::string(200, 'a') / std::string(200, 'b');
  std::filesystem::create_directories(deep);
  ASSERT_TRUE(std::filesystem::copy_file("/proc/self/exe", deep / "fennick_platform_tests"));
  const ProcessOutput output =
      RunProcess(deep / "fennick_platform_tests",
                 {"--gtest_filter=ExecutableDirectoryTest.IsTheFolderOfThisTestExecutable"});
  EXPECT_EQ(output.exit_code, 0) << output.standard_output;
}

TEST(GuidTest, IsARandomVersion4GuidInUpperCaseWithoutBraces) {
  const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[0-9A-F]{4}-[0-9A-F]{12}");
  const WideString guid = NewPlatformGuidText();
  EXPECT_TRUE(std::regex_match(guid, form)) << guid;
  EXPECT_NE(NewPlatformGuidText(), guid);
}

}  // namespace
