// Analyses in worker processes: damaged symbol files each cost one report's analysis and are
// set aside, an analysis that spins or never answers is ended, and no upload waits for any.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "crasher_runs.h"
#include "damaged_symbols.h"
#include "ingest_test_server.h"
#include "support/temp_folder.h"
#include "symbol_key.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr char kNamedSignature[] =
    "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe!(anonymous namespace)::StoreField";
const fs::path kSmallDump = FENNICK_SOURCE_DIR "/tests/fixtures/dumps/null_write.dmp";
// Damaged copies of each build's symbol file: of the PDB's, variant 53 holds LLVM's PDB reader
// in a loop that takes ever more memory, and some thirty crash it; a few of the DWARF
// executable's crash its DWARF reader.
constexpr uint32_t kDwarfVariants = 120;
constexpr uint32_t kPdbVariants = 240;
constexpr uint32_t kSpinningPdb = 53;

// One of the crash fixture's builds: its files and the dump of its crash.
struct Build {
  std::string executable;
  std::string pdb;  // empty for the DWARF build
  std::string dump;
};

Build LoadBuild(const std::string& name, bool with_pdb) {
  return {ReadTestFile(Fixture(name, "Ortivo.exe")),
          with_pdb ? ReadTestFile(Fixture(name, "Ortivo.pdb")) : std::string(),
          CrashUnderWine(name).dump};
}

// A report whose dump names symbol files of its own, and those files.
struct Variant {
  std::string dump_id;
  std::string dump;
  std::map<fs::path, std::string> files;  // by their place in the symbol store
  std::string damaged_key;                // the key of the damaged file
};

// The build's dump and executable made into another link of it, at `time_stamp`.
Variant Relinked(const Build& build, const std::string& dump_id, uint32_t time_stamp) {
  const std::string key = fennick_symbols::ExecutableKey(time_stamp, ImageSize(build.executable));
  Variant variant{dump_id,
                  WithModuleTimeStamp(build.dump, ImageTimeStamp(build.executable),
                                      ImageSize(build.executable), time_stamp),
                  {},
                  key};
  variant.files[fs::path("Ortivo.exe") / key / "Ortivo.exe"] =
      WithImageTimeStamp(build.executable, time_stamp);
  return variant;
}

Variant DwarfVariant(const Build& build, uint32_t number) {
  Variant variant = Relinked(build, "dwarf-" + std::to_string(number), 0x60000000 + number);
  std::string& executable = variant.files.begin()->second;
  const std::vector<FileSpan> sections = ImageSections(executable, ".debug_");
  executable = Damaged(executable, sections[number % sections.size()], number);
  return variant;
}

// The PDB build relinked as build `number`, with a GUID of its own; damaged unless `whole`.
Variant PdbVariant(const Build& build, uint32_t number, bool whole = false) {
  Variant variant = Relinked(build, "pdb-" + std::to_string(number), 0x61000000 + number);
  std::string& executable = variant.files.begin()->second;
  // The CodeView record: "RSDS", the GUID, the age.
  const size_t record = executable.find("RSDS");
  const std::string guid = executable.substr(record + 4, 16);
  std::string new_guid = guid;
  WriteU32(new_guid, 0, number + 1);
  executable = Replaced(executable, guid, new_guid);
  std::array<uint8_t, 16> guid_bytes;
  std::memcpy(guid_bytes.data(), new_guid.data(), 16);
  variant.damaged_key = fennick_symbols::PdbKey(guid_bytes, ReadU32(executable, record + 20));
  const std::string pdb = Replaced(build.pdb, guid, new_guid);
  variant.files[fs::path("Ortivo.pdb") / variant.damaged_key / "Ortivo.pdb"] =
      whole ? pdb : Damaged(pdb, PdbStreams(pdb), number);
  return variant;
}

void StoreSymbols(const fs::path& symbols, const Variant& variant) {
  for (const auto& [place, bytes] : variant.files) WriteTestFile(symbols / place, bytes);
}

httplib::MultipartFormDataItems Form(const std::string& dump_id, const std::string& dump) {
  return {{"file", dump, "crash.dmp", ""}, {"dump_id", dump_id, "", ""}};
}

