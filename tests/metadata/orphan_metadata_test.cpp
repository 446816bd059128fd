#include "metadata/orphan_metadata.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>

#include "host/host_facts.h"
#include "metadata/crash_metadata.h"
#include "support/temp_folder.h"

namespace {

constexpr int64_t kSampleTimeMs = 1765188930123;

void SetLastWriteTimeMs(const std::filesystem::path& path, int64_t milliseconds) {
  const auto time = std::chrono::file_clock::from_sys(
      std::chrono::sys_time<std::chrono::milliseconds>(std::chrono::milliseconds(milliseconds)));
  std::error_code error;
  std::filesystem::last_write_time(path, time, error);
  ASSERT_FALSE(error) << error.message();
}

std::filesystem::path TemporaryPathFor(const std::filesystem::path& metadata_path) {
  std::filesystem::path temporary = metadata_path;
  temporary += ".tmp";
  return temporary;
}

// The file text for a record whose values need no escaping.
std::string ExpectedText(const CrashMetadata& record, const std::string& dump_file) {
  const auto quoted = [](const std::string& value) { return "\"" + value + "\""; };
  const std::pair<const char*, std::string> members[] = {
      {"app_version", quoted(record.app_version)},
      {"client_ts", quoted(record.client_ts)},
      {"dump_file", quoted(dump_file)},
      {"dump_id", quoted(record.dump_id)},
      {"lum_id", quoted(record.lum_id)},
      {"pet_code", quoted(record.pet_code)},
      {"process_name", quoted(record.process_name)},
      {"schema_version", "1"},
      {"session_id", quoted(record.session_id)},
      {"uin", quoted(record.uin)},
  };
  std::string text = "{";
  for (const auto& [key, value] : members) {
    text += text.size() == 1 ? "\n" : ",\n";
    text += "  \"" + std::string(key) + "\": " + value;
  }
  return text + "\n}";
}

bool IsGuidText(const std::string& text) {
  if (text.size() != 36) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    const bool hyphen_place = i == 8 || i == 13 || i == 18 || i == 23;
    const char c = text[i];
    const bool hex_digit = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    if (hyphen_place ? c != '-' : !hex_digit) {
      return false;
    }
  }
  return true;
}

class OrphanMetadataTest : public ::testing::Test {
 protected:
  std::filesystem::path DumpPath() const { return folder_ / "a.dmp"; }
  std::filesystem::path MetadataPath() const { return folder_ / "a.crash.json"; }

  TempFolder folder_;
  CrashMetadata record_;
};

TEST_F(OrphanMetadataTest, FillsRecordAndWritesExactText) {
  WriteTestFile(DumpPath(), MinidumpBytes(128));
  SetLastWriteTimeMs(DumpPath(), kSampleTimeMs);
  ASSERT_TRUE(CreateOrphanMetadata(DumpPath(), &record_));

  EXPECT_EQ(record_.dump_path, DumpPath());
  EXPECT_EQ(record_.metadata_path, MetadataPath());
  EXPECT_TRUE(IsGuidText(record_.dump_id)) << record_.dump_id;
  EXPECT_EQ(record_.process_name, "Ortivo.exe");
  EXPECT_EQ(record_.client_ts, "1765188930123");
  EXPECT_EQ(record_.app_version, GetAppVersionText(AgentExecutablePath()));
  EXPECT_EQ(ReadTestFile(MetadataPath()), ExpectedText(record_, "a.dmp"));
  EXPECT_FALSE(std::filesystem::exists(TemporaryPathFor(MetadataPath())));
  EXPECT_EQ(ReadTestFile(DumpPath()), MinidumpBytes(128));
}

TEST_F(OrphanMetadataTest, WrittenFileLoadsBackAsTheSameReport) {
  WriteTestFile(DumpPath(), MinidumpBytes(128));
  SetLastWriteTimeMs(DumpPath(), kSampleTimeMs);
  ASSERT_TRUE(CreateOrphanMetadata(DumpPath(), &record_));

  CrashMetadata loaded;
  ASSERT_TRUE(LoadCrashMetadata(record_.metadata_path, &loaded));
  EXPECT_EQ(loaded.dump_path, DumpPath());
  EXPECT_EQ(loaded.dump_id, record_.dump_id);
  EXPECT_EQ(loaded.client_ts, record_.client_ts);
  EXPECT_EQ(loaded.process_name, record_.process_name);
  EXPECT_EQ(loaded.app_version, record_.app_version);
}

