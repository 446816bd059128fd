#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "crasher_facts.h"
#include "ingest_test_server.h"
#include "minidump_analysis.h"
#include "minidump_builder.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const fs::path kRealDump = FENNICK_SOURCE_DIR "/tests/fixtures/dumps/null_write.dmp";

// The answer to GET `path` once the analyses of every report posted so far are in.
json GetJson(const IngestProcess& server, const std::string& path) {
  AwaitAnalyses(server);
  const httplib::Result res = server.Client().Get(path);
  return res ? json::parse(res->body, nullptr, false) : json();
}

// The reports of /api/reports by dump_id.
std::map<std::string, json> ReportsById(const IngestProcess& server) {
  std::map<std::string, json> reports;
  for (const json& report : GetJson(server, "/api/reports")) reports[report["dump_id"]] = report;
  return reports;
}

httplib::MultipartFormDataItems Form(const std::string& dump_id, const std::string& dump,
                                     const std::string& device_id, const std::string& version) {
  return {{"file", dump, "d.dmp", ""},
          {"dump_id", dump_id, "", ""},
          {"device_id", device_id, "", ""},
          {"app_version", version, "", ""}};
}

// A received_utc that moves with `received_ms`, counted from a day's 10:15:30.
std::string ReceivedUtc(int64_t received_ms) {
  char text[48];
  std::snprintf(text, sizeof text, "2026-12-08T10:15:%02lld.%03lldZ",
                static_cast<long long>(30 + received_ms / 1000),
                static_cast<long long>(received_ms % 1000));
  return text;
}

// A report folder as an earlier server left it: the dump d.dmp and a report.json, with
// `analysis` when it is not null.
void PlantReport(const fs::path& store, const std::string& dump_id, int64_t received_ms,
                 const std::string& dump, const json& analysis = nullptr) {
  json record = {{"fields", {{"dump_id", dump_id}, {"uin", "42"}}},
                 {"dump_file", "d.dmp"},
                 {"dump_bytes", dump.size()},
                 {"received_utc", ReceivedUtc(received_ms)},
                 {"received_ms", received_ms}};
  if (!analysis.is_null()) record["analysis"] = analysis;
  WriteTestFile(store / dump_id / "d.dmp", dump);
  WriteTestFile(store / dump_id / "report.json", record.dump());
}

json AnalysisNaming(const std::string& signature,
                    int version = fennick_minidump::kAnalysisVersion) {
  return {{"analysis_version", version}, {"crash", {{"signature", signature}}}};
}