// Posts the report and returns how long its answer took; checks it was accepted.
std::chrono::duration<double> TimedPost(const IngestProcess& server, const std::string& dump_id,
                                        const std::string& dump) {
  const Clock::time_point start = Clock::now();
  PostReport(server, Form(dump_id, dump), 200);
  return Clock::now() - start;
}

json GetJson(const IngestProcess& server, const std::string& path) {
  const httplib::Result res = server.Client().Get(path);
  return res ? json::parse(res->body, nullptr, false) : json();
}

std::map<std::string, json> ReportsById(const IngestProcess& server) {
  std::map<std::string, json> reports;
  for (const json& report : GetJson(server, "/api/reports?per_page=1000")) {
    reports[report["dump_id"]] = report;
  }
  return reports;
}

// The symbol files set aside, by "<file> <key>", each with its entry.
std::map<std::string, json> SetAside(const IngestProcess& server) {
  std::map<std::string, json> files;
  const json quarantine = GetJson(server, "/api/symbols/quarantine");
  for (const json& file : quarantine["files"]) {
    files[file["file"].get<std::string>() + " " + file["key"].get<std::string>()] = file;
  }
  return files;
}

json Analyses(const IngestProcess& server) { return GetJson(server, "/api/analyses"); }

// Waits until `ready` holds of the server's analyses; false when it never does.
template <typename Condition>
bool AwaitAnalysesWhere(const IngestProcess& server, Condition ready) {
  const Clock::time_point give_up = Clock::now() + kIngestPatience;
  while (!ready(Analyses(server))) {
    if (Clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The server's children (its workers): their process ids and states ('Z' for one unreaped).
std::map<int, char> ChildrenOf(int pid) {
  std::map<int, char> children;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
    char state = 0;
    int parent = 0;
    if (std::sscanf(line.c_str() + line.rfind(')') + 1, " %c %d", &state, &parent) == 2 &&
        parent == pid) {
      children[std::stoi(entry.path().filename().string())] = state;
    }
  }
  return children;
}

size_t OpenDescriptors(int pid) {
  size_t count = 0;
  for (auto it = fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "fd");
       it != fs::directory_iterator(); ++it) {
    ++count;
  }
  return count;
}

// Takes every report's analysis out of its report.json, as a store from before analyses were
// kept holds them.
void ForgetAnalyses(const fs::path& store) {
  for (const auto& entry : fs::directory_iterator(store)) {
    const fs::path record = entry.path() / "report.json";
    if (!fs::is_regular_file(record)) continue;
    json report = json::parse(ReadTestFile(record));
    report.erase("analysis");
    WriteTestFile(record, report.dump());
  }
}

TEST(IngestWorkers, DamagedSymbolFilesCostOneAnalysisEachAndAreSetAside) {
  const Build dwarf = LoadBuild("crasher-dwarf", false);
  const Build pdb = LoadBuild("crasher-pdb", true);
  TempFolder temp;
  const fs::path store = temp / "store";
  std::map<std::string, Variant> variants;
  for (uint32_t i = 0; i < kDwarfVariants; ++i) {
    Variant variant = DwarfVariant(dwarf, i);
    variants.emplace(variant.dump_id, std::move(variant));
  }
  for (uint32_t i = 0; i < kPdbVariants; ++i) {
    Variant variant = PdbVariant(pdb, i);
    variants.emplace(variant.dump_id, std::move(variant));
  }
  for (const auto& [id, variant] : variants) StoreSymbols(store / "symbols", variant);
  const std::vector<std::string> options = {"--analysis-cpu-seconds", "5"};
  std::map<std::string, json> first_set_aside;
  {
    IngestProcess server(store, options);
    // Each worker running holds one descriptor of the server's; workers that come and go add
    // none.
    PostReport(server, Form("CLEAN", ReadTestFile(kSmallDump)), 200);
    AwaitAnalyses(server);
    const size_t descriptors = OpenDescriptors(server.pid()) - ChildrenOf(server.pid()).size();
    for (const auto& [id, variant] : variants) PostReport(server, Form(id, variant.dump), 200);
    AwaitAnalyses(server);

    // Every report has its crash: those whose symbols stopped a worker were analysed again
    // without them.
    const std::map<std::string, json> reports = ReportsById(server);
    ASSERT_EQ(reports.size(), variants.size() + 1);
    for (const auto& [id, report] : reports) {
      ASSERT_TRUE(report["crash"].is_object()) << report.dump();
      EXPECT_TRUE(report["crash"]["signature"].get<std::string>().starts_with(
          "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe"))
          << report.dump();
    }
    // Each file that stopped a worker is set aside, named with its report and why.
    first_set_aside = SetAside(server);
    const std::regex reason(
        R"((signal \d+|over 5 s of CPU|over 2048 MiB of memory) while reading (Ortivo\.(exe|pdb)) (\w+))");
    std::set<std::string> kinds;
    for (const auto& [name, file] : first_set_aside) {
      SCOPED_TRACE(name);
      std::smatch match;
      const std::string text = file["reason"];
      ASSERT_TRUE(std::regex_match(text, match, reason)) << text;
      kinds.insert(match[1].str().substr(0, match[1].str().find(' ')));
      EXPECT_EQ(match[2].str() + " " + match[4].str(), name);
      EXPECT_EQ(file["key"], variants.at(file["dump_id"].get<std::string>()).damaged_key);
      const httplib::Result page =
          server.Client().Get("/reports/" + file["dump_id"].get<std::string>());
      ASSERT_TRUE(page);
      EXPECT_NE(page->body.find(name + " is set aside: it stopped an analysis"), std::string::npos);
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"signal", "over"}))
        << "the corpus holds files that crash a worker and one that holds it in a loop";
    // Every worker that ended was waited for, and its socket closed.
    const std::map<int, char> workers = ChildrenOf(server.pid());
    for (const auto& [child, state] : workers) EXPECT_NE(state, 'Z') << child;
    EXPECT_LE(workers.size(), 2u);
    // The inbox's last connections may still be closing.
    const Clock::time_point give_up = Clock::now() + kIngestPatience;
    while (OpenDescriptors(server.pid()) > descriptors + workers.size() &&
           Clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_LE(OpenDescriptors(server.pid()), descriptors + workers.size());
    EXPECT_EQ(server.Stop(), 0) << server.Log();
  }

  // A start on a store full of them listens at once and analyses them in the background.
  ForgetAnalyses(store);
  fs::remove(store / "~quarantine.json");
  IngestProcess server(store, options);
  EXPECT_GT(Analyses(server).value("waiting", 0), 0) << server.Log();
  PostReport(server, Form("MEANWHILE", ReadTestFile(kSmallDump)), 200);
  EXPECT_TRUE(Analyses(server) != json({{"running", 0}, {"waiting", 0}}));
  AwaitAnalyses(server);
  EXPECT_EQ(ReportsById(server)["MEANWHILE"]["crash"]["module"], "Ortivo.exe");
  std::set<std::string> again;
  for (const auto& [name, file] : SetAside(server)) again.insert(name);
  std::set<std::string> first;
  for (const auto& [name, file] : first_set_aside) first.insert(name);
  EXPECT_EQ(again, first);
}