TEST_F(OrphanMetadataTest, ReplacesExtensionWithMetadataSuffix) {
  const struct {
    const char* dump;
    const char* metadata;
  } cases[] = {
      {"a.dmp", "a.crash.json"},
      {"a.b.dmp", "a.b.crash.json"},
      {"noext", "noext.crash.json"},
      {".hidden", ".hidden.crash.json"},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.dump);
    CrashMetadata record;
    ASSERT_TRUE(CreateOrphanMetadata(folder_ / entry.dump, &record));
    EXPECT_EQ(record.metadata_path, folder_ / entry.metadata);
    EXPECT_EQ(ReadTestFile(folder_ / entry.metadata), ExpectedText(record, entry.dump));
  }
}

TEST_F(OrphanMetadataTest, VanishedDumpGetsZeroTimestamp) {
  ASSERT_TRUE(CreateOrphanMetadata(DumpPath(), &record_));
  EXPECT_EQ(record_.client_ts, "0");
  EXPECT_EQ(ReadTestFile(MetadataPath()), ExpectedText(record_, "a.dmp"));
}

TEST_F(OrphanMetadataTest, ReplacesExistingInvalidMetadataFile) {
  WriteTestFile(DumpPath(), MinidumpBytes(64));
  WriteTestFile(MetadataPath(), "{ not json");
  CrashMetadata rejected;
  ASSERT_FALSE(LoadCrashMetadata(MetadataPath(), &rejected));

  ASSERT_TRUE(CreateOrphanMetadata(DumpPath(), &record_));
  EXPECT_EQ(ReadTestFile(MetadataPath()), ExpectedText(record_, "a.dmp"));
}

TEST_F(OrphanMetadataTest, ReusesLeftoverTemporaryFile) {
  const std::filesystem::path temporary = TemporaryPathFor(MetadataPath());
  // Longer than the real text, so a write that failed to truncate would leave a tail.
  WriteTestFile(temporary, std::string(4096, 'x'));
  ASSERT_TRUE(CreateOrphanMetadata(DumpPath(), &record_));
  EXPECT_EQ(ReadTestFile(MetadataPath()), ExpectedText(record_, "a.dmp"));
  EXPECT_FALSE(std::filesystem::exists(temporary));
}

TEST_F(OrphanMetadataTest, TwoCallsGiveDifferentDumpIds) {
  CrashMetadata first;
  CrashMetadata second;
  ASSERT_TRUE(CreateOrphanMetadata(DumpPath(), &first));
  ASSERT_TRUE(CreateOrphanMetadata(DumpPath(), &second));
  EXPECT_NE(first.dump_id, second.dump_id);
  EXPECT_EQ(ReadTestFile(MetadataPath()), ExpectedText(second, "a.dmp"));
}

TEST_F(OrphanMetadataTest, NameWithDoubleDotIsWrittenButNotLoadable) {
  ASSERT_TRUE(CreateOrphanMetadata(folder_ / "a..b.dmp", &record_));
  EXPECT_EQ(ReadTestFile(folder_ / "a..b.crash.json"), ExpectedText(record_, "a..b.dmp"));
  CrashMetadata loaded;
  EXPECT_FALSE(LoadCrashMetadata(folder_ / "a..b.crash.json", &loaded));
}

TEST_F(OrphanMetadataTest, DoesNotFollowLinkPlantedAtTemporaryName) {
  const std::filesystem::path target = folder_ / "elsewhere.txt";
  WriteTestFile(target, "precious");
  std::filesystem::create_symlink(target, TemporaryPathFor(MetadataPath()));

  const bool written = CreateOrphanMetadata(DumpPath(), &record_);
  EXPECT_EQ(ReadTestFile(target), "precious");
  if (written) {
    EXPECT_EQ(ReadTestFile(MetadataPath()), ExpectedText(record_, "a.dmp"));
  } else {
    EXPECT_FALSE(std::filesystem::exists(MetadataPath()));
  }
}

