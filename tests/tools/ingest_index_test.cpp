#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "decision_journal.h"
#include "ingest_test_server.h"
#include "minidump_analysis.h"
#include "report_filter.h"
#include "report_index.h"
#include "store_layout.h"
#include "support/temp_folder.h"

// The index is a cache of the store: whatever becomes of its file, every report the store
// holds is listed again and every decision is kept.
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The signature of the real dump's crash, so that an upload joins that group.
const std::string kFixed = "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe+0x156B";
const fs::path kRealDump = FENNICK_SOURCE_DIR "/tests/fixtures/dumps/null_write.dmp";
const std::vector<std::string> kSignatures = {
    kFixed, "IGNORED Ortivo.exe!Ignored", "REOPENED Ortivo.exe!Reopened", "OPEN Ortivo.exe!Open"};
constexpr int kReportsPerGroup = 10;
constexpr size_t kPageBytes = 4096;

// Reports of each of kSignatures, as an earlier run stored and analysed them.
void PlantStore(const fs::path& store) {
  const int64_t received_ms = 1'765'000'000'000;
  for (size_t group = 0; group < kSignatures.size(); ++group) {
    for (int i = 0; i < kReportsPerGroup; ++i) {
      const std::string dump_id = "R" + std::to_string(group) + "-" + std::to_string(i);
      const json record = {{"fields", {{"dump_id", dump_id}, {"app_version", "3.3.0.7"}}},
                           {"dump_file", "d.dmp"},
                           {"dump_bytes", 4},
                           {"received_utc", fennick_ingest::UtcText(received_ms + i)},
                           {"received_ms", received_ms + i},
                           {"analysis",
                            {{"analysis_version", fennick_minidump::kAnalysisVersion},
                             {"crash", {{"signature", kSignatures[group]}}}}}};
      WriteTestFile(store / dump_id / "d.dmp", "MDMP");
      WriteTestFile(store / dump_id / "report.json", record.dump());
    }
  }
}

std::string Total(const IngestProcess& server) {
  const httplib::Result res = server.Client().Get("/api/reports");
  return res ? res->get_header_value("X-Total-Count") : "no answer";
}

// Each group's state and fixed version.
json States(const IngestProcess& server) {
  const httplib::Result res = server.Client().Get("/api/groups?per_page=1000");
  json states = json::object();
  for (const json& group : json::parse(res ? res->body : "[]", nullptr, false)) {
    states[group["signature"].get<std::string>()] = {group["state"], group["fixed_version"]};
  }
  return states;
}

// Posts a decision with the form of the group's page.
void Decide(const IngestProcess& server, const std::string& signature, const std::string& state,
            const std::string& fixed_version = "") {
  const std::string group = "/groups/" + fennick_ingest::PercentEncoded(signature);
  const httplib::Result page = server.Client().Get(group);
  std::smatch token;
  ASSERT_TRUE(page && std::regex_search(page->body, token,
                                        std::regex("name=\"token\" value=\"([0-9a-f]+)\"")));
  httplib::Params form = {{"state", state}, {"token", token[1].str()}};
  if (!fixed_version.empty()) form.emplace("fixed_version", fixed_version);
  const httplib::Result res = server.Client().Post(group + "/state", form);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 303) << res->body;
}

// A crash of the resolved group from its fix version on, which makes it regressed once its
// dump is analysed.
void UploadRegression(const IngestProcess& server) {
  PostReport(server,
             {{"file", ReadTestFile(kRealDump), "d.dmp", ""},
              {"dump_id", "AFTER", "", ""},
              {"app_version", "10.0.0.1", "", ""}},
             200);
  AwaitAnalyses(server);
}

// Overwrites pages `first` to `last` (from 1) of the file at `path` where they stand.
void DamagePages(const fs::path& path, uintmax_t first, uintmax_t last) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  const std::string garbage(kPageBytes, '\xA5');
  for (uintmax_t page = first; page <= last; ++page) {
    file.seekp(static_cast<std::streamoff>((page - 1) * kPageBytes));
    file.write(garbage.data(), garbage.size());
  }
  ASSERT_TRUE(file.flush()) << path;
}

