#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <tuple>

#include "support/child_process.h"
#include "support/temp_folder.h"

namespace {

using nlohmann::json;

constexpr char kApiKey[] = "QZVMTRA-PLKXNE-HDWQGS-5B1D7E9C03";
constexpr size_t kFiftyMiB = 50 * 1024 * 1024;

// A report form: the dump, its dump_id and one more field.
httplib::MultipartFormDataItems Form(const std::string& dump_id, const std::string& dump = "MDMP",
                                     const std::string& file_name = "a.dmp") {
  return {{"file", dump, file_name, ""}, {"dump_id", dump_id, "", ""}, {"uin", "42", "", ""}};
}

struct IngestServerTest : ::testing::Test {
  // Reads back the free port the server names in its start line.
  void SetUp() override {
    std::string log;
    for (int i = 0; i < 250 && (log = server_.StandardError()).find(", store ") == log.npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(log.find(", store "), log.npos) << log;
    port_ = std::stoi(log.substr(log.rfind(':', log.find(", store ")) + 1));
  }

  // Posts `form` with `key` (none when null); checks the status and the {"code":N} reply.
  void Post(const httplib::MultipartFormDataItems& form, int status, const char* key = kApiKey,
            httplib::Headers headers = {}) {
    if (key != nullptr) headers.emplace("X-Api-Key", key);
    auto res = httplib::Client("127.0.0.1", port_).Post("/api/report/crash", headers, form);
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, status);
    EXPECT_EQ(json::parse(res->body, nullptr, false), (json{{"code", status == 200 ? 0 : status}}));
  }

  TempFolder temp_;
  std::filesystem::path store_ = temp_ / "store";
  BackgroundProcess server_{FENNICK_INGEST_EXE, {"--port", "0", "--store", store_.string()}};
  int port_ = 0;
};

TEST_F(IngestServerTest, StoresDumpsAndReportsInsideTheirFolders) {
  // Every 4-byte group holds its own offset, so a lost, doubled or misplaced chunk shows.
  std::string dump(kFiftyMiB, '\0');
  for (size_t i = 0; i < kFiftyMiB; ++i) dump[i] = static_cast<char>(i >> (i % 4 * 8));
  Post(Form("D-1", dump, "crash.dmp"), 200, kApiKey, {{"Expect", "100-continue"}});
  EXPECT_TRUE(ReadTestFile(store_ / "D-1" / "crash.dmp") == dump);
  json report = json::parse(ReadTestFile(store_ / "D-1" / "report.json"), nullptr, false);
  EXPECT_EQ(report["fields"], json({{"dump_id", "D-1"}, {"uin", "42"}}));
  EXPECT_EQ(report["dump_bytes"], kFiftyMiB);

  Post(Form("D-2", "MDMP", "../../evil.dmp"), 200);
  EXPECT_EQ(ReadTestFile(store_ / "D-2" / "evil.dmp"), "MDMP");
}

TEST_F(IngestServerTest, RefusesBadRequestsAndStoresNothing) {
  const std::tuple<const char*, const char*, httplib::MultipartFormDataItems, int> cases[] = {
      {"missing key", nullptr, Form("K"), 401},
      {"wrong key", "WRONG", Form("K"), 401},
      {"no file part", kApiKey, {{"dump_id", "A", "", ""}}, 400},
      {"no dump_id", kApiKey, {{"file", "MDMP", "a.dmp", ""}}, 400},
      {"parent dump_id", kApiKey, Form("../x"), 400},
      {"dot-dot dump_id", kApiKey, Form(".."), 400},
      {"slash in dump_id", kApiKey, Form("a/b"), 400},
      {"65-character dump_id", kApiKey, Form(std::string(65, 'a')), 400},
      {"dump over 50 MiB", kApiKey, Form("BIG", std::string(kFiftyMiB + 1, 'x')), 413},
  };
  for (const auto& [label, key, form, status] : cases) {
    SCOPED_TRACE(label);
    Post(form, status, key);
  }
  EXPECT_TRUE(std::filesystem::is_empty(store_));
}

TEST_F(IngestServerTest, ExitsWithZeroOnSigterm) { EXPECT_EQ(server_.Stop(), 0); }

TEST(IngestServerCommandLine, HelpNamesEveryOption) {
  ProcessOutput help = RunProcess(FENNICK_INGEST_EXE, {"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* option : {"--address", "--port", "--store", "--help"})
    EXPECT_NE(help.standard_output.find(option), std::string::npos) << option;
}

}  // namespace
