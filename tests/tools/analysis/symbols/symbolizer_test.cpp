// The symbolizer against the crasher built with symbols (tests/fixtures): it crashes under
// Wine three calls deep, prints where, and the lines marked in its source must be named.
#include "symbolizer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "crasher_facts.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace fennick_symbols {
namespace {

constexpr char kCrasherSource[] = FENNICK_SOURCE_DIR "/tests/fixtures/crasher.cpp";
constexpr size_t kRoomForAll = size_t{1} << 30;

std::filesystem::path Fixture(const std::string& build, const std::string& file) {
  return std::filesystem::path(FENNICK_FIXTURES_DIR) / build / file;
}

ModuleSymbolFiles Files(const std::string& build, bool pdb) {
  return {Fixture(build, "Ortivo.exe"),
          pdb ? std::optional(Fixture(build, "Ortivo.pdb")) : std::nullopt};
}

// "function file:line" of each frame, as comparable text.
std::string Describe(const std::vector<SourceFrame>& frames) {
  std::string text;
  for (const SourceFrame& frame : frames) {
    text += frame.function + " " + frame.file.value_or("?") + ":" +
            (frame.line ? std::to_string(*frame.line) : "?") + "\n";
  }
  return text;
}

// The marked line of the crasher's source in `function`, as the one frame expected there.
std::string MarkedFrame(const std::string& marker, const std::string& function) {
  std::istringstream source(ReadTestFile(kCrasherSource));
  std::string line;
  for (int number = 1; std::getline(source, line); ++number) {
    if (line.ends_with("// " + marker + ": " + function)) {
      return "(anonymous namespace)::" + function + " " + kCrasherSource + ":" +
             std::to_string(number) + "\n";
    }
  }
  ADD_FAILURE() << "no line marked " << marker << ": " << function;
  return {};
}

// What the crasher of `build` printed of its nested-write crash under Wine.
std::map<std::string, std::string> NestedCrash(const std::string& build) {
  TempFolder folder;
  const ProcessOutput output =
      RunProcess(FENNICK_SOURCE_DIR "/cmake/wine-emulator.sh",
                 {Fixture(build, "Ortivo.exe"), "nested-write", folder / "crash.dmp"});
  EXPECT_TRUE(std::filesystem::file_size(folder / "crash.dmp") > 0) << output.standard_error;
  return ParseCrasherFacts(output.standard_output);
}

TEST(SymbolizerTest, NamesTheCrashAndItsCallersInEachBuild) {
  const struct {
    const char* build;
    bool pdb;
    const char* other_build;  // whose PDB must be refused for this executable
  } cases[] = {
      {"crasher-dwarf", false, nullptr},
      {"crasher-dwarf-b", false, nullptr},
      {"crasher-pdb", true, "crasher-pdb-b"},
      {"crasher-pdb-b", true, "crasher-pdb"},
  };
  Symbolizer symbolizer(kRoomForAll);
  std::set<uint64_t> crash_rvas;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.build);
    const auto facts = NestedCrash(c.build);
    const uint64_t base = HexFact(facts, "module_base");
    const uint64_t crash = HexFact(facts, "exception_address") - base;
    // A return address less one lies in the call instruction.
    const uint64_t in_write_record = HexFact(facts, "store_field_return") - 1 - base;
    const uint64_t in_save_document = HexFact(facts, "write_record_return") - 1 - base;
    const ModuleSymbolFiles files = Files(c.build, c.pdb);
    EXPECT_EQ(Describe(symbolizer.Symbolize(files, crash)),
              MarkedFrame("crash-line", "StoreField"));
    EXPECT_EQ(Describe(symbolizer.Symbolize(files, in_write_record)),
              MarkedFrame("call-line", "WriteRecord"));
    EXPECT_EQ(Describe(symbolizer.Symbolize(files, in_save_document)),
              MarkedFrame("call-line", "SaveDocument"));
    if (c.other_build) {
      const ModuleSymbolFiles mismatched = {files.executable, Fixture(c.other_build, "Ortivo.pdb")};
      EXPECT_EQ(Describe(symbolizer.Symbolize(mismatched, crash)), "");
    }
    crash_rvas.insert(crash);
  }
  // The padded builds crash at other offsets, and are still named right.
  EXPECT_EQ(crash_rvas.size(), std::size(cases));
}

TEST(SymbolizerTest, NamesNothingWithoutUsableSymbolFiles) {
  TempFolder folder;
  constexpr uint64_t kInCode = 0x1600;
  const struct {
    ModuleSymbolFiles files;
    uint64_t rva;
  } cases[] = {
      {{folder / "missing.exe", std::nullopt}, kInCode},
      {{folder / "missing.exe", Fixture("crasher-pdb", "Ortivo.pdb")}, kInCode},
      {{Fixture("crasher-pdb", "Ortivo.exe"), folder / "missing.pdb"}, kInCode},
      // Not looked for where the executable says its PDB is.
      {{Fixture("crasher-pdb", "Ortivo.exe"), std::nullopt}, kInCode},
      // No PDB record to match it against.
      {{Fixture("crasher-dwarf", "Ortivo.exe"), Fixture("crasher-pdb", "Ortivo.pdb")}, kInCode},
      {{kCrasherSource, std::nullopt}, kInCode},
      // The headers, and past the image's end.
      {Files("crasher-dwarf", false), 0},
      {Files("crasher-dwarf", false), 0x100000},
      {Files("crasher-pdb", true), 0},
      {Files("crasher-pdb", true), 0x100000},
  };
  Symbolizer symbolizer(kRoomForAll);
  for (const auto& [files, rva] : cases) {
    EXPECT_EQ(Describe(symbolizer.Symbolize(files, rva)), "")
        << files.executable << " " << files.pdb.value_or("") << " " << rva;
  }
  // The same files name what is at a function.
  EXPECT_NE(Describe(symbolizer.Symbolize(Files("crasher-dwarf", false), kInCode)), "");
  EXPECT_NE(Describe(symbolizer.Symbolize(Files("crasher-pdb", true), kInCode)), "");
}

TEST(SymbolizerTest, KeepsTheMostRecentlyUsedWithinItsBudget) {
  const auto facts = NestedCrash("crasher-dwarf");
  const uint64_t crash = HexFact(facts, "exception_address") - HexFact(facts, "module_base");
  const std::string named = MarkedFrame("crash-line", "StoreField");
  // Copies of one executable, so that what is kept is told by deleting them afterwards.
  TempFolder folder;
  const std::filesystem::path copies[] = {folder / "1.exe", folder / "2.exe", folder / "3.exe"};
  for (const auto& copy : copies) {
    std::filesystem::copy_file(Fixture("crasher-dwarf", "Ortivo.exe"), copy);
  }
  Symbolizer symbolizer(2 * std::filesystem::file_size(copies[0]));
  for (int used : {0, 1, 0, 2}) {
    EXPECT_EQ(Describe(symbolizer.Symbolize({copies[used], std::nullopt}, crash)), named);
  }
  for (const auto& copy : copies) std::filesystem::remove(copy);
  EXPECT_EQ(Describe(symbolizer.Symbolize({copies[0], std::nullopt}, crash)), named);
  EXPECT_EQ(Describe(symbolizer.Symbolize({copies[1], std::nullopt}, crash)), "");
  EXPECT_EQ(Describe(symbolizer.Symbolize({copies[2], std::nullopt}, crash)), named);
}

}  // namespace
}  // namespace fennick_symbols
