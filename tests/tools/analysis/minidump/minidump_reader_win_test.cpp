// The reader against Windows itself: its records against the system's own declarations, and
// dumps that MiniDumpWriteDump writes of a program crashing on purpose
// (tests/fixtures/crasher.cpp).
#include <windows.h>
// <dbghelp.h> needs <windows.h> first.
#include <dbghelp.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <set>

#include "crash_summary.h"
#include "crasher_facts.h"
#include "minidump_analysis.h"
#include "minidump_format.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace fennick_minidump {
namespace {

#define SAME_LAYOUT(ours, theirs, member, their_member) \
  static_assert(offsetof(ours, member) == offsetof(theirs, their_member))
static_assert(sizeof(Header) == sizeof(MINIDUMP_HEADER));
SAME_LAYOUT(Header, MINIDUMP_HEADER, stream_directory_rva, StreamDirectoryRva);
SAME_LAYOUT(Header, MINIDUMP_HEADER, flags, Flags);
static_assert(sizeof(Directory) == sizeof(MINIDUMP_DIRECTORY));
static_assert(sizeof(SystemInfo) == sizeof(MINIDUMP_SYSTEM_INFO));
SAME_LAYOUT(SystemInfo, MINIDUMP_SYSTEM_INFO, number_of_processors, NumberOfProcessors);
SAME_LAYOUT(SystemInfo, MINIDUMP_SYSTEM_INFO, csd_version_rva, CSDVersionRva);
static_assert(sizeof(Thread) == sizeof(MINIDUMP_THREAD));
SAME_LAYOUT(Thread, MINIDUMP_THREAD, stack, Stack);
static_assert(sizeof(ExceptionStream) == sizeof(MINIDUMP_EXCEPTION_STREAM));
SAME_LAYOUT(ExceptionStream, MINIDUMP_EXCEPTION_STREAM, exception_record, ExceptionRecord);
SAME_LAYOUT(ExceptionRecord, MINIDUMP_EXCEPTION, exception_information, ExceptionInformation);
static_assert(sizeof(Module) == sizeof(MINIDUMP_MODULE));
SAME_LAYOUT(Module, MINIDUMP_MODULE, module_name_rva, ModuleNameRva);
SAME_LAYOUT(Module, MINIDUMP_MODULE, version_info, VersionInfo);
SAME_LAYOUT(Module, MINIDUMP_MODULE, cv_record, CvRecord);
static_assert(sizeof(FixedFileInfo) == sizeof(VS_FIXEDFILEINFO));
static_assert(sizeof(MiscInfo) == sizeof(MINIDUMP_MISC_INFO));
static_assert(sizeof(MemoryDescriptor) == sizeof(MINIDUMP_MEMORY_DESCRIPTOR));
static_assert(sizeof(MemoryDescriptor64) == sizeof(MINIDUMP_MEMORY_DESCRIPTOR64));
SAME_LAYOUT(Memory64ListHeader, MINIDUMP_MEMORY64_LIST, base_rva, BaseRva);
static_assert(kMinidumpVersion == MINIDUMP_VERSION);
static_assert(sizeof(CONTEXT) == kAmd64ContextSize);
static_assert(offsetof(CONTEXT, Rax) == kAmd64ContextRax);
static_assert(offsetof(CONTEXT, R15) + 8 == kAmd64ContextRip);
static_assert(offsetof(CONTEXT, Rip) == kAmd64ContextRip);
constexpr bool Same(uint32_t ours, uint32_t theirs) { return ours == theirs; }
static_assert(Same(kThreadListStream, ::ThreadListStream) &&
              Same(kModuleListStream, ::ModuleListStream) &&
              Same(kMemoryListStream, ::MemoryListStream) &&
              Same(kExceptionStream, ::ExceptionStream) &&
              Same(kSystemInfoStream, ::SystemInfoStream) &&
              Same(kMemory64ListStream, ::Memory64ListStream) &&
              Same(kMiscInfoStream, ::MiscInfoStream));

// Runs the crasher once and returns what it printed and the analysis of the dump it wrote.
std::pair<std::map<std::string, std::string>, nlohmann::ordered_json> Crash(
    const std::string& kind, const TempFolder& folder) {
  const std::filesystem::path dump = folder / (kind + ".dmp");
  std::filesystem::remove(dump);
  const ProcessOutput output = RunProcess(FENNICK_FIXTURES_DIR "/crasher/Ortivo.exe", {kind, dump});
  EXPECT_EQ(static_cast<uint32_t>(output.exit_code),
            HexFact(ParseCrasherFacts(output.standard_output), "exception_code"))
      << output.standard_error;
  return {ParseCrasherFacts(output.standard_output), AnalyzeMinidumpFile(dump)};
}

TEST(MinidumpWindowsTest, ReadsWhatTheSystemWroteOfEachCrash) {
  const struct {
    const char* kind;
    const char* code;
    const char* signature_name;
    bool in_module;    // else it jumped to address 0
    bool in_function;  // the fault is in the function meant to crash, not in one it calls
  } cases[] = {
      {"null-write", "0xC0000005", "EXCEPTION_ACCESS_VIOLATION_WRITE", true, true},
      {"null-read", "0xC0000005", "EXCEPTION_ACCESS_VIOLATION_READ", true, true},
      {"null-call", "0xC0000005", "EXCEPTION_ACCESS_VIOLATION_EXEC", false, false},
      {"divide-by-zero", "0xC0000094", "EXCEPTION_INT_DIVIDE_BY_ZERO", true, true},
      {"illegal-instruction", "0xC000001D", "EXCEPTION_ILLEGAL_INSTRUCTION", true, true},
      {"stack-overflow", "0xC00000FD", "EXCEPTION_STACK_OVERFLOW", true, false},
  };
  TempFolder folder;
  std::map<std::string, std::string> signatures;  // by kind
  for (const auto& c : cases) {
    const auto [facts, analysis] = Crash(c.kind, folder);
    const nlohmann::ordered_json& crash = analysis["crash"];
    ASSERT_TRUE(crash.is_object()) << c.kind << ": " << analysis.dump();
    EXPECT_EQ(crash["exception_code"], c.code);
    EXPECT_EQ(facts.at("exception_code"), c.code);
    EXPECT_EQ(crash["crash_address"], facts.at("exception_address"));
    const uint64_t address = HexFact(facts, "exception_address");
    const uint64_t offset = address - HexFact(facts, "module_base");
    if (c.in_module) {
      EXPECT_EQ(crash["module"], facts.at("module")) << c.kind;
      EXPECT_EQ(crash["module_offset"], HexText(offset)) << c.kind;
      EXPECT_LT(offset, HexFact(facts, "module_size")) << c.kind;
      EXPECT_EQ(crash["signature"],
                std::string(c.signature_name) + " Ortivo.exe+" + HexText(offset));
    } else {
      EXPECT_EQ(crash["module"], nullptr) << c.kind;
      EXPECT_EQ(crash["signature"], std::string(c.signature_name) + " 0x0");
    }
    if (c.in_function) {
      EXPECT_LT(offset - HexFact(facts, "function_offset"), 0x40u) << c.kind;
    }
    EXPECT_EQ(analysis["minidump"]["threads"]["crashing_thread"]["id"], crash["thread_id"]);
    signatures[c.kind] = crash["signature"].get<std::string>();
  }
  std::set<std::string> distinct;
  for (const auto& [kind, signature] : signatures) distinct.insert(signature);
  EXPECT_EQ(distinct.size(), std::size(cases));
  // The same crash again: the same signature.
  const auto [facts, again] = Crash("null-write", folder);
  EXPECT_EQ(again["crash"]["signature"], signatures["null-write"]);
}

}  // namespace
}  // namespace fennick_minidump
