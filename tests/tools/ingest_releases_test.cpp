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

// The kind whose function names a crash or a group; null for any other name, or none.
const ReleaseCrashKind* KindOf(const json& named) {
  for (const ReleaseCrashKind& kind : kReleaseCrashKinds) {
    if (named.value("top_function", json()) == kind.function) return &kind;
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
    SCOPED_TRACE(report["dump_id"].get<std::string>() + ": " + crash.value("signature", json()).dump());
    const ReleaseCrashKind* kind = KindOf(crash);
    if (kind == nullptr) {
      ADD_FAILURE() << "named by no function of the program: " << crash["frames"].dump();
      continue;
    }
    EXPECT_EQ(kind->kind, kind_of_report[report["dump_id"]]);
    const json frame = NamingFrame(crash);
    const json file = frame.value("file", json());
    EXPECT_EQ(fs::path(file.is_string() ? file.get<std::string>() : "").filename(), kind->source);
    EXPECT_EQ(frame.value("line", json()), ReleaseMarkedLine(*kind));
  }

  const httplib::Result groups = server.Client().Get("/api/groups");
  ASSERT_TRUE(groups);
  std::set<std::string> kinds;
  for (const json& group : json::parse(groups->body)) {
    const ReleaseCrashKind* kind = KindOf(group);
    EXPECT_NE(kind, nullptr) << group["signature"];
    EXPECT_EQ(group["count"], kReleaseBuilds.size()) << group["signature"];
    if (kind != nullptr) kinds.insert(kind->kind);
  }
  EXPECT_EQ(kinds.size(), kReleaseCrashKinds.size());
}

}  // namespace
