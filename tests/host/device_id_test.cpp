#include "host/device_id.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <system_error>

#include "support/temp_folder.h"

namespace {

constexpr size_t kGuidTextBytes = 36;

std::optional<std::string> GetEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

void SetEnvironment(const char* name, const std::optional<std::string>& value) {
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
}

bool IsGuidText(const std::string& text) {
  if (text.size() != kGuidTextBytes) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    const bool hyphen_position = i == 8 || i == 13 || i == 18 || i == 23;
    const char c = text[i];
    const bool upper_hex = std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F');
    if (hyphen_position ? c != '-' : !upper_hex) {
      return false;
    }
  }
  return true;
}

// Points the per-user data folder at a fresh temporary folder and puts the environment
// back afterwards.
class DeviceIdTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_data_home_ = GetEnvironment("XDG_DATA_HOME");
    saved_home_ = GetEnvironment("HOME");
    SetEnvironment("XDG_DATA_HOME", data_folder_.path().string());
  }

  void TearDown() override {
    SetEnvironment("XDG_DATA_HOME", saved_data_home_);
    SetEnvironment("HOME", saved_home_);
  }

  std::filesystem::path IdFile() const {
    return data_folder_ / "Ortivo" / "Fennick" / "device_id.txt";
  }

  bool DataFolderIsEmpty() const {
    std::error_code error;
    return std::filesystem::is_empty(data_folder_.path(), error) && !error;
  }

  TempFolder data_folder_;
  std::optional<std::string> saved_data_home_;
  std::optional<std::string> saved_home_;
};

TEST_F(DeviceIdTest, NewGuidTextHasTheCanonicalForm) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string guid = NewGuidText();
    EXPECT_TRUE(IsGuidText(guid)) << guid;
    seen.insert(guid);
  }
  EXPECT_EQ(seen.size(), 50u);
}

TEST_F(DeviceIdTest, FilePathLiesBelowTheUserDataFolder) {
  EXPECT_EQ(DeviceIdFilePath(), IdFile());

  SetEnvironment("XDG_DATA_HOME", std::nullopt);
  SetEnvironment("HOME", data_folder_.path().string());
  EXPECT_EQ(DeviceIdFilePath(),
            data_folder_ / ".local" / "share" / "Ortivo" / "Fennick" / "device_id.txt");
}

TEST_F(DeviceIdTest, UsableFirstLineIsReturnedUnchangedAndKept) {
  const std::string line36(36, 'a');
  const std::string line64(64, '7');
  struct Case {
    const char* name;
    std::string content;
    std::string expected;
  };
  const Case cases[] = {
      {"short id without line feed", "abc", "abc"},
      {"carriage return stays part of the line", line36 + "\r\n", line36 + "\r"},
      {"only the first line counts", "abc\nsecond line\n", "abc"},
      {"spaces are kept", " id with spaces \n", " id with spaces "},
      {"64 bytes without line feed", line64, line64},
      {"64 bytes then a line feed", line64 + "\n" + std::string(200, 'z'), line64},
      {"bytes that are not UTF-8", "\xff\xfe\x80", "\xff\xfe\x80"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    WriteTestFile(IdFile(), test.content);
    EXPECT_EQ(GetOrCreateDeviceId(), test.expected);
    EXPECT_EQ(ReadTestFile(IdFile()), test.content);
  }
}

TEST_F(DeviceIdTest, UnusableFileIsReplacedByANewGuid) {
  struct Case {
    const char* name;
    std::string content;
  };
  const Case cases[] = {
      {"empty file", ""},
      {"starts with a line feed", "\nabc"},
      {"65 bytes without line feed", std::string(65, 'x')},
      {"65 bytes then a line feed", std::string(65, 'x') + "\nabc"},
      {"long line", std::string(100000, 'x')},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    WriteTestFile(IdFile(), test.content);
    const std::string id = GetOrCreateDeviceId();
    EXPECT_TRUE(IsGuidText(id)) << id;
    EXPECT_EQ(ReadTestFile(IdFile()), id);
  }
}

TEST_F(DeviceIdTest, FirstCallCreatesTheFileAndLaterCallsReuseIt) {
  const std::string first = GetOrCreateDeviceId();
  EXPECT_TRUE(IsGuidText(first)) << first;
  ASSERT_TRUE(std::filesystem::is_regular_file(IdFile()));
  EXPECT_EQ(std::filesystem::file_size(IdFile()), kGuidTextBytes);
  EXPECT_EQ(ReadTestFile(IdFile()), first);
  EXPECT_EQ(GetOrCreateDeviceId(), first);
}

TEST_F(DeviceIdTest, HugeFileIsNotReadWhole) {
  // Sparse, so it costs no disk space; reading it whole would exhaust memory.
  WriteTestFile(IdFile(), "huge\n");
  std::error_code error;
  std::filesystem::resize_file(IdFile(), uintmax_t{1} << 40, error);
  if (error) {
    GTEST_SKIP() << "no sparse files here: " << error.message();
  }
  EXPECT_EQ(GetOrCreateDeviceId(), "huge");
}

TEST_F(DeviceIdTest, NoUserDataFolderMeansNoIdAndNoFiles) {
  SetEnvironment("XDG_DATA_HOME", std::nullopt);
  SetEnvironment("HOME", std::nullopt);
  EXPECT_EQ(DeviceIdFilePath(), std::filesystem::path());
  EXPECT_EQ(GetOrCreateDeviceId(), "");
  EXPECT_TRUE(DataFolderIsEmpty());
}

TEST_F(DeviceIdTest, IdThatCannotBeStoredIsStillReturned) {
  // A plain file where the Fennick folder belongs keeps the folder from being created.
  WriteTestFile(data_folder_ / "Ortivo" / "Fennick", "in the way");
  const std::string first = GetOrCreateDeviceId();
  const std::string second = GetOrCreateDeviceId();
  EXPECT_TRUE(IsGuidText(first)) << first;
  EXPECT_TRUE(IsGuidText(second)) << second;
  EXPECT_NE(first, second);
  EXPECT_EQ(ReadTestFile(data_folder_ / "Ortivo" / "Fennick"), "in the way");
}

}  // namespace
