// Ortivo's two releases as a team ships them (tests/fixtures/release: stripped, with their
// debug files kept, built by MinGW and by clang + lld) crash every way the fixture knows under
// Wine, and the whole server groups them: one group per kind of crash, named by the program's
// own function and line, with no system image at hand.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "ingest_test_server.h"
#include "release_crashes.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The shipped rules, and the fixture's crash handler, which every abort passes through.
std::string ReleaseRules() {
  return ReadTestFile(FENNICK_SOURCE_DIR "/tools/ingest/signature-rules.txt") +
         "\nfunction crash_handler::*\n";
}

const ReleaseCrashKind* KindOf(const std::string& function) {
  for (const ReleaseCrashKind& kind : kReleaseCrashKinds) {
    if (kind.function == function) return &kind;
  }
  return nullptr;
}

// The frame of `crash` that names it: the first its top function names.
json NamingFrame(const json& crash) {
  for (const json& frame : crash["frames"]) {
    if (frame["function"] == crash["top_function"]) return frame;
  }
  return json();
}

TEST(IngestReleases, EachKindOfCrashIsOneGroupAcrossReleasesNamedByTheProgramsFunction) {
  TempFolder temp;
  const fs::path store = temp / "store";
  const fs::path rules = temp / "rules.txt";
  WriteTestFile(rules, ReleaseRules());
  // As the README says: the shipped files and the debug files, each build's folder whole.
  std::vector<fs::path> add = {"--store", store, "--add-symbols"};
  for (const std::string& build : kReleaseBuilds) add.push_back(Fixture(build, ""));
  const ProcessOutput added = RunProcess(FENNICK_INGEST_EXE, add);
  ASSERT_EQ(added.exit_code, 0) << added.standard_error;

  IngestProcess server(store, {"--signature-rules", rules.string()});
  std::map<std::string, std::string> kind_of_report;
  for (const std::string& build : kReleaseBuilds) {
    for (const ReleaseCrashKind& kind : kReleaseCrashKinds) {
      const std::string dump_id = build + "-" + kind.kind;
      PostReport(server, ReportForm(dump_id, RunReleaseCrash(build, kind.kind).dump), 200);
      kind_of_report[dump_id] = kind.kind;
    }
  }
  AwaitAnalyses(server);

  const httplib::Result reports = server.Client().Get("/api/reports");
  ASSERT_TRUE(reports);
  for (const json& report : json::parse(reports->body)) {
    const json& crash = report["crash"];
    SCOPED_TRACE(report["dump_id"].get<std::string>() + ": " + crash.dump());
    const ReleaseCrashKind* kind = KindOf(crash.value("top_function", ""));
    ASSERT_NE(kind, nullptr) << "named by no function of the program";
    EXPECT_EQ(kind->kind, kind_of_report[report["dump_id"]]);
    const json frame = NamingFrame(crash);
    EXPECT_EQ(fs::path(frame.value("file", "")).filename(), kind->source);
    EXPECT_EQ(frame["line"], ReleaseMarkedLine(*kind));
  }

  const httplib::Result groups = server.Client().Get("/api/groups");
  ASSERT_TRUE(groups);
  std::set<std::string> functions;
  for (const json& group : json::parse(groups->body)) {
    EXPECT_EQ(group["count"], kReleaseBuilds.size()) << group.dump();
    functions.insert(group.value("top_function", ""));
  }
  EXPECT_EQ(functions.size(), kReleaseCrashKinds.size());
}

}  // namespace
