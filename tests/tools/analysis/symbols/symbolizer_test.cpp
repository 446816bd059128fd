// The symbolizer against the crasher built with symbols (tests/fixtures): it crashes under
// Wine three calls deep, prints where, and the lines marked in its source must be named.
#include "symbolizer.h"

#include <gtest/gtest.h>
#include <llvm/Object/COFF.h>

#include <cstring>
#include <filesystem>
#include <latch>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
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

// "function file:line" of each frame, as comparable text; "function+offset ?:?" for a frame
// named by a symbol.
std::string Describe(const std::vector<SourceFrame>& frames) {
  std::string text;
  for (const SourceFrame& frame : frames) {
    std::ostringstream offset;
    if (frame.function_offset) offset << "+0x" << std::hex << *frame.function_offset;
    text += frame.function + offset.str() + " " + frame.file.value_or("?") + ":" +
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
  EXPECT_TRUE(std::filesystem::exists(folder / "crash.dmp")) << output.standard_error;
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
  std::map<std::string, uint64_t> crash_rvas;  // by build
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
    crash_rvas[c.build] = crash;
  }
  // The padded builds crash at other offsets, and are still named right.
  std::set<uint64_t> distinct;
  for (const auto& [build, rva] : crash_rvas) distinct.insert(rva);
  EXPECT_EQ(distinct.size(), std::size(cases));
  // Another build's PDB would name its own crash at that build's offset.
  for (const auto& c : cases) {
    if (!c.other_build) continue;
    const ModuleSymbolFiles mismatched = {Fixture(c.build, "Ortivo.exe"),
                                          Fixture(c.other_build, "Ortivo.pdb")};
    EXPECT_EQ(Describe(symbolizer.Symbolize(mismatched, crash_rvas[c.other_build])), "") << c.build;
  }
}