TEST_F(OrphanMetadataTest, FolderAtFinalNameFailsAndKeepsTemporaryFile) {
  std::filesystem::create_directory(MetadataPath());
  EXPECT_FALSE(CreateOrphanMetadata(DumpPath(), &record_));
  EXPECT_TRUE(std::filesystem::is_directory(MetadataPath()));
  EXPECT_EQ(ReadTestFile(TemporaryPathFor(MetadataPath())), ExpectedText(record_, "a.dmp"));
}

TEST_F(OrphanMetadataTest, UnwritableFolderFails) {
  EXPECT_FALSE(CreateOrphanMetadata(folder_ / "missing" / "a.dmp", &record_));
  if (geteuid() == 0) {
    GTEST_SKIP() << "permissions do not bind root";
  }
  std::filesystem::permissions(
      folder_.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  EXPECT_FALSE(CreateOrphanMetadata(DumpPath(), &record_));
  std::filesystem::permissions(folder_.path(), std::filesystem::perms::owner_all);
  EXPECT_FALSE(std::filesystem::exists(MetadataPath()));
  EXPECT_FALSE(std::filesystem::exists(TemporaryPathFor(MetadataPath())));
}

TEST_F(OrphanMetadataTest, RejectsMissingRecord) {
  EXPECT_FALSE(CreateOrphanMetadata(DumpPath(), nullptr));
  EXPECT_FALSE(std::filesystem::exists(MetadataPath()));
}

TEST(WriteCrashMetadataFileTest, EscapesValuesAsJsonStrings) {
  TempFolder folder;
  CrashMetadata record;
  record.metadata_path = folder / "e.crash.json";
  record.dump_path = folder / "e\xC3\xA9.dmp";
  record.dump_id = "ID";
  record.app_version = "q\"b\\";
  record.client_ts = "\b\f\n\r\t";
  record.session_id = std::string("\x01\x1f\x00", 3);
  record.uin = "\xE2\x82\xAC";
  record.process_name = "/";
  ASSERT_TRUE(WriteCrashMetadataFile(record));
  EXPECT_EQ(ReadTestFile(record.metadata_path),
            "{\n"
            "  \"app_version\": \"q\\\"b\\\\\",\n"
            "  \"client_ts\": \"\\b\\f\\n\\r\\t\",\n"
            "  \"dump_file\": \"e\xC3\xA9.dmp\",\n"
            "  \"dump_id\": \"ID\",\n"
            "  \"lum_id\": \"\",\n"
            "  \"pet_code\": \"\",\n"
            "  \"process_name\": \"/\",\n"
            "  \"schema_version\": 1,\n"
            "  \"session_id\": \"\\u0001\\u001f\\u0000\",\n"
            "  \"uin\": \"\xE2\x82\xAC\"\n"
            "}");
}

TEST(WriteCrashMetadataFileTest, InvalidUtf8ValueFailsWithoutWriting) {
  TempFolder folder;
  CrashMetadata record;
  record.metadata_path = folder / "u.crash.json";
  record.dump_path = folder / "u.dmp";
  record.dump_id = "ID";
  record.uin = "\xff";
  WriteTestFile(record.metadata_path, "before");
  EXPECT_FALSE(WriteCrashMetadataFile(record));
  EXPECT_EQ(ReadTestFile(record.metadata_path), "before");
}

TEST(WriteCrashMetadataFileTest, UnconvertibleDumpNameGivesEmptyDumpFile) {
  TempFolder folder;
  CrashMetadata record;
  record.metadata_path = folder / "n.crash.json";
  record.dump_path = folder / "n\xff.dmp";
  record.dump_id = "ID";
  ASSERT_TRUE(WriteCrashMetadataFile(record));
  EXPECT_EQ(ReadTestFile(record.metadata_path), ExpectedText(record, ""));
}

}  // namespace
