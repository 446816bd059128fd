// Signature rules through the whole server: the crasher (tests/fixtures) built with symbols
// crashes under Wine in StoreField, and a rules file that skips StoreField moves its report
// to its caller's group at the next start, signed again from its stored frames.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "crasher_runs.h"
#include "ingest_test_server.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr char kStoreField[] =
    "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe!(anonymous namespace)::StoreField";
constexpr char kWriteRecord[] =
    "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe!(anonymous namespace)::WriteRecord";

// The rules shipped beside the built server.
std::string ShippedRules() {
  return ReadTestFile(fs::path(FENNICK_INGEST_EXE).parent_path() / "signature-rules.txt");
}

json OnlyReport(const IngestProcess& server) {
  AwaitAnalyses(server);
  const httplib::Result res = server.Client().Get("/api/reports");
  const json reports = json::parse(res ? res->body : "[]", nullptr, false);
  return reports.size() == 1 ? reports[0] : json();
}

TEST(IngestRules, RulesOfAnotherVersionRegroupTheStoredReportsAtTheNextStart) {
  TempFolder temp;
  const ProcessOutput added =
      RunProcess(FENNICK_INGEST_EXE, {"--store", (temp / "store").string(), "--add-symbols",
                                      Fixture("crasher-dwarf", "Ortivo.exe").string()});
  ASSERT_EQ(added.exit_code, 0) << added.standard_error;
  json frames;
  {
    IngestProcess server(temp / "store");
    PostReport(server, ReportForm("nested", CrashUnderWine("crasher-dwarf").dump), 200);
    const json report = OnlyReport(server);
    EXPECT_EQ(report["crash"]["signature"], kStoreField) << report.dump();
    EXPECT_EQ(report["crash"]["signature_rules"], "1");
    frames = report["crash"]["frames"];
  }
  std::string rules = ShippedRules();
  const size_t version = rules.find("\nversion 1\n");
  ASSERT_NE(version, std::string::npos);
  rules.replace(version, 11, "\nversion 2\n");
  WriteTestFile(temp / "rules.txt", rules + "function StoreField\n");

  IngestProcess server(temp / "store", {"--signature-rules", (temp / "rules.txt").string()});
  const json report = OnlyReport(server);
  EXPECT_EQ(report["crash"]["signature"], kWriteRecord) << report.dump();
  EXPECT_EQ(report["crash"]["top_function"], "(anonymous namespace)::WriteRecord");
  EXPECT_EQ(report["crash"]["signature_rules"], "2");
  // Signed again, not analysed again: the frames stand as they were stored.
  EXPECT_EQ(report["crash"]["frames"], frames);
  const httplib::Result groups = server.Client().Get("/api/groups");
  ASSERT_TRUE(groups);
  const json list = json::parse(groups->body);
  ASSERT_EQ(list.size(), 1u) << list.dump();
  EXPECT_EQ(list[0]["signature"], kWriteRecord);
}

TEST(IngestRules, AMalformedRulesFileStopsTheStartNamingItsLine) {
  TempFolder temp;
  WriteTestFile(temp / "rules.txt", "# ours\nversion 3\nfunction StoreField extra\n");
  const ProcessOutput run = RunProcess(
      FENNICK_INGEST_EXE, {"--port", "0", "--store", (temp / "store").string(),
                           "--signature-rules", (temp / "rules.txt").string()});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.standard_error.find((temp / "rules.txt").string() + ":3:"), std::string::npos)
      << run.standard_error;
}

}  // namespace