TEST(IngestWorkers, NoUploadWaitsForAnAnalysisThatSpinsWhichItsLimitsEnd) {
  const Variant spinning = PdbVariant(LoadBuild("crasher-pdb", true), kSpinningPdb);
  const std::string small = ReadTestFile(kSmallDump);
  TempFolder temp;
  const fs::path store = temp / "store";
  StoreSymbols(store / "symbols", spinning);
  constexpr int kUploads = 20;
  {
    IngestProcess server(store, {"--analysis-workers", "1", "--analysis-cpu-seconds", "600"});
    // Side by side: uploads while the one worker is idle, then while it spins.
    std::vector<double> idle;
    for (int i = 0; i < kUploads; ++i) {
      idle.push_back(TimedPost(server, "IDLE-" + std::to_string(i), small).count());
      AwaitAnalyses(server);
    }
    PostReport(server, Form(spinning.dump_id, spinning.dump), 200);
    ASSERT_TRUE(AwaitAnalysesWhere(server, [](const json& status) {
      return status == json({{"running", 1}, {"waiting", 0}});
    }));
    std::vector<double> amid_spin;
    for (int i = 0; i < kUploads; ++i) {
      amid_spin.push_back(TimedPost(server, "AMID-" + std::to_string(i), small).count());
    }
    // Every one was answered while the spin went on, none analysed yet.
    EXPECT_EQ(Analyses(server), json({{"running", 1}, {"waiting", kUploads}}));
    std::printf("slowest upload with the worker idle %.3f s, while it spins %.3f s\n",
                *std::max_element(idle.begin(), idle.end()),
                *std::max_element(amid_spin.begin(), amid_spin.end()));
    // Stopping ends the spinning worker; its analysis is done again at the next start.
    EXPECT_EQ(server.Stop(), 0) << server.Log();
  }

  IngestProcess server(store, {"--analysis-cpu-seconds", "2"});
  AwaitAnalyses(server);
  const std::string name = "Ortivo.pdb " + spinning.damaged_key;
  std::map<std::string, json> set_aside = SetAside(server);
  ASSERT_EQ(set_aside.size(), 1u) << server.Log();
  const std::string reason = set_aside[name]["reason"];
  EXPECT_TRUE(reason == "over 2 s of CPU while reading " + name ||
              reason == "over 2048 MiB of memory while reading " + name)
      << reason;
  EXPECT_EQ(set_aside[name]["dump_id"], spinning.dump_id);
  std::map<std::string, json> reports = ReportsById(server);
  EXPECT_EQ(reports.size(), 2u * kUploads + 1);
  for (const auto& [id, report] : reports) EXPECT_TRUE(report["crash"].is_object()) << id;
  EXPECT_NE(reports[spinning.dump_id]["crash"]["signature"], kNamedSignature);

  // The whole file stored under the same key takes the damaged one's place and names the stack.
  const Variant whole = PdbVariant(LoadBuild("crasher-pdb", true), kSpinningPdb, true);
  const httplib::Result res = server.Client().Post(
      "/api/symbols", {{"X-Api-Key", kIngestApiKey}},
      {{"file", whole.files.at(fs::path("Ortivo.pdb") / whole.damaged_key / "Ortivo.pdb"),
        "Ortivo.pdb", ""}});
  ASSERT_TRUE(res && res->status == 200) << (res ? res->body : "no answer");
  EXPECT_EQ(SetAside(server), (std::map<std::string, json>{}));
  AwaitAnalyses(server);
  EXPECT_EQ(ReportsById(server)[spinning.dump_id]["crash"]["signature"], kNamedSignature);
}