// The first page of the table or index `name` in the database at `path`, or 0.
uintmax_t FirstPageOf(const fs::path& path, const std::string& name) {
  sqlite3* db = nullptr;
  sqlite3_stmt* query = nullptr;
  uintmax_t page = 0;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "SELECT min(pageno) FROM dbstat WHERE name = ?", -1, &query,
                         nullptr) == SQLITE_OK &&
      sqlite3_bind_text(query, 1, name.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
      sqlite3_step(query) == SQLITE_ROW) {
    page = static_cast<uintmax_t>(sqlite3_column_int64(query, 0));
  }
  sqlite3_finalize(query);
  sqlite3_close(db);
  EXPECT_GT(page, 0u) << name;
  return page;
}

size_t DamagedCopies(const fs::path& store) {
  size_t copies = 0;
  for (const auto& entry : fs::directory_iterator(store)) {
    const std::string name = entry.path().filename().string();
    copies += name.starts_with(std::string(fennick_ingest::kIndexFileName) + ".damaged-") &&
              !name.ends_with("-wal") && !name.ends_with("-shm");
  }
  return copies;
}

// The states once PrepareStore's decisions were posted, and once a crash regressed the
// resolved group and the open one was ignored too.
const json kDecided = {{kSignatures[0], {"resolved", "3.10.0.1"}},
                       {kSignatures[1], {"ignored", nullptr}},
                       {kSignatures[2], {"open", nullptr}},
                       {kSignatures[3], {"open", nullptr}}};
const json kAfterwards = {{kSignatures[0], {"regressed", "3.10.0.1"}},
                          {kSignatures[1], {"ignored", nullptr}},
                          {kSignatures[2], {"open", nullptr}},
                          {kSignatures[3], {"ignored", nullptr}}};
const std::string kAll = std::to_string(kSignatures.size() * kReportsPerGroup);
const std::string kAllAndOne = std::to_string(kSignatures.size() * kReportsPerGroup + 1);

// A store of planted reports with decisions taken, its index whole in its file.
void PrepareStore(const fs::path& store) {
  PlantStore(store);
  IngestProcess server(store);
  Decide(server, kSignatures[0], "resolved", "3.10.0.1");
  Decide(server, kSignatures[1], "ignored");
  Decide(server, kSignatures[2], "resolved");
  Decide(server, kSignatures[2], "open");  // the last decision counts
  EXPECT_EQ(States(server), kDecided);
  // Who decided is the client as the request log names it.
  std::istringstream journal(ReadTestFile(store / fennick_ingest::kDecisionJournalFileName));
  std::string line;
  ASSERT_TRUE(std::getline(journal, line));
  const json first = json::parse(line, nullptr, false);
  EXPECT_EQ(first["signature"], kSignatures[0]);
  EXPECT_EQ(first["fixed_version"], "3.10.0.1");
  EXPECT_TRUE(first["by"].get<std::string>().starts_with("127.0.0.1:")) << line;
  EXPECT_NE(server.Log().find(" peer=" + first["by"].get<std::string>() + " "), std::string::npos)
      << server.Log();
  EXPECT_GT(first["changed_ms"].get<int64_t>(), 0) << line;
}

