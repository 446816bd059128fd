// The crash fixture's stack through the whole server: the crasher (tests/fixtures) built
// with symbols crashes under Wine three calls deep, its dump is uploaded, and its symbols
// arrive after it, by upload or offline before a start.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "crasher_runs.h"
#include "ingest_test_server.h"
#include "support/child_process.h"
#include "support/temp_folder.h"
#include "symbol_key.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr char kSignature[] =
    "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe!(anonymous namespace)::StoreField";

std::string Hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

// The entries of `missing` for the fixture's own files (system modules of Wine's may follow).
json OwnMissing(const json& missing) {
  json own = json::array();
  for (const json& entry : missing) {
    if (entry["file"].get<std::string>().starts_with("Ortivo.")) own.push_back(entry);
  }
  return own;
}

// The crash of each report by dump_id, once every analysis under way has ended.
json Crashes(const IngestProcess& server) {
  AwaitAnalyses(server);
  json crashes;
  const httplib::Result res = server.Client().Get("/api/reports");
  for (const json& report : json::parse(res ? res->body : "[]", nullptr, false)) {
    crashes[report["dump_id"].get<std::string>()] = report["crash"];
  }
  return crashes;
}

// Whether the stack of `crash` is named; a report without a crash has none.
bool Symbolicated(const json& crash) {
  return crash.is_object() && crash.value("symbolicated", false);
}

TEST(IngestStacks, SymbolsArrivingAfterTheCrashesNameTheirStacksAndJoinTheirGroups) {
  const struct {
    const char* build;
    std::vector<const char*> symbol_files;
  } kBuilds[] = {
      {"crasher-dwarf", {"Ortivo.exe"}},
      {"crasher-dwarf-b", {"Ortivo.exe"}},
      {"crasher-pdb", {"Ortivo.exe", "Ortivo.pdb"}},
  };
  TempFolder temp;
  std::map<std::string, NestedCrash> crashes;
  {
    IngestProcess server(temp / "store");
    for (const auto& build : kBuilds) {
      crashes[build.build] = CrashUnderWine(build.build);
      PostReport(server, ReportForm(build.build, crashes[build.build].dump), 200);
    }
    // Without symbols: the frames a scan finds, and what to add.
    const json before = Crashes(server);
    for (const auto& build : kBuilds) {
      SCOPED_TRACE(build.build);
      const json& crash = before[build.build];
      const auto& facts = crashes[build.build].facts;
      const uint64_t base = HexFact(facts, "module_base");
      EXPECT_EQ(crash["signature"], "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe+" +
                                        Hex(HexFact(facts, "exception_address") - base));
      // The callers' return addresses, in order, among stale ones a scan also finds.
      std::vector<std::string> returns = {Hex(HexFact(facts, "store_field_return") - base),
                                          Hex(HexFact(facts, "write_record_return") - base)};
      for (const json& frame : crash["frames"]) {
        if (!returns.empty() && frame["trust"] == "scan" && frame["module_offset"] == returns[0]) {
          returns.erase(returns.begin());
        }
      }
      EXPECT_TRUE(returns.empty()) << crash["frames"].dump();
      EXPECT_FALSE(Symbolicated(crash));
      // Wine's dumps name no PDB: the executable, once added, names it.
      const std::string key =
          fennick_symbols::IdentifySymbolFile(Fixture(build.build, "Ortivo.exe")).key;
      const std::string text = "Ortivo.exe of this build (key " + key + ")";
      const json missing = {{{"file", "Ortivo.exe"},
                             {"key", key},
                             {"kind", "executable"},
                             {"system", false},
                             {"text", text}}};
      EXPECT_EQ(OwnMissing(crash["missing_symbols"]), missing);
      // The report page says what to add, under which key.
      const httplib::Result page = server.Client().Get(std::string("/reports/") + build.build);
      ASSERT_TRUE(page);
      EXPECT_NE(page->body.find("Ortivo.exe/" + key + "/Ortivo.exe"), std::string::npos);
      EXPECT_NE(page->body.find(text), std::string::npos);
    }
    // Symbols uploaded for the first two builds while the server runs.
    for (const auto& build : {kBuilds[0], kBuilds[1]}) {
      const httplib::Result res = server.Client().Post(
          "/api/symbols", {{"X-Api-Key", kIngestApiKey}},
          {{"file", ReadTestFile(Fixture(build.build, "Ortivo.exe")), "Ortivo.exe", ""}});
      ASSERT_TRUE(res && res->status == 200) << (res ? res->body : "no answer");
    }
    const json named = Crashes(server);
    for (const auto& build : {kBuilds[0], kBuilds[1]}) {
      EXPECT_TRUE(Symbolicated(named[build.build])) << build.build << " stayed unnamed";
    }
  }
  // The third build's symbols are added offline; the next start names its stack.
  std::vector<fs::path> add = {"--store", temp / "store", "--add-symbols"};
  for (const char* file : kBuilds[2].symbol_files) add.push_back(Fixture(kBuilds[2].build, file));
  const ProcessOutput added = RunProcess(FENNICK_INGEST_EXE, add);
  ASSERT_EQ(added.exit_code, 0) << added.standard_error;
  IngestProcess server(temp / "store");
  const json after = Crashes(server);

  const std::vector<std::tuple<std::string, int, const char*>> expected = {
      {"(anonymous namespace)::StoreField", MarkedLine("crash-line", "StoreField"), "context"},
      {"(anonymous namespace)::WriteRecord", MarkedLine("call-line", "WriteRecord"), "unwind"},
      {"(anonymous namespace)::SaveDocument", MarkedLine("call-line", "SaveDocument"), "unwind"}};
  for (const auto& build : kBuilds) {
    SCOPED_TRACE(build.build);
    const json& crash = after[build.build];
    ASSERT_TRUE(Symbolicated(crash)) << build.build << " stayed unnamed: " << crash.dump();
    EXPECT_EQ(crash["signature"], kSignature);
    EXPECT_EQ(OwnMissing(crash["missing_symbols"]), json::array());
    ASSERT_GE(crash["frames"].size(), 3u) << crash.dump();
    for (size_t i = 0; i < expected.size(); ++i) {
      const json& frame = crash["frames"][i];
      EXPECT_EQ(frame["function"], std::get<0>(expected[i])) << frame;
      EXPECT_TRUE(frame["file"].get<std::string>().ends_with("crasher.cpp")) << frame;
      EXPECT_EQ(frame["line"], std::get<1>(expected[i])) << frame;
      EXPECT_EQ(frame["trust"], std::get<2>(expected[i])) << frame;
    }
  }
  // The same crash from three builds, at three offsets, is one group.
  const httplib::Result groups = server.Client().Get("/api/groups");
  ASSERT_TRUE(groups);
  const json list = json::parse(groups->body);
  ASSERT_EQ(list.size(), 1u) << list.dump();
  EXPECT_EQ(list[0]["signature"], kSignature);
  EXPECT_EQ(list[0]["count"], 3);
  EXPECT_EQ(list[0]["top_function"], "(anonymous namespace)::StoreField");
  // The report page shows the stack named, the crash line first.
  const httplib::Result page = server.Client().Get("/reports/crasher-pdb");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("(anonymous namespace)::WriteRecord</td><td class=\"code\">" +
                            std::string(kCrasherSource) + ":" +
                            std::to_string(MarkedLine("call-line", "WriteRecord"))),
            std::string::npos)
      << page->body;
}

