// The whole analysis of a real dump, in-process: the crasher built with DWARF crashes under
// Wine three calls deep, and its dump is analysed with the program's own symbols stored.
#include "crash_analysis.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <span>
#include <string>

#include "crash_summary.h"
#include "minidump_format.h"
#include "minidump_reader.h"
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

  const Json analysis = CrashAnalyzer(store, kRoomForAll).AnalyzeFile(temp / "in-ntdll.dmp");
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
}

}  // namespace
}  // namespace fennick_analysis