TEST(IngestIndexRecovery, ADamagedOrLostIndexIsMadeAnewWithEveryReportAndDecision) {
  TempFolder temp;
  struct Case {
    const char* label;
    std::function<void(const fs::path&)> damage;
    size_t damaged_copies;
  };
  const auto pages = [](const fs::path& index) { return fs::file_size(index) / kPageBytes; };
  const Case cases[] = {
      {"the header page", [](const fs::path& index) { DamagePages(index, 1, 1); }, 1},
      {"the first table page", [](const fs::path& index) { DamagePages(index, 2, 2); }, 1},
      {"the reports' first page",
       [](const fs::path& index) {
         const uintmax_t page = FirstPageOf(index, "reports");
         DamagePages(index, page, page);
       },
       1},
      // Read by no start: only the check finds it there.
      {"an index's page that uploads write",
       [](const fs::path& index) {
         const uintmax_t page = FirstPageOf(index, "missing_symbols_of");
         DamagePages(index, page, page);
       },
       1},
      {"the last page",
       [pages](const fs::path& index) { DamagePages(index, pages(index), pages(index)); }, 1},
      {"every page but the header",
       [pages](const fs::path& index) { DamagePages(index, 2, pages(index)); }, 1},
      {"cut in half",
       [pages](const fs::path& index) { fs::resize_file(index, pages(index) / 2 * kPageBytes); },
       1},
      {"cut to nothing", [](const fs::path& index) { fs::resize_file(index, 0); }, 0},
      {"removed", [](const fs::path& index) { fs::remove(index); }, 0},
  };
  int serial = 0;
  for (const Case& damaged : cases) {
    SCOPED_TRACE(damaged.label);
    // Each store made afresh: a copy's folders would be new to the index, and read again.
    const fs::path store = temp / ("store-" + std::to_string(++serial));
    PrepareStore(store);
    damaged.damage(store / fennick_ingest::kIndexFileName);
    // A power cut tore the journal's last line: that decision was never answered.
    AppendTestFile(store / fennick_ingest::kDecisionJournalFileName,
                   R"({"signature":")" + kSignatures[3] + R"(","state":"igno)");
    {
      IngestProcess server(store);
      // Found at start, before any request could meet it.
      EXPECT_EQ(DamagedCopies(store), damaged.damaged_copies);
      EXPECT_EQ(Total(server), kAll);
      EXPECT_EQ(States(server), kDecided);
      UploadRegression(server);
      Decide(server, kSignatures[3], "ignored");
      EXPECT_EQ(Total(server), kAllAndOne);
      EXPECT_EQ(States(server), kAfterwards);
    }
    // Lost once more: the journal alone keeps the decisions, the one after the torn line too.
    fs::remove(store / fennick_ingest::kIndexFileName);
    IngestProcess again(store);
    EXPECT_EQ(Total(again), kAllAndOne);
    EXPECT_EQ(States(again), kAfterwards);
  }
}

TEST(IngestIndexRecovery, AnIndexDamagedUnderTheRunningServerIsMadeAnewWithoutARestart) {
  TempFolder temp;
  const fs::path store = temp / "store";
  PrepareStore(store);
  const fs::path index = store / fennick_ingest::kIndexFileName;
  {
    IngestProcess server(store);
    ASSERT_EQ(Total(server), kAll);
    DamagePages(index, 2, fs::file_size(index) / kPageBytes);
    // The upload, whether or not its write to the index meets the damage, is answered 0 and
    // must be listed; the lists meanwhile answer with what the index holds.
    UploadRegression(server);
    const httplib::Result meanwhile = server.Client().Get("/api/reports");
    ASSERT_TRUE(meanwhile);
    EXPECT_EQ(meanwhile->status, 200);
    const auto give_up = std::chrono::steady_clock::now() + kIngestPatience;
    while (server.Log().find("up to date with the store again") == std::string::npos &&
           std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(server.Log().find(" is damaged ("), std::string::npos) << server.Log();
    EXPECT_EQ(DamagedCopies(store), 1u);
    EXPECT_EQ(Total(server), kAllAndOne);
    Decide(server, kSignatures[3], "ignored");
    EXPECT_EQ(States(server), kAfterwards);
  }
  IngestProcess again(store);
  EXPECT_EQ(Total(again), kAllAndOne);
  EXPECT_EQ(States(again), kAfterwards);
}

TEST(IngestIndexRecovery, DecisionsHeldOnlyByAnIndexFromBeforeTheJournalGoIntoIt) {
  TempFolder temp;
  const fs::path store = temp / "store";
  PrepareStore(store);
  {
    IngestProcess server(store);
    UploadRegression(server);
    Decide(server, kSignatures[3], "ignored");
  }
  // As a server from before the journal left it: the index alone holds the decisions.
  fs::remove(store / fennick_ingest::kDecisionJournalFileName);
  {
    IngestProcess server(store);
    EXPECT_EQ(States(server), kAfterwards);
  }
  fs::remove(store / fennick_ingest::kIndexFileName);
  IngestProcess again(store);
  EXPECT_EQ(States(again), kAfterwards);
}

}  // namespace