// A stripped release's report: its stored executable unwinds but names nothing, so the page
// asks for its debug file by identifier; the build output, once uploaded, names the stack.
TEST(IngestStacks, AStrippedReleaseIsNamedWhenItsDebugFileArrives) {
  const std::string release = "crasher-buildid/stripped";
  TempFolder temp;
  IngestProcess server(temp / "store");
  const auto upload = [&server](const fs::path& file) {
    const httplib::Result res =
        server.Client().Post("/api/symbols", {{"X-Api-Key", kIngestApiKey}},
                             {{"file", ReadTestFile(file), "Ortivo.exe", ""}});
    ASSERT_TRUE(res && res->status == 200) << (res ? res->body : "no answer");
  };
  upload(Fixture(release, "Ortivo.exe"));
  PostReport(server, ReportForm("stripped", CrashUnderWine(release).dump), 200);
  const json before = Crashes(server)["stripped"];
  EXPECT_FALSE(Symbolicated(before));
  const std::string debug_key =
      fennick_symbols::DebugIdentifierOf(Fixture("crasher-buildid", "Ortivo.exe"))->key;
  const json missing = OwnMissing(before["missing_symbols"]);
  ASSERT_EQ(missing.size(), 1u) << before.dump();
  EXPECT_EQ(missing[0]["kind"], "debug");
  EXPECT_EQ(missing[0]["key"], debug_key);
  const httplib::Result page = server.Client().Get("/reports/stripped");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("Ortivo.exe is in the store but holds no debug information: add "
                            "its debug file (identifier " + debug_key + ")"),
            std::string::npos);

  upload(Fixture("crasher-buildid", "Ortivo.exe"));
  const json after = Crashes(server)["stripped"];
  EXPECT_EQ(after["signature"], kSignature) << after.dump();
  EXPECT_EQ(OwnMissing(after["missing_symbols"]), json::array());
}

}  // namespace
