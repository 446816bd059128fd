#include "metadata/crash_metadata.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "host/host_facts.h"
#include "support/temp_folder.h"

namespace {

constexpr char kWorkedExample[] =
    R"({"schema_version":1,"dump_id":"0B5C9E2A-6D41-4F7E-A3C8-19D2E7F60B45",)"
    R"("dump_file":"Ortivo_20261208_101530.dmp","app_version":"unknown","session_id":"S-104",)"
    R"("uin":"20481937","lum_id":"7730142","pet_code":"P-0193","client_ts":1765188930123,)"
    R"("channel":"beta"})";

constexpr int64_t kSampleTimeMs = 1765188930123;
constexpr size_t kDeepNesting = 1000000;

// A valid document: a dump file, a dump id, then `members` (which may repeat those two
// keys, the last occurrence winning).
std::string Document(std::string_view members) {
  std::string text = R"({"dump_file":"x.dmp","dump_id":"ID-1")";
  if (!members.empty()) {
    text += ",";
    text += members;
  }
  return text + "}";
}

// An array nested `depth` levels deep.
std::string DeepArray(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::string Repeat(std::string_view piece, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += piece;
  }
  return text;
}

void SetLastWriteTimeMs(const std::filesystem::path& path, int64_t milliseconds) {
  const auto time = std::chrono::file_clock::from_sys(
      std::chrono::sys_time<std::chrono::milliseconds>(std::chrono::milliseconds(milliseconds)));
  std::error_code error;
  std::filesystem::last_write_time(path, time, error);
  ASSERT_FALSE(error) << error.message();
}

// Makes `folder` the current folder for the scope.
class CurrentFolderScope {
 public:
  explicit CurrentFolderScope(const std::filesystem::path& folder)
      : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~CurrentFolderScope() {
    std::error_code error;
    std::filesystem::current_path(previous_, error);
  }
  CurrentFolderScope(const CurrentFolderScope&) = delete;
  CurrentFolderScope& operator=(const CurrentFolderScope&) = delete;

 private:
  std::filesystem::path previous_;
};

class LoadCrashMetadataTest : public ::testing::Test {
 protected:
  std::filesystem::path MetadataPath() const { return folder_ / "r.crash.json"; }

  // Writes `content` as the metadata file and loads it into a fresh record.
  bool Load(std::string_view content) {
    WriteTestFile(MetadataPath(), content);
    record_ = CrashMetadata();
    return LoadCrashMetadata(MetadataPath(), &record_);
  }