TEST(IngestCrashTest, NamesEachCrashAndGroupsIdenticalOnes) {
  TempFolder temp;
  IngestProcess server(temp / "store");
  const std::string real = ReadTestFile(kRealDump);
  const std::string other = fennick_minidump::BuildDump({});  // a write at Ortivo.exe+0x1643
  PostReport(server, Form("SAME-1", real, "device-a", "3.2.1.45"), 200);
  PostReport(server, Form("SAME-2", real, "device-b", "3.2.0.12"), 200);
  PostReport(server, Form("OTHER", other, "device-a", "3.2.1.45"), 200);

  std::map<std::string, json> reports = ReportsById(server);
  const auto facts =
      ParseCrasherFacts(ReadTestFile(FENNICK_SOURCE_DIR "/tests/fixtures/dumps/null_write.txt"));
  char offset[32];
  std::snprintf(offset, sizeof offset, "0x%llX",
                static_cast<unsigned long long>(HexFact(facts, "exception_address") -
                                                HexFact(facts, "module_base")));
  const json& crash = reports["SAME-1"]["crash"];
  EXPECT_EQ(crash["exception_code"], facts.at("exception_code"));
  EXPECT_EQ(crash["module"], facts.at("module"));
  EXPECT_EQ(crash["module_offset"], offset);
  for (const char* member : {"exception_name", "crash_address", "signature", "os", "cpu"}) {
    EXPECT_TRUE(crash[member].is_string()) << member;
  }
  EXPECT_EQ(reports["SAME-2"]["crash"]["signature"], crash["signature"]);
  // One report whole, as its page shows it: the list's crash in the analysis, the reader's
  // findings beside it.
  const json one = GetJson(server, "/api/reports/SAME-1");
  EXPECT_EQ(one["dump_id"], "SAME-1");
  EXPECT_EQ(one["fields"]["device_id"], "device-a");
  EXPECT_EQ(one["analysis"]["crash"], crash);
  EXPECT_EQ(one["analysis"]["minidump"]["modules"].size(), 8u);
  EXPECT_EQ(server.Client().Get("/api/reports/NONE")->status, 404);
  EXPECT_NE(reports["OTHER"]["crash"]["signature"], crash["signature"]);

  using Group = std::tuple<json, size_t, std::set<std::string>, std::set<std::string>, size_t>;
  const auto groups = [&] {
    std::vector<Group> seen;
    for (const json& group : GetJson(server, "/api/groups")) {
      seen.emplace_back(group["signature"], group["count"], group["dump_ids"],
                        group["app_versions"], group["devices"]);
    }
    return seen;
  };
  const json other_signature = reports["OTHER"]["crash"]["signature"];
  EXPECT_EQ(groups(),
            (std::vector<Group>{
                {crash["signature"], 2, {"SAME-1", "SAME-2"}, {"3.2.0.12", "3.2.1.45"}, 2},
                {other_signature, 1, {"OTHER"}, {"3.2.1.45"}, 1}}));

  // A report sent again with another crash moves to that crash's group.
  PostReport(server, Form("SAME-1", other, "device-a", "3.2.1.45"), 200);
  EXPECT_EQ(groups(),
            (std::vector<Group>{{other_signature, 2, {"OTHER", "SAME-1"}, {"3.2.1.45"}, 1},
                                {crash["signature"], 1, {"SAME-2"}, {"3.2.0.12"}, 1}}));
}

TEST(IngestCrashTest, StoresDumpsThatNameNoCrashWithTheReason) {
  TempFolder temp;
  IngestProcess server(temp / "store");
  std::string random(4096, '\0');
  std::mt19937 generator(15);
  for (char& byte : random) byte = static_cast<char>(generator());
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"EMPTY", "", "unreadable: empty file"},
      {"CUT", ReadTestFile(kRealDump).substr(0, 2000),
       "unreadable: module list stream past the end of the file"},
      {"RANDOM", random, "unreadable: "},
      {"HEADER-ONLY", "MDMP", "unreadable: shorter than a minidump header"},
  };
  for (const auto& [dump_id, dump, error] : cases)
    PostReport(server, Form(dump_id, dump, "", ""), 200);
  std::map<std::string, json> reports = ReportsById(server);
  ASSERT_EQ(reports.size(), std::size(cases));
  for (const auto& [dump_id, dump, error] : cases) {
    SCOPED_TRACE(dump_id);
    EXPECT_TRUE(reports[dump_id]["crash"].is_null());
    EXPECT_TRUE(reports[dump_id]["analysis_error"].get<std::string>().starts_with(error))
        << reports[dump_id];
    const httplib::Result page =
        server.Client().Get(reports[dump_id]["report_url"].get<std::string>());
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find(error), std::string::npos);
  }
  EXPECT_EQ(GetJson(server, "/api/groups"), json::array());

  // Long module names of control characters, escaped, would make report.json too long to
  // read back; the crash is kept without them rather than the report refused.
  fennick_minidump::DumpParts parts;
  for (uint64_t i = 0; i < 120; ++i) {
    parts.modules.push_back(parts.modules[1]);
    parts.modules.back().base_of_image = 0x10000000 * (i + 1);
    parts.module_names.push_back(std::u16string(32000, u'\x01'));
  }
  PostReport(server, Form("LONG-NAMES", fennick_minidump::BuildDump(parts), "", ""), 200);
  EXPECT_EQ(ReportsById(server)["LONG-NAMES"]["crash"]["module"], "Ortivo.exe");
  const json record =
      json::parse(ReadTestFile(temp / "store" / "LONG-NAMES" / "report.json"), nullptr, false);
  EXPECT_TRUE(record["analysis"]["minidump_left_out"].is_string()) << record["analysis"];
}

