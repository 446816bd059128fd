#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <tuple>

#include "inbox.h"
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

  httplib::Result Get(const std::string& path) {
    return httplib::Client("127.0.0.1", port_).Get(path);
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

TEST_F(IngestServerTest, InboxListsReportsNewestFirstAndServesOnlyStoredDumps) {
  Post(Form("OLD", "MDMP-old", "old.dmp"), 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Post(Form("NEW", "MDMP-new"), 200);
  const json list = json::parse(Get("/api/reports")->body, nullptr, false);
  ASSERT_EQ(list.size(), 2u) << list;
  EXPECT_EQ(list[0]["dump_id"], "NEW");
  EXPECT_EQ(list[1]["dump_id"], "OLD");
  EXPECT_EQ(list[1]["dump_file"], "old.dmp");
  EXPECT_EQ(list[1]["dump_bytes"], 8);
  EXPECT_EQ(Get(list[1]["dump_url"].get<std::string>())->body, "MDMP-old");
  const std::string page = Get("/")->body;
  EXPECT_LT(page.find(">NEW<"), page.find(">OLD<"));

  // A report.json that names a file outside its folder, names that leave the store, a
  // staging folder and a report that was never stored are all not found.
  WriteTestFile(store_ / "EVIL" / "report.json", R"({"dump_file":"../OLD/old.dmp"})");
  for (const char* path : {"/reports/EVIL/dump", "/reports/%2e%2e/dump", "/reports/..%2fOLD/dump",
                           "/reports/OLD%2f..%2fOLD/dump", "/reports/MISSING/dump"}) {
    EXPECT_EQ(Get(path)->status, 404) << path;
  }
}

TEST_F(IngestServerTest, InboxRendersInARealBrowser) {
  Post(Form("PLAIN-1"), 200);
  Post({{"file", "MDMP", "b.dmp", ""},
        {"dump_id", "HTML-2", "", ""},
        {"computer_name", "<script>alert(1)</script><b>bold</b>", "", ""}},
       200);
  ProcessOutput browser =
      RunProcess(FENNICK_CHROMIUM,
                 {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--user-data-dir=" + (temp_ / "chromium").string(), "--dump-dom",
                  "http://127.0.0.1:" + std::to_string(port_) + "/"});
  ASSERT_EQ(browser.exit_code, 0) << browser.standard_error;
  const std::string& dom = browser.standard_output;
  EXPECT_NE(dom.find("<td class=\"id\">PLAIN-1</td>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("<td class=\"id\">HTML-2</td>"), std::string::npos) << dom;
  // The computer name is text in its cell, not markup that ran or rendered.
  EXPECT_NE(dom.find("\">&lt;script&gt;alert(1)&lt;/script&gt;&lt;b&gt;bold&lt;/b&gt;</td>"),
            std::string::npos)
      << dom;
  EXPECT_EQ(dom.find("<script>alert"), std::string::npos) << dom;
  EXPECT_EQ(dom.find("<b>bold"), std::string::npos) << dom;
}

TEST(InboxTest, OnlyLoopbackClientsAreLocal) {
  for (const auto& [address, loopback] :
       std::vector<std::pair<const char*, bool>>{{"127.0.0.1", true},
                                                 {"127.8.9.10", true},
                                                 {"::1", true},
                                                 {"::ffff:127.0.0.1", true},
                                                 {"10.0.0.7", false},
                                                 {"192.168.1.20", false},
                                                 {"::ffff:10.0.0.7", false},
                                                 {"fe80::1", false},
                                                 {"", false}}) {
    EXPECT_EQ(fennick_ingest::IsLoopbackAddress(address), loopback) << address;
  }
}

TEST_F(IngestServerTest, ExitsWithZeroOnSigterm) { EXPECT_EQ(server_.Stop(), 0); }

TEST(IngestServerCommandLine, HelpNamesEveryOption) {
  ProcessOutput help = RunProcess(FENNICK_INGEST_EXE, {"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* option : {"--address", "--port", "--store", "--open-inbox", "--help"})
    EXPECT_NE(help.standard_output.find(option), std::string::npos) << option;
}

}  // namespace
