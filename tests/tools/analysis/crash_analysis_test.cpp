// The whole analysis of a real dump, in-process: the crasher built with DWARF crashes under
// Wine three calls deep, and its dump is analysed with the program's own symbols stored.
#include "crash_analysis.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <map>
#include <span>
#include <string>

#include "crash_summary.h"
#include "minidump_format.h"
#include "minidump_reader.h"
#include "symbol_key.h"
#include "support/temp_folder.h"
#include "tools/crasher_runs.h"

namespace fennick_analysis {
namespace {

namespace fs = std::filesystem;
using fennick_minidump::HexText;
using Json = nlohmann::ordered_json;

const fs::path kCrasher = Fixture("crasher-dwarf", "Ortivo.exe");
constexpr size_t kRoomForAll = size_t{1} << 30;

// Copies the `T` at `offset` of `dump` into `out`; false when the dump is shorter.
template <typename T>
bool CopyAt(const std::string& dump, uint64_t offset, T* out) {
  if (offset > dump.size() || sizeof *out > dump.size() - offset) return false;
  std::memcpy(out, dump.data() + offset, sizeof *out);
  return true;
}

// Sets RIP in the context of the dump's exception stream.
void SetCrashRip(std::string& dump, uint64_t rip) {
  using namespace fennick_minidump;
  Header header;
  ASSERT_TRUE(CopyAt(dump, 0, &header));
  for (uint32_t i = 0; i < header.number_of_streams; ++i) {
    Directory entry;
    ASSERT_TRUE(CopyAt(dump, header.stream_directory_rva + uint64_t{i} * sizeof entry, &entry));
    if (entry.stream_type != kExceptionStream) continue;
    ExceptionStream exception;
    ASSERT_TRUE(CopyAt(dump, entry.location.rva, &exception));
    const uint64_t at = uint64_t{exception.thread_context.rva} + kAmd64ContextRip;
    ASSERT_LE(at + sizeof rip, dump.size());
    std::memcpy(dump.data() + at, &rip, sizeof rip);
    return;
  }
  FAIL() << "no exception stream";
}

// A crash inside ntdll.dll, whose executable the store lacks: the walk scans from there into
// the program's own code, whose executable it has. The frame it finds follows a call there, so
// it is named, at its call, and names the crash.
TEST(CrashAnalysisTest, AFrameFoundByACheckedScanNamesTheCrash) {
  TempFolder temp;
  NestedCrash run = CrashUnderWine("crasher-dwarf");
  const std::map<std::string, std::string>& facts = run.facts;
  std::string& dump = run.dump;
  ASSERT_FALSE(dump.empty());
  const fennick_minidump::MinidumpResult read = fennick_minidump::ReadMinidump(
      std::span(reinterpret_cast<const uint8_t*>(dump.data()), dump.size()));
  ASSERT_TRUE(read.minidump) << read.error;
  const fennick_minidump::ModuleInfo* ntdll = nullptr;
  for (const fennick_minidump::ModuleInfo& module : read.minidump->modules) {
    if (fennick_minidump::FileNameOf(module.name) == "ntdll.dll") ntdll = &module;
  }
  ASSERT_NE(ntdll, nullptr);
  SetCrashRip(dump, ntdll->base + ntdll->size / 2);
  WriteTestFile(temp / "in-ntdll.dmp", dump);
  const fennick_symbols::SymbolStore store(temp / "symbols");
  ASSERT_EQ(store.Add(kCrasher, "Ortivo.exe").error, "");

  // The shipped rules skip ntdll.dll.
  const fennick_analysis::LoadedRules rules =
      fennick_analysis::LoadSignatureRules(FENNICK_SIGNATURE_RULES_FILE);
  ASSERT_TRUE(rules.rules) << rules.error;
  const Json analysis = CrashAnalyzer(store, kRoomForAll, nullptr, *rules.rules)
                            .AnalyzeFile(temp / "in-ntdll.dmp");
  const Json& crash = analysis["crash"];
  EXPECT_EQ(crash["signature"],
            "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe!(anonymous namespace)::WriteRecord");
  EXPECT_EQ(crash["top_function"], "(anonymous namespace)::WriteRecord");
  const std::string into_write_record = HexText(HexFact(facts, "store_field_return"));
  Json scanned;
  for (const Json& frame : crash["frames"]) {
    if (frame["address"] == into_write_record) scanned = frame;
  }
  ASSERT_TRUE(scanned.is_object()) << crash["frames"].dump();
  EXPECT_EQ(scanned["trust"], "checked_scan");
  EXPECT_EQ(scanned["function"], "(anonymous namespace)::WriteRecord");
  EXPECT_EQ(scanned["line"], MarkedLine("call-line", "WriteRecord"));
  // The system's modules are for symbol servers to supply.
  bool ntdll_missing = false;
  for (const Json& entry : crash["missing_symbols"]) {
    if (entry["file"] == "ntdll.dll") ntdll_missing = entry["system"] == true;
  }
  EXPECT_TRUE(ntdll_missing) << crash["missing_symbols"].dump();
}

// The offset of the module record of `file` in `dump`.
uint64_t ModuleRecordAt(const std::string& dump, const std::string& file) {
  using namespace fennick_minidump;
  const MinidumpResult read =
      ReadMinidump(std::span(reinterpret_cast<const uint8_t*>(dump.data()), dump.size()));
  Header header;
  if (!read.minidump || !CopyAt(dump, 0, &header)) return 0;
  for (uint32_t i = 0; i < header.number_of_streams; ++i) {
    Directory entry;
    if (!CopyAt(dump, header.stream_directory_rva + uint64_t{i} * sizeof entry, &entry)) return 0;
    if (entry.stream_type != kModuleListStream) continue;
    for (size_t m = 0; m < read.minidump->modules.size(); ++m) {
      if (FileNameOf(read.minidump->modules[m].name) == file) {
        return entry.location.rva + sizeof(uint32_t) + m * sizeof(Module);
      }
    }
  }
  return 0;
}

// Gives the module record of `file` the CodeView record that `executable` carries, as a dump
// written on Windows does: appended to the dump, the record pointing at it.
void AddCodeViewRecord(std::string& dump, const std::string& file, const fs::path& executable) {
  const std::string image = ReadTestFile(executable);
  const size_t at = image.find("RSDS");
  ASSERT_NE(at, std::string::npos);
  const std::string record = image.substr(at, image.find('\0', at + 24) + 1 - at);
  const uint64_t module = ModuleRecordAt(dump, file);
  ASSERT_NE(module, 0u);
  const fennick_minidump::LocationDescriptor location = {static_cast<uint32_t>(record.size()),
                                                         static_cast<uint32_t>(dump.size())};
  dump += record;
  std::memcpy(dump.data() + module + offsetof(fennick_minidump::Module, cv_record), &location,
              sizeof location);
}

void SetModuleSize(std::string& dump, const std::string& file, uint32_t size) {
  const uint64_t module = ModuleRecordAt(dump, file);
  ASSERT_NE(module, 0u);
  std::memcpy(dump.data() + module + offsetof(fennick_minidump::Module, size_of_image), &size,
              sizeof size);
}

Json OwnMissing(const Json& missing) {
  Json own = Json::array();
  for (const Json& entry : missing) {
    if (entry["file"].get<std::string>().starts_with("Ortivo.")) own.push_back(entry);
  }
  return own;
}

// A release linked with a debug identifier and stripped, crashed under Wine: named from its
// unstripped build output, found by that identifier, which unwinds too where its unwind data
// lies where the module's does; and what is missing otherwise.
TEST(CrashAnalysisTest, AStrippedReleaseIsNamedFromItsDebugFile) {
  const fs::path unstripped = Fixture("crasher-buildid", "Ortivo.exe");
  const fs::path stripped = Fixture("crasher-buildid/stripped", "Ortivo.exe");
  const fs::path other_build = Fixture("crasher-dwarf", "Ortivo.exe");
  const NestedCrash run = CrashUnderWine("crasher-buildid/stripped");
  ASSERT_FALSE(run.dump.empty());
  // The debug file alone, its unwind data's headers kept and their contents dropped.
  TempFolder made;
  const fs::path debug_only = made / "Ortivo.exe";
  ASSERT_EQ(RunProcess("/usr/bin/x86_64-w64-mingw32-objcopy",
                       {"--only-keep-debug", unstripped, debug_only})
                .exit_code,
            0);
  // The build output with a PDB named in its CodeView record beside its DWARF.
  const fs::path odd_name = made / "odd" / "Ortivo.exe";
  std::string odd = ReadTestFile(unstripped);
  odd[odd.find("RSDS") + 24] = 'x';
  fs::create_directories(odd_name.parent_path());
  WriteTestFile(odd_name, odd);
  const std::string code_key = fennick_symbols::IdentifySymbolFile(stripped).key;
  const std::string debug_key = fennick_symbols::DebugIdentifierOf(stripped)->key;
  const uint32_t pdata = fennick_symbols::ExceptionDirectoryOf(unstripped)->rva;
  // The key of the module cut short at the debug file's unwind data.
  const std::string cut_key = fennick_symbols::ExecutableKey(
      static_cast<uint32_t>(std::stoul(code_key.substr(0, 8), nullptr, 16)), pdata);
  const auto entry = [](const std::string& key, const char* kind, const std::string& text) {
    return Json{{"file", "Ortivo.exe"}, {"key", key}, {"kind", kind}, {"system", false},
                {"text", text}};
  };
  const struct {
    const char* name;
    std::vector<fs::path> stored;
    bool code_view;
    bool pdata_outside;  // the dump's module ends where the debug file's unwind data starts
    bool named;
    bool unwound;
    Json missing;
  } kCases[] = {
      {"both stored", {stripped, unstripped}, false, false, true, true, Json::array()},
      {"debug file alone", {unstripped}, true, false, true, true, Json::array()},
      {"debug file's unwind data elsewhere", {unstripped}, true, true, true, false,
       {entry(cut_key, "executable",
              "Ortivo.exe of this build (key " + cut_key + "); the store has builds " +
                  fennick_symbols::IdentifySymbolFile(unstripped).key)}},
      {"debug file naming a PDB", {stripped, odd_name}, false, false, true, true,
       Json::array()},
      {"debug file without unwind data", {debug_only}, true, false, true, false,
       {entry(code_key, "executable",
              "Ortivo.exe of this build (key " + code_key + "); the store has builds " +
                  fennick_symbols::IdentifySymbolFile(debug_only).key)}},
      {"stripped alone", {stripped}, false, false, false, true,
       {entry(debug_key, "debug",
              "Ortivo.exe is in the store but holds no debug information: add its debug "
              "file (identifier " + debug_key + ")")}},
      {"another build", {other_build}, false, false, false, false,
       {entry(code_key, "executable",
              "Ortivo.exe of this build (key " + code_key + "); the store has builds " +
                  fennick_symbols::IdentifySymbolFile(other_build).key)}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TempFolder temp;
    std::string dump = run.dump;
    if (c.code_view) AddCodeViewRecord(dump, "Ortivo.exe", stripped);
    if (c.pdata_outside) SetModuleSize(dump, "Ortivo.exe", pdata);
    WriteTestFile(temp / "crash.dmp", dump);
    const fennick_symbols::SymbolStore store(temp / "symbols");
    for (const fs::path& file : c.stored) ASSERT_EQ(store.Add(file, "Ortivo.exe").error, "");

    const Json crash = CrashAnalyzer(store, kRoomForAll).AnalyzeFile(temp / "crash.dmp")["crash"];
    ASSERT_GE(crash["frames"].size(), 2u) << crash.dump();
    EXPECT_EQ(crash["top_function"] == "(anonymous namespace)::StoreField", c.named)
        << crash["top_function"];
    EXPECT_EQ(crash["frames"][1]["trust"] == "unwind", c.unwound) << crash["frames"].dump();
    EXPECT_EQ(OwnMissing(crash["missing_symbols"]), c.missing);
  }
}

}  // namespace
}  // namespace fennick_analysis