TEST(IngestCrashTest, AnalysesReportsStoredBeforeOnceAtStart) {
  TempFolder temp;
  const fs::path store = temp / "store";
  const std::string real = ReadTestFile(kRealDump);
  PlantReport(store, "NONE", 1, real);
  PlantReport(store, "OLDER", 2, real, AnalysisNaming("OLDER READER", 0));
  PlantReport(store, "CURRENT", 3, real, AnalysisNaming("KEPT"));
  const fs::path trace = temp / "strace.log";
  // One worker, so that the rewrites' calls come one rewrite after the other.
  IngestProcess server(store, {"--analysis-workers", "1"},
                       {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-f",
                        "-o", trace.string(), "-e", "trace=openat,fsync,renameat"});

  const std::map<std::string, json> reports = ReportsById(server);
  const json signature =
      reports.at("NONE")["crash"].is_object() ? reports.at("NONE")["crash"]["signature"] : json();
  EXPECT_EQ(signature, "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe+0x156B");
  EXPECT_EQ(reports.at("OLDER")["crash"]["signature"], signature);
  EXPECT_EQ(reports.at("CURRENT")["crash"]["signature"], "KEPT");
  for (const char* dump_id : {"NONE", "OLDER"}) {
    const json record = json::parse(ReadTestFile(store / dump_id / "report.json"), nullptr, false);
    EXPECT_EQ(record["analysis"]["analysis_version"], fennick_minidump::kAnalysisVersion);
    EXPECT_EQ(record["fields"]["uin"], "42") << dump_id;
    EXPECT_EQ(std::distance(fs::directory_iterator(store / dump_id), {}), 2) << dump_id;
  }
  // Each record is rewritten whole: the new one flushed before it takes the name, and the
  // folder flushed after.
  kill(std::stoi(ReadTestFile(trace)), SIGTERM);
  server.Stop();
  const std::string calls = ReadTestFile(trace);
  // strace splits a call that another thread's call interrupts: "<unfinished ...>", and its
  // result later.
  const std::regex rewrite(
      R"(openat\((\d+), "report.json.tmp", O_WRONLY[^\n]* = (\d+)\n(?:.*\n)*?)"
      R"(.*fsync\(\2(?:\) += 0| <unfinished \.\.\.>)\n(?:.*\n)*?)"
      R"(.*renameat\(\1, "report.json.tmp", \1, "report.json"(?:\) = 0| <unfinished \.\.\.>)\n)"
      R"((?:.*\n)*?.*fsync\(\1(?:\) += 0| <unfinished \.\.\.>))");
  EXPECT_EQ(std::distance(std::sregex_iterator(calls.begin(), calls.end(), rewrite), {}), 2)
      << calls;
}