// A copy of the executable whose CodeView record names the next age of its PDB, as a later
// link into the same PDB would: the GUID stays.
std::filesystem::path NextAgeOf(const std::filesystem::path& executable,
                                const std::filesystem::path& copy) {
  std::string bytes = ReadTestFile(executable);
  const size_t record = bytes.find("RSDS");
  const size_t age_at = record + 4 + 16;  // after the signature and the GUID
  if (record == std::string::npos || age_at + 4 > bytes.size()) {
    ADD_FAILURE() << "no CodeView record in " << executable;
    return copy;
  }
  uint32_t age = 0;
  std::memcpy(&age, bytes.data() + age_at, sizeof age);
  ++age;
  std::memcpy(bytes.data() + age_at, &age, sizeof age);
  WriteTestFile(copy, bytes);
  return copy;
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
      // The PDB's GUID, but another age.
      {{NextAgeOf(Fixture("crasher-pdb", "Ortivo.exe"), folder / "next-age.exe"),
        Fixture("crasher-pdb", "Ortivo.pdb")},
       kInCode},
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

// The offset of `name` in the executable's COFF symbol table, or nothing.
std::optional<uint64_t> SymbolRva(const std::filesystem::path& executable,
                                  const std::string& name) {
  auto binary = llvm::object::createBinary(executable.string());
  if (!binary) {
    llvm::consumeError(binary.takeError());
    return std::nullopt;
  }
  const auto& coff = *llvm::cast<llvm::object::COFFObjectFile>(binary->getBinary());
  for (const llvm::object::SymbolRef& symbol : coff.symbols()) {
    llvm::Expected<llvm::StringRef> symbol_name = symbol.getName();
    llvm::Expected<uint64_t> address = symbol.getAddress();
    if (symbol_name && address && *symbol_name == name) return *address - coff.getImageBase();
    if (!symbol_name) llvm::consumeError(symbol_name.takeError());
    if (!address) llvm::consumeError(address.takeError());
  }
  return std::nullopt;
}

// The executable's sections as they are mapped, by RVA.
struct MappedSection {
  uint64_t rva;
  std::string bytes;
  bool code;
};

std::vector<MappedSection> SectionsOf(const std::filesystem::path& executable) {
  std::vector<MappedSection> sections;
  auto binary = llvm::object::createBinary(executable.string());
  if (!binary) {
    ADD_FAILURE() << llvm::toString(binary.takeError());
    return sections;
  }
  const auto& coff = *llvm::cast<llvm::object::COFFObjectFile>(binary->getBinary());
  for (const llvm::object::SectionRef& section : coff.sections()) {
    llvm::Expected<llvm::StringRef> contents = section.getContents();
    if (!contents) {
      llvm::consumeError(contents.takeError());
      continue;
    }
    sections.push_back({section.getAddress() - coff.getImageBase(), contents->str(),
                        section.isText()});
  }
  return sections;
}

// Where the code `bytes` lie in the executable's code, or nothing.
std::optional<uint64_t> FindCode(const std::filesystem::path& executable,
                                 const std::string& bytes) {
  for (const MappedSection& section : SectionsOf(executable)) {
    const size_t at = section.bytes.find(bytes);
    if (section.code && at != std::string::npos) return section.rva + at;
  }
  return std::nullopt;
}

// The first section after the code: past every function's symbol.
uint64_t AfterTheCode(const std::filesystem::path& executable) {
  const std::vector<MappedSection> sections = SectionsOf(executable);
  for (size_t i = 1; i < sections.size(); ++i) {
    if (sections[i - 1].code && !sections[i].code) return sections[i].rva;
  }
  ADD_FAILURE() << "no section after the code of " << executable;
  return 0;
}

// Runtime helpers linked into the program come without debug records in either build: MinGW's
// memcpy (a jump into msvcrt) and libgcc's ___chkstk_ms, which the PDB build's executable holds
// too, found there by its code.
TEST(SymbolizerTest, NamesCodeWithoutDebugRecordsByTheSymbolBeforeIt) {
  const ModuleSymbolFiles dwarf = Files("crasher-dwarf", false);
  const ModuleSymbolFiles pdb = Files("crasher-pdb", true);
  const std::optional<uint64_t> memcpy = SymbolRva(dwarf.executable, "memcpy");
  const std::optional<uint64_t> chkstk = SymbolRva(dwarf.executable, "___chkstk_ms");
  ASSERT_TRUE(memcpy && chkstk);
  std::string chkstk_code;
  for (const MappedSection& section : SectionsOf(dwarf.executable)) {
    if (*chkstk >= section.rva && *chkstk - section.rva < section.bytes.size()) {
      chkstk_code = section.bytes.substr(*chkstk - section.rva, 24);
    }
  }
  ASSERT_EQ(chkstk_code.size(), 24u);
  const std::optional<uint64_t> pdb_chkstk = FindCode(pdb.executable, chkstk_code);
  ASSERT_TRUE(pdb_chkstk);
  const struct {
    ModuleSymbolFiles files;
    uint64_t rva;
    std::string named;
  } cases[] = {
      {dwarf, *memcpy, "memcpy+0x0 ?:?\n"},
      {dwarf, *chkstk + 3, "___chkstk_ms+0x3 ?:?\n"},
      {pdb, *pdb_chkstk + 3, "___chkstk_ms+0x3 ?:?\n"},
      {dwarf, AfterTheCode(dwarf.executable), ""},
      {pdb, AfterTheCode(pdb.executable), ""},
  };
  Symbolizer symbolizer(kRoomForAll);
  for (const auto& c : cases) {
    EXPECT_EQ(Describe(symbolizer.Symbolize(c.files, c.rva)), c.named)
        << c.files.executable << " " << std::hex << c.rva;
  }
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

TEST(SymbolizerTest, AnswersThreadsThatShareIt) {
  // Threads start together on a new symbolizer, each at the functions in another order,
  // so that they load modules and read their DWARF at the same time.
  const ModuleSymbolFiles modules[] = {Files("crasher-dwarf", false),
                                       Files("crasher-dwarf-b", false)};
  const char* const functions[] = {"_ZN12_GLOBAL__N_110StoreFieldEi", "mainCRTStartup",
                                   "__mingw_vfprintf", "memcpy"};
  std::vector<std::pair<ModuleSymbolFiles, uint64_t>> addresses;
  std::vector<std::string> expected;
  for (const ModuleSymbolFiles& module : modules) {
    for (const char* function : functions) {
      addresses.emplace_back(module, SymbolRva(module.executable, function).value_or(0));
      expected.push_back(
          Describe(Symbolizer(kRoomForAll).Symbolize(module, addresses.back().second)));
      ASSERT_NE(expected.back(), "") << function;
    }
  }
  constexpr int kThreads = 4;
  for (int round = 0; round < 20; ++round) {
    Symbolizer symbolizer(kRoomForAll);
    std::latch start(kThreads);
    std::vector<std::string> answers[kThreads];
    {
      std::vector<std::jthread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          start.arrive_and_wait();
          for (size_t i = 0; i < addresses.size(); ++i) {
            const auto& [module, rva] = addresses[(i + 2 * t) % addresses.size()];
            answers[t].push_back(Describe(symbolizer.Symbolize(module, rva)));
          }
        });
      }
    }
    for (int t = 0; t < kThreads; ++t) {
      for (size_t i = 0; i < addresses.size(); ++i) {
        EXPECT_EQ(answers[t][i], expected[(i + 2 * t) % addresses.size()]) << round;
      }
    }
  }
}

}  // namespace
}  // namespace fennick_symbols