TEST(IngestWorkers, AWorkerThatNeverAnswersIsEndedAtItsDeadlineAndReplaced) {
  const std::string small = ReadTestFile(kSmallDump);
  TempFolder temp;
  IngestProcess server(temp / "store", {"--analysis-workers", "1", "--analysis-seconds", "4"});
  PostReport(server, Form("FIRST", small), 200);
  AwaitAnalyses(server);
  const std::map<int, char> workers = ChildrenOf(server.pid());
  ASSERT_EQ(workers.size(), 1u);
  // A worker held as a stalled disk or a debugger holds it: it takes its job, then nothing.
  kill(workers.begin()->first, SIGSTOP);
  PostReport(server, Form("HELD", small), 200);
  AwaitAnalyses(server);
  PostReport(server, Form("AFTER", small), 200);
  AwaitAnalyses(server);
  std::map<std::string, json> reports = ReportsById(server);
  EXPECT_EQ(reports["HELD"]["crash"], nullptr);
  EXPECT_EQ(reports["HELD"]["analysis_error"], "analysis stopped: no answer within 4 s");
  EXPECT_EQ(reports["AFTER"]["crash"]["module"], "Ortivo.exe");
  EXPECT_EQ(SetAside(server), (std::map<std::string, json>{}));
  EXPECT_EQ(ChildrenOf(server.pid()).count(workers.begin()->first), 0u);
}

}  // namespace