TEST(IngestCrashTest, PagesNewestFirstWithTheTotalAndTheNextPage) {
  TempFolder temp;
  const fs::path store = temp / "store";
  // R5 is the newest; crash A has three reports, C was seen after B.
  const char* signatures[] = {"A", "A", "A", "B", "C"};
  for (int i = 0; i < 5; ++i) {
    PlantReport(store, "R" + std::to_string(i + 1), i + 1, "MDMP", AnalysisNaming(signatures[i]));
  }
  IngestProcess server(store);
  const std::tuple<std::string, int, std::vector<std::string>, std::string, std::string> cases[] = {
      {"/api/reports", 200, {"R5", "R4", "R3", "R2", "R1"}, "5", ""},
      {"/api/reports?per_page=2", 200, {"R5", "R4"}, "5", "</api/reports?page=2&per_page=2>"},
      {"/api/reports?page=2&per_page=2",
       200,
       {"R3", "R2"},
       "5",
       "</api/reports?page=3&per_page=2>"},
      {"/api/reports?page=3&per_page=2", 200, {"R1"}, "5", ""},
      {"/api/reports?page=4&per_page=2", 200, {}, "5", ""},
      {"/api/reports?per_page=5", 200, {"R5", "R4", "R3", "R2", "R1"}, "5", ""},
      {"/api/reports?per_page=100000", 200, {"R5", "R4", "R3", "R2", "R1"}, "5", ""},
      {"/api/reports?signature=A&per_page=2",
       200,
       {"R3", "R2"},
       "3",
       "</api/reports?signature=A&page=2&per_page=2>"},
      {"/api/groups?per_page=2", 200, {"A", "C"}, "3", "</api/groups?page=2&per_page=2>"},
      {"/api/groups?page=2&per_page=2", 200, {"B"}, "3", ""},
      // Far past the end: its position overflows, and wrapped round it would be 0.
      {"/api/reports?page=9223372036854775809&per_page=2", 200, {}, "5", ""},
      // A refusal says why where the Link header would be.
      {"/api/reports?page=0", 400, {}, "", "page: not a whole number from 1 on"},
      {"/api/reports?page=", 400, {}, "", "page: not a whole number from 1 on"},
      {"/api/groups?per_page=-1", 400, {}, "", "per_page: not a whole number from 1 on"},
      {"/api/groups?per_page=2x", 400, {}, "", "per_page: not a whole number from 1 on"},
      {"/api/reports?bogus=1", 400, {}, "", "unknown parameter: bogus"},
      {"/api/groups?groups_page=1", 400, {}, "", "unknown parameter: groups_page"},
  };
  for (const auto& [path, status, listed, total, next] : cases) {
    SCOPED_TRACE(path);
    const httplib::Result res = server.Client().Get(path);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, status);
    if (status != 200) {
      EXPECT_EQ(json::parse(res->body, nullptr, false), (json{{"code", status}, {"error", next}}));
      continue;
    }
    std::vector<std::string> names;
    for (const json& entry : json::parse(res->body, nullptr, false)) {
      names.push_back(entry.contains("dump_id") ? entry["dump_id"] : entry["signature"]);
    }
    EXPECT_EQ(names, listed);
    EXPECT_EQ(res->get_header_value("X-Total-Count"), total);
    EXPECT_EQ(res->get_header_value("Link"), next.empty() ? "" : next + "; rel=\"next\"");
  }
  // Crash A was first seen with R1, last with R3.
  const json a = GetJson(server, "/api/groups")[0];
  EXPECT_EQ(a["first_received_utc"], ReceivedUtc(1)) << a;
  EXPECT_EQ(a["last_received_utc"], ReceivedUtc(3)) << a;
  // The inbox page: its pages link to each other, and a group to the list of its reports.
  const std::tuple<std::string, std::vector<std::string>, std::vector<std::string>> pages[] = {
      {"/?per_page=2",
       {"href=\"/?page=2&amp;per_page=2\">older", ">R4</a>", "href=\"/?signature=A\""},
       {">R3</a>"}},
      {"/?groups_per_page=2", {"href=\"/?groups_page=2&amp;groups_per_page=2\">less frequent"}, {}},
      {"/?signature=A", {"3 reports of the crash", ">R1</a>"}, {">R4</a>", "Crashes"}},
  };
  for (const auto& [path, shown, left_out] : pages) {
    const httplib::Result page = server.Client().Get(path);
    ASSERT_TRUE(page);
    for (const std::string& text : shown)
      EXPECT_NE(page->body.find(text), std::string::npos) << path << " " << text;
    for (const std::string& text : left_out)
      EXPECT_EQ(page->body.find(text), std::string::npos) << path << " " << text;
  }
}

TEST(IngestCrashTest, ServesAThousandAPageAtMost) {
  TempFolder temp;
  const fs::path store = temp / "store";
  for (int i = 1; i <= 1001; ++i) {
    PlantReport(store, "R" + std::to_string(i), i, "MDMP", AnalysisNaming("A"));
  }
  IngestProcess server(store);
  const httplib::Result res = server.Client().Get("/api/reports?per_page=1001");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body, nullptr, false).size(), 1000u);
  EXPECT_EQ(res->get_header_value("Link"), "</api/reports?page=2&per_page=1000>; rel=\"next\"");
}

}  // namespace