  TempFolder folder_;
  CrashMetadata record_;
};

TEST_F(LoadCrashMetadataTest, LoadsWorkedExample) {
  ASSERT_TRUE(Load(kWorkedExample));
  EXPECT_EQ(record_.metadata_path, MetadataPath());
  EXPECT_EQ(record_.dump_path, folder_ / "Ortivo_20261208_101530.dmp");
  EXPECT_EQ(record_.dump_id, "0B5C9E2A-6D41-4F7E-A3C8-19D2E7F60B45");
  EXPECT_EQ(record_.app_version, GetAppVersionText(AgentExecutablePath()));
  EXPECT_EQ(record_.session_id, "S-104");
  EXPECT_EQ(record_.uin, "20481937");
  EXPECT_EQ(record_.lum_id, "7730142");
  EXPECT_EQ(record_.pet_code, "P-0193");
  EXPECT_EQ(record_.process_name, "Ortivo.exe");
  EXPECT_EQ(record_.client_ts, "1765188930123");
}

TEST_F(LoadCrashMetadataTest, RejectsMalformedDocuments) {
  const std::string valid = Document("");
  const std::vector<std::string> documents = {
      "",
      " \n\t",
      "[]",
      R"(["x.dmp","ID-1"])",
      R"("text")",
      "null",
      "42",
      "true",
      R"({"dump_file":"x.dmp","dump_id":"ID-1",})",
      R"({"dump_file":"x.dmp","dump_id":["a",]})",
      R"({"dump_file":"x.dmp",/* note */"dump_id":"ID-1"})",
      "// note\n" + valid,
      valid + "{}",
      valid + " x",
      valid + ",",
      R"({'dump_file':'x.dmp','dump_id':'ID-1'})",
      Document("\"uin\":\"\xff\""),
      Document("\"channel\":\"\xc3\""),
      Document("\"channel\":\"\xc0\xaf\""),
      Document(R"("channel":"\ud800")"),
      "\xEF\xBB\xBF\xEF\xBB\xBF" + valid,
      "\xEF\xBB" + valid,
  };
  for (const std::string& document : documents) {
    SCOPED_TRACE(document);
    EXPECT_FALSE(Load(document));
  }
}

TEST_F(LoadCrashMetadataTest, RejectsListedKeysOfTheWrongType) {
  const char* const string_keys[] = {"dump_file", "dump_id", "app_version", "session_id",
                                     "uin",       "lum_id",  "pet_code",    "process_name"};
  const char* const wrong_values[] = {"123", "null", "true", "1.5", R"(["x"])", "{}"};
  for (const char* key : string_keys) {
    for (const char* value : wrong_values) {
      const std::string document = Document("\"" + std::string(key) + "\":" + value);
      SCOPED_TRACE(document);
      EXPECT_FALSE(Load(document));
    }
  }
  const char* const wrong_timestamps[] = {"1.5e12",
                                          "1765188930123.0",
                                          "true",
                                          "null",
                                          R"(["1"])",
                                          "{}",
                                          "1e3",
                                          "-9223372036854775809",
                                          "18446744073709551616"};
  for (const char* value : wrong_timestamps) {
    SCOPED_TRACE(value);
    EXPECT_FALSE(Load(Document(std::string(R"("client_ts":)") + value)));
  }
}

TEST_F(LoadCrashMetadataTest, RejectsMissingOrUnsafeDumpFileAndBadDumpId) {
  const std::vector<std::string> documents = {
      R"({"dump_id":"ID-1"})",
      Document(R"("dump_file":"")"),
      Document(R"("dump_file":"sub/x.dmp")"),
      Document(R"("dump_file":"..\\x.dmp")"),
      Document(R"("dump_file":"C:x.dmp")"),
      Document(R"("dump_file":"/etc/passwd")"),
      R"({"dump_file":"x.dmp"})",
      Document(R"("dump_id":"")"),
      Document("\"dump_id\":\"" + std::string(kMaxDumpIdBytes + 1, 'a') + "\""),
      Document("\"dump_id\":\"" + Repeat("\xE2\x82\xAC", 22) + "\""),
  };
  for (const std::string& document : documents) {
    SCOPED_TRACE(document);
    EXPECT_FALSE(Load(document));
  }
}

struct AcceptedCase {
  std::string document;
  std::string CrashMetadata::*field;
  std::string expected;
};

TEST_F(LoadCrashMetadataTest, AcceptsAndStoresValues) {
  const std::string max_id(kMaxDumpIdBytes, 'a');
  const std::string three_byte_id = Repeat("\xE2\x82\xAC", 21);
  const std::vector<AcceptedCase> cases = {
      {Document(R"("client_ts":1765188930123)"), &CrashMetadata::client_ts, "1765188930123"},
      {Document(R"("client_ts":-5)"), &CrashMetadata::client_ts, "-5"},
      {Document(R"("client_ts":0)"), &CrashMetadata::client_ts, "0"},
      {Document(R"("client_ts":-9223372036854775808)"), &CrashMetadata::client_ts,
       "-9223372036854775808"},
      {Document(R"("client_ts":9223372036854775807)"), &CrashMetadata::client_ts,
       "9223372036854775807"},
      {Document(R"("client_ts":18446744073709551615)"), &CrashMetadata::client_ts,
       "18446744073709551615"},
      {Document(R"("client_ts":"2026-12-08")"), &CrashMetadata::client_ts, "2026-12-08"},
      {Document(R"("app_version":"Unknown")"), &CrashMetadata::app_version, "Unknown"},
      {Document(R"("app_version":" unknown")"), &CrashMetadata::app_version, " unknown"},
      {Document(R"("app_version":"3.2.1.45")"), &CrashMetadata::app_version, "3.2.1.45"},
      {Document(""), &CrashMetadata::process_name, "Ortivo.exe"},
      {Document(R"("process_name":"")"), &CrashMetadata::process_name, ""},
      {Document(R"("process_name":"Other.exe")"), &CrashMetadata::process_name, "Other.exe"},
      {Document(R"("uin":"caf\u00e9 \"q\"")"), &CrashMetadata::uin, "caf\xC3\xA9 \"q\""},
      {Document(R"("session_id":"first","session_id":"second")"), &CrashMetadata::session_id,
       "second"},
      {Document(R"("dump_id":"first","dump_id":"second")"), &CrashMetadata::dump_id, "second"},
      {Document(R"("dump_id":123,"dump_id":"later")"), &CrashMetadata::dump_id, "later"},
      {Document("\"dump_id\":\"" + max_id + "\""), &CrashMetadata::dump_id, max_id},
      {Document("\"dump_id\":\"" + three_byte_id + "\""), &CrashMetadata::dump_id, three_byte_id},
      {"\xEF\xBB\xBF" + Document(R"("lum_id":"L")"), &CrashMetadata::lum_id, "L"},
      {"\r\n " + Document(R"("pet_code":"P")") + " \r\n", &CrashMetadata::pet_code, "P"},
      {Document(R"("schema_version":null,"channel":null,"Dump_Id":7)"), &CrashMetadata::dump_id,
       "ID-1"},
      {Document(R"("schema_version":"two")"), &CrashMetadata::dump_id, "ID-1"},
  };
  for (const AcceptedCase& accepted : cases) {
    SCOPED_TRACE(accepted.document);
    ASSERT_TRUE(Load(accepted.document));
    EXPECT_EQ(record_.*accepted.field, accepted.expected);
  }
}

TEST_F(LoadCrashMetadataTest, TakesClientTimestampFromDumpWhenMissingOrEmpty) {
  WriteTestFile(folder_ / "x.dmp", MinidumpBytes(64));
  SetLastWriteTimeMs(folder_ / "x.dmp", kSampleTimeMs);
  ASSERT_TRUE(Load(Document("")));
  EXPECT_EQ(record_.client_ts, "1765188930123");
  ASSERT_TRUE(Load(Document(R"("client_ts":"")")));
  EXPECT_EQ(record_.client_ts, "1765188930123");

  std::filesystem::remove(folder_ / "x.dmp");
  ASSERT_TRUE(Load(Document(R"("client_ts":"")")));
  EXPECT_EQ(record_.client_ts, "0");
}

TEST_F(LoadCrashMetadataTest, ReplacesEmptyOrUnknownAppVersion) {
  const std::string agent_version = GetAppVersionText(AgentExecutablePath());
  ASSERT_FALSE(agent_version.empty());
  for (const char* members : {"", R"("app_version":"")", R"("app_version":"unknown")"}) {
    SCOPED_TRACE(members);
    ASSERT_TRUE(Load(Document(members)));
    EXPECT_EQ(record_.app_version, agent_version);
  }
}

TEST_F(LoadCrashMetadataTest, ReadsFilesLargerThanOneChunk) {
  const std::string filler(300 * 1024, 'f');
  ASSERT_TRUE(Load(Document("\"channel\":\"" + filler + R"(","uin":"after the filler")")));
  EXPECT_EQ(record_.uin, "after the filler");
}

TEST_F(LoadCrashMetadataTest, KeepsMetadataPathAsPassedAndJoinsItsFolder) {
  WriteTestFile(folder_ / "sub" / "r.crash.json", Document(""));
  const std::filesystem::path unnormalised = folder_ / "sub" / "." / "r.crash.json";
  ASSERT_TRUE(LoadCrashMetadata(unnormalised, &record_));
  EXPECT_EQ(record_.metadata_path.native(), unnormalised.native());
  EXPECT_EQ(record_.dump_path.native(), (folder_ / "sub" / "." / "x.dmp").native());
}

TEST_F(LoadCrashMetadataTest, MetadataPathWithoutFolderGivesBareDumpPath) {
  WriteTestFile(MetadataPath(), Document(""));
  const CurrentFolderScope scope(folder_.path());
  ASSERT_TRUE(LoadCrashMetadata("r.crash.json", &record_));
  EXPECT_EQ(record_.metadata_path.native(), "r.crash.json");
  EXPECT_EQ(record_.dump_path.native(), "x.dmp");
}

TEST_F(LoadCrashMetadataTest, AcceptsDotAsDumpFile) {
  ASSERT_TRUE(Load(Document(R"("dump_file":".")")));
  EXPECT_EQ(record_.dump_path, folder_ / ".");
}

TEST_F(LoadCrashMetadataTest, RejectsWhatIsNotARegularFile) {
  EXPECT_FALSE(LoadCrashMetadata(folder_ / "missing.crash.json", &record_));
  std::filesystem::create_directory(folder_ / "folder.crash.json");
  EXPECT_FALSE(LoadCrashMetadata(folder_ / "folder.crash.json", &record_));
  // A FIFO without a writer would block an ordinary open for good.
  const std::filesystem::path fifo = folder_ / "x.crash.json";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(LoadCrashMetadata(fifo, &record_));
}

TEST_F(LoadCrashMetadataTest, RejectsMissingRecord) {
  WriteTestFile(MetadataPath(), Document(""));
  EXPECT_FALSE(LoadCrashMetadata(MetadataPath(), nullptr));
}

TEST_F(LoadCrashMetadataTest, SurvivesDeeplyNestedValues) {
  const std::string deep = DeepArray(kDeepNesting);
  const struct {
    std::string document;
    bool valid;
  } cases[] = {
      {Document("\"channel\":" + deep), true},
      {Document("\"dump_id\":" + deep), false},
      {Document("\"client_ts\":" + deep), false},
      {deep, false},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.document.substr(0, 40));
    EXPECT_EQ(Load(entry.document), entry.valid);
  }
}

TEST(IsBareFileNameTest, AcceptsOnlyNamesInTheSameFolder) {
  const struct {
    const char* name;
    bool bare;
  } cases[] = {
      {"x.dmp", true},      {".", true},           {"x", true},          {"ab:c.dmp", true},
      {"", false},          {"..", false},         {"..\\x.dmp", false}, {"../x.dmp", false},
      {"sub/x.dmp", false}, {"sub\\x.dmp", false}, {"/x.dmp", false},    {"\\x.dmp", false},
      {"C:x.dmp", false},   {"c:x.dmp", false},    {"C:", false},        {"a..b.dmp", false},
      {"x.dmp/", false},
  };
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.name);
    EXPECT_EQ(IsBareFileName(entry.name), entry.bare);
  }
}

TEST(GetLastWriteTimeTextTest, GivesMillisecondsSince1970OrZero) {
  TempFolder folder;
  const std::filesystem::path file = folder / "x.dmp";
  WriteTestFile(file, "MDMP");
  const struct {
    int64_t milliseconds;
    const char* text;
  } cases[] = {{kSampleTimeMs, "1765188930123"}, {1, "1"}, {0, "0"}, {-5000, "0"}};
  for (const auto& entry : cases) {
    SCOPED_TRACE(entry.milliseconds);
    SetLastWriteTimeMs(file, entry.milliseconds);
    EXPECT_EQ(GetLastWriteTimeText(file), entry.text);
  }
  EXPECT_EQ(GetLastWriteTimeText(folder / "missing.dmp"), "0");
}

TEST(AgentExecutablePathTest, NamesAgentBesideThisExecutable) {
  const std::filesystem::path agent = AgentExecutablePath();
  EXPECT_EQ(agent.filename(), "Ortivo.exe");
  EXPECT_EQ(agent.parent_path(), std::filesystem::read_symlink("/proc/self/exe").parent_path());
}

}  // namespace
