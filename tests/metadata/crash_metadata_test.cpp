#include "metadata/crash_metadata.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

#include "metadata/orphan_metadata.h"
#include "support/native_files.h"
#include "support/temp_folder.h"

namespace {

constexpr char kExample[] =
    R"({"schema_version":1,"dump_id":"0B5C9E2A-6D41-4F7E-A3C8-19D2E7F60B45",)"
    R"("dump_file":"Ortivo_20261208_101530.dmp","app_version":"unknown","session_id":"S-104",)"
    R"("uin":"20481937","lum_id":"7730142","pet_code":"P-0193","client_ts":1765188930123,)"
    R"("channel":"beta"})";

// A valid document naming x.dmp with dump_id "ID", then the members in `tail`.
std::string Doc(std::string tail) { return R"({"dump_file":"x.dmp","dump_id":"ID")" + tail + "}"; }

// The ten-line file text expected for an orphan dump's record `r`.
std::string ExpectedText(const CrashMetadata& r) {
  return "{\n  \"app_version\": \"" + r.app_version + "\",\n  \"client_ts\": \"" + r.client_ts +
         "\",\n  \"dump_file\": \"" + r.dump_path.filename().string() + "\",\n  \"dump_id\": \"" +
         r.dump_id + "\",\n  \"lum_id\": \"\",\n  \"pet_code\": \"\",\n  \"process_name\": \"" +
         r.process_name +
         "\",\n  \"schema_version\": 1,\n  \"session_id\": \"\",\n  \"uin\": \"\"\n}";
}

TEST(LoadCrashMetadataTest, AcceptsOrRejectsDocuments) {
  TempFolder folder;
  const auto path = folder / "r.crash.json";
  WriteTestFile(folder / "x.dmp", "MDMP");
  SetLastWriteTime(folder / "x.dmp", 1765188930123);
  // No agent executable lies beside the test program: a looked-up version reads "unknown".
  const std::string deep = std::string(500000, '[') + std::string(500000, ']');
  // The largest file accepted: a document padded with white space to the limit.
  const std::string largest = Doc("") + std::string(kMaxMetadataBytes - Doc("").size(), ' ');
  const std::string max_id(kMaxDumpIdBytes, 'a');
  std::string euros;
  for (int i = 0; i < 22; ++i) euros += "\xE2\x82\xAC";
  // A null field marks a rejected document.
  const std::tuple<std::string, std::string CrashMetadata::*, std::string> cases[] = {
      {"\xEF\xBB\xBF" + Doc(""), &CrashMetadata::dump_id, "ID"},
      {Doc(R"(,"dump_id":"A","dump_id":"B")"), &CrashMetadata::dump_id, "B"},
      {Doc(R"(,"client_ts":-5)"), &CrashMetadata::client_ts, "-5"},
      {Doc(R"(,"client_ts":18446744073709551615)"), &CrashMetadata::client_ts,
       "18446744073709551615"},
      {Doc(R"(,"client_ts":"2026-12-08")"), &CrashMetadata::client_ts, "2026-12-08"},
      {Doc(""), &CrashMetadata::client_ts, "1765188930123"},
      {R"({"dump_file":"gone.dmp","dump_id":"ID"})", &CrashMetadata::client_ts, "0"},
      {Doc(R"(,"app_version":"Unknown")"), &CrashMetadata::app_version, "Unknown"},
      {Doc(R"(,"app_version":"")"), &CrashMetadata::app_version, "unknown"},
      {Doc(R"(,"process_name":"")"), &CrashMetadata::process_name, ""},
      {Doc(",\"dump_id\":\"" + max_id + "\""), &CrashMetadata::dump_id, max_id},
      {Doc(",\"channel\":" + deep), &CrashMetadata::dump_id, "ID"},
      {largest, &CrashMetadata::dump_id, "ID"},
      {largest + " ", nullptr, ""},
      {Doc("") + std::string(1, '\0'), nullptr, ""},
      {Doc("") + std::string(1, '\0') + "{\"dump_id\":1} trailing garbage", nullptr, ""},
      {R"({"dump_file":"x.dmp\u0000junk","dump_id":"ID"})", nullptr, ""},
      {Doc(","), nullptr, ""},
      {Doc("/* c */"), nullptr, ""},
      {Doc("") + "x", nullptr, ""},
      {"", nullptr, ""},
      {"[]", nullptr, ""},
      {Doc(",\"uin\":\"\xff\""), nullptr, ""},
      {Doc(R"(,"uin":123)"), nullptr, ""},
      {Doc(R"(,"session_id":null)"), nullptr, ""},
      {Doc(R"(,"client_ts":1.5e12)"), nullptr, ""},
      {Doc(R"(,"client_ts":true)"), nullptr, ""},
      {Doc(",\"dump_id\":\"" + max_id + "a\""), nullptr, ""},
      {Doc(",\"dump_id\":\"" + euros + "\""), nullptr, ""},
      {Doc(",\"dump_id\":" + deep), nullptr, ""},
      {kExample, &CrashMetadata::app_version, "unknown"},
      {kExample, &CrashMetadata::process_name, "Ortivo.exe"},
      {kExample, &CrashMetadata::client_ts, "1765188930123"},
  };
  CrashMetadata record;
  for (const auto& [content, field, expected] : cases) {
    SCOPED_TRACE(content.substr(0, 80));
    WriteTestFile(path, content);
    record = CrashMetadata();
    ASSERT_EQ(LoadCrashMetadata(path, &record), field != nullptr);
    if (field != nullptr) {
      EXPECT_EQ(record.*field, expected);
    }
  }
  // The last case is the worked example.
  EXPECT_EQ(record.metadata_path, path);
  EXPECT_EQ(record.dump_path, folder / "Ortivo_20261208_101530.dmp");
  EXPECT_FALSE(LoadCrashMetadata(folder / "missing.crash.json", &record));
  EXPECT_FALSE(LoadCrashMetadata(folder.path(), &record));
  // A sparse 1.5 GiB file takes no disk space; it is refused after the first MiB.
  std::filesystem::resize_file(path, 3ull << 29);
  EXPECT_FALSE(LoadCrashMetadata(path, &record));
}

TEST(IsBareFileNameTest, AcceptsOnlyNamesInTheSameFolder) {
  const std::pair<const WideChar*, bool> cases[] = {{FENNICK_WIDE("x.dmp"), true},
                                                    {FENNICK_WIDE("."), true},
                                                    {FENNICK_WIDE("..\\x.dmp"), false},
                                                    {FENNICK_WIDE("sub/x.dmp"), false},
                                                    {FENNICK_WIDE("sub\\x.dmp"), false},
                                                    {FENNICK_WIDE("C:x.dmp"), false},
                                                    {FENNICK_WIDE("c:x.dmp"), false},
                                                    {FENNICK_WIDE("a..b.dmp"), false},
                                                    {FENNICK_WIDE(""), false}};
  for (const auto& [name, bare] : cases) {
    EXPECT_EQ(IsBareFileName(name), bare) << std::filesystem::path(name);
  }
}

TEST(OrphanMetadataTest, WritesReplacesAndFailsSafely) {
  TempFolder folder;
  const auto dump = folder / "a.dmp";
  const auto metadata = folder / "a.crash.json";
  const auto temporary = folder / "a.crash.json.tmp";
  CrashMetadata first;
  CrashMetadata second;
  WriteDump(dump, 64);
  ASSERT_EQ(CreateOrphanMetadata(dump, std::nullopt, &first), OrphanResult::kWritten);
  EXPECT_EQ(ReadTestFile(metadata), ExpectedText(first));
  EXPECT_FALSE(std::filesystem::exists(temporary));
  ASSERT_TRUE(LoadCrashMetadata(metadata, &second));
  EXPECT_EQ(second.dump_path, dump);
  EXPECT_EQ(std::tie(second.dump_id, second.client_ts, second.process_name),
            std::tie(first.dump_id, first.client_ts, first.process_name));

  // Only the invalid file the scan saw gives way, and a longer leftover temporary file is
  // replaced whole; any other file at the name stays, and nothing is left behind.
  WriteTestFile(metadata, "{ not json");
  const ReplaceableMetadata seen{metadata, *IdentifyFileAt(metadata)};
  WriteTestFile(temporary, std::string(4096, 'x'));
  ASSERT_EQ(CreateOrphanMetadata(dump, seen, &second), OrphanResult::kWritten);
  EXPECT_NE(second.dump_id, first.dump_id);
  EXPECT_EQ(ReadTestFile(metadata), ExpectedText(second));
  EXPECT_FALSE(std::filesystem::exists(temporary));
  for (const std::optional<ReplaceableMetadata>& replaceable :
       {std::optional<ReplaceableMetadata>(), std::optional<ReplaceableMetadata>(seen)}) {
    EXPECT_EQ(CreateOrphanMetadata(dump, replaceable, &first), OrphanResult::kSkipped);
    EXPECT_EQ(ReadTestFile(metadata), ExpectedText(second));
    EXPECT_FALSE(std::filesystem::exists(temporary));
  }

  // A dump that is gone gets nothing; a name held by a folder is a failure.
  EXPECT_EQ(CreateOrphanMetadata(folder / "gone.dmp", std::nullopt, &first),
            OrphanResult::kSkipped);
  EXPECT_FALSE(std::filesystem::exists(folder / "gone.crash.json"));
  WriteDump(folder / "c.dmp", 64);
  std::filesystem::create_directory(folder / "c.crash.json");
  EXPECT_EQ(CreateOrphanMetadata(folder / "c.dmp", std::nullopt, &second), OrphanResult::kFailed);
}

}  // namespace
