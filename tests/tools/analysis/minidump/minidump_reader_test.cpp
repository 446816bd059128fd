#include "minidump_reader.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <optional>
#include <random>

#include "crash_summary.h"
#include "crasher_facts.h"
#include "minidump_analysis.h"
#include "minidump_builder.h"
#include "support/temp_folder.h"

namespace fennick_minidump {
namespace {

const std::filesystem::path kRealDump = FENNICK_SOURCE_DIR "/tests/fixtures/dumps/null_write.dmp";

std::span<const uint8_t> Bytes(const std::string& bytes) {
  return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

TEST(MinidumpReaderTest, ReadsTheDumpTheCrasherWroteOfItselfUnderWine) {
  const auto facts =
      ParseCrasherFacts(ReadTestFile(FENNICK_SOURCE_DIR "/tests/fixtures/dumps/null_write.txt"));
  const MinidumpResult read = ReadMinidumpFile(kRealDump);
  ASSERT_TRUE(read.minidump) << read.error;
  const Minidump& dump = *read.minidump;
  ASSERT_TRUE(dump.exception);
  EXPECT_EQ(CodeText(dump.exception->code), facts.at("exception_code"));
  EXPECT_EQ(dump.exception->address, HexFact(facts, "exception_address"));
  EXPECT_EQ(dump.exception->parameters, (std::vector<uint64_t>{1, 0}));  // a write at 0
  const ModuleInfo* module = ModuleAt(dump, dump.exception->address);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->name, "C:\\Program Files\\Ortivo\\Ortivo.exe");
  EXPECT_EQ(FileNameOf(module->name), facts.at("module"));
  EXPECT_EQ(module->base, HexFact(facts, "module_base"));
  EXPECT_EQ(module->size, HexFact(facts, "module_size"));
  EXPECT_EQ(module->time_stamp, 0x6553F100u);
  EXPECT_EQ(FileVersionText(*module), "3.1.2.45");
  EXPECT_LT(dump.exception->address - module->base - HexFact(facts, "function_offset"), 0x40u);
  EXPECT_EQ(dump.modules.size(), 8u);
  EXPECT_EQ(dump.thread_count, 2u);
  ASSERT_TRUE(dump.crashing_thread);
  EXPECT_EQ(dump.crashing_thread->id, dump.exception->thread_id);
  EXPECT_GT(dump.crashing_thread->stack_size, 0u);
  ASSERT_TRUE(dump.system_info);
  EXPECT_EQ(OsText(*dump.system_info), "Windows 10.0.18362");
  EXPECT_EQ(ArchitectureName(dump.system_info->processor_architecture), "amd64");
  ASSERT_TRUE(dump.misc_info);
  EXPECT_TRUE(dump.misc_info->process_id);
  EXPECT_GT(dump.memory_ranges, 1000u);
  // The context's Rip is where the exception happened.
  ASSERT_TRUE(dump.crash_context);
  EXPECT_EQ(dump.crash_context->rip, HexFact(facts, "exception_address"));
  // The ranges kept are sorted and apart, each read from where the dump stores it.
  const std::string bytes = ReadTestFile(kRealDump);
  EXPECT_GT(dump.memory.size(), 1000u);
  for (size_t i = 0; i < dump.memory.size(); ++i) {
    const MemoryRange& range = dump.memory[i];
    if (i + 1 < dump.memory.size()) {
      ASSERT_LE(range.start + range.size, dump.memory[i + 1].start);
    }
    std::string read(range.size, '\0');
    ASSERT_TRUE(
        ReadDumpMemory(SpanSource(Bytes(bytes)), dump, range.start, read.size(), read.data()));
    ASSERT_EQ(read, bytes.substr(range.file_offset, range.size)) << i;
  }

  // The same bytes read from memory give the very same analysis.
  EXPECT_EQ(AnalyzeMinidump(Bytes(ReadTestFile(kRealDump))), AnalyzeMinidumpFile(kRealDump));
}

TEST(MinidumpReaderTest, ACutDumpIsUnreadableWhereverItIsCut) {
  const std::string real = ReadTestFile(kRealDump);
  ASSERT_EQ(real.size(), 201372u);
  // Wine writes the stream directory first and the exception stream with its context last.
  const std::pair<size_t, std::string> cuts[] = {
      {0, "empty file"},
      {31, "shorter than a minidump header"},
      {32, "stream directory past the end of the file"},
      {2000, "module list stream past the end of the file"},
      {100686, "memory list stream past the end of the file"},
      {200100, "exception stream past the end of the file"},
      {201371, "exception thread context past the end of the file"},
  };
  TempFolder folder;
  for (const auto& [length, reason] : cuts) {
    WriteTestFile(folder / "cut.dmp", real.substr(0, length));
    EXPECT_EQ(ReadMinidumpFile(folder / "cut.dmp").error, "unreadable: " + reason) << length;
    EXPECT_EQ(ReadMinidump(Bytes(real.substr(0, length))).error, "unreadable: " + reason);
  }
  EXPECT_EQ(ReadMinidumpFile(folder / "missing.dmp").error, "unreadable: cannot open the file");
}

// The valid hand-built dump with the 32-bit value at `part` + `field` set to `value`, or
// when negative to the file's size less its magnitude. No part: the header.
std::function<std::string()> Patched(uint32_t DumpLayout::*part, size_t field, int64_t value) {
  return [=] {
    DumpLayout at;
    std::string bytes = BuildDump({}, &at);
    const int64_t set = value < 0 ? static_cast<int64_t>(bytes.size()) + value : value;
    Put32(&bytes, (part ? at.*part : 0) + field, static_cast<uint32_t>(set));
    return bytes;
  };
}

// The size of directory entry `index` (0 system info, 1 exception, 4 misc info).
constexpr size_t EntrySize(size_t index) {
  return index * sizeof(Directory) + offsetof(Directory, location) +
         offsetof(LocationDescriptor, data_size);
}

TEST(MinidumpReaderTest, AMalformedOrHostileDumpIsUnreadableWithItsReason) {
  using L = DumpLayout;
  std::mt19937 random(15);
  std::string noise(4096, '\0');
  for (char& byte : noise) byte = static_cast<char>(random());
  const struct {
    const char* what;
    std::function<std::string()> make;
    std::string error;  // after "unreadable: "; empty for any reason
  } cases[] = {
      {"random bytes", [&] { return noise; }, "no minidump signature"},
      {"random bytes after a header", [&] { return BuildDump({}).substr(0, 32) + noise; }, ""},
      {"another format version", Patched(nullptr, 4, 42898), "unknown format version 42898"},
      {"stream count beyond the file", Patched(nullptr, 8, 0xFFFFFFFF),
       "stream directory past the end of the file"},
      {"directory offset that wraps", Patched(nullptr, 12, 0xFFFFFFF8),
       "stream directory past the end of the file"},
      {"stream size beyond the file", Patched(&L::directory, EntrySize(0), 0xFFFFFFFF),
       "system info stream past the end of the file"},
      {"exception stream too short", Patched(&L::directory, EntrySize(1), 167),
       "exception stream too short"},
      {"misc info stream too short", Patched(&L::directory, EntrySize(4), 20),
       "misc info stream too short"},
      {"exception parameter count",
       Patched(&L::exception, offsetof(ExceptionStream, exception_record.number_parameters), 16),
       "exception with 16 parameters, more than 15"},
      {"module count beyond its stream", Patched(&L::module_list, 0, 0x10000000),
       "module list stream too short for its 268435456 entries"},
      {"module name offset at the end",
       Patched(&L::module_list, kListCountSize + offsetof(Module, module_name_rva), -2),
       "module name past the end of the file"},
      {"module name length beyond the file", Patched(&L::first_module_name, 0, 60000),
       "module name past the end of the file"},
      {"module name of odd length", Patched(&L::first_module_name, 0, 7),
       "module name of odd byte length"},
      {"module name too long", Patched(&L::first_module_name, 0, 2 * (kMaxStringUnits + 1)),
       "module name longer than 32767 characters"},
      {"service pack text at the end",
       Patched(&L::system, offsetof(SystemInfo, csd_version_rva), -3),
       "service pack text past the end of the file"},
      {"thread count beyond its stream", Patched(&L::thread_list, 0, 1000),
       "thread list stream too short for its 1000 entries"},
      {"thread stack at the end",
       Patched(&L::thread_list, kListCountSize + offsetof(Thread, stack.memory.rva), -4),
       "thread stack past the end of the file"},
      {"memory range at the end",
       Patched(&L::memory_list, kListCountSize + offsetof(MemoryDescriptor, memory.rva), -2),
       "memory range past the end of the file"},
      {"memory64 count beyond its stream", Patched(&L::memory64_list, 4, 1),
       "memory64 list stream too short for its 4294967297 entries"},
      {"memory64 range whose end wraps to 1",
       [] {
         DumpLayout at;
         std::string bytes = BuildDump({}, &at);
         uint64_t base = 0;
         std::memcpy(&base, bytes.data() + at.memory64_list + 8, sizeof base);
         Put64(&bytes, at.memory64_list + sizeof(Memory64ListHeader) + 8, 1 - base);
         return bytes;
       },
       "memory range past the end of the file"},
      {"second memory64 range past the end",
       [] {
         DumpParts parts;
         parts.memory64_ranges = 2;
         DumpLayout at;
         std::string bytes = BuildDump(parts, &at);
         Put64(&bytes,
               at.memory64_list + sizeof(Memory64ListHeader) + sizeof(MemoryDescriptor64) +
                   offsetof(MemoryDescriptor64, data_size),
               bytes.size());
         return bytes;
       },
       "memory range past the end of the file"},
      {"more modules than the limit",
       [] {
         DumpParts parts;
         parts.modules.resize(kMaxModules + 1, parts.modules[1]);
         parts.module_names.resize(kMaxModules + 1, u"m.dll");
         return BuildDump(parts);
       },
       "16385 modules, more than 16384"},
  };
  for (const auto& c : cases) {
    const MinidumpResult read = ReadMinidump(Bytes(c.make()));
    EXPECT_FALSE(read.minidump) << c.what;
    EXPECT_TRUE(c.error.empty() ? read.error.starts_with("unreadable: ")
                                : read.error == "unreadable: " + c.error)
        << c.what << ": " << read.error;
  }
  EXPECT_TRUE(ReadMinidump(Bytes(BuildDump({}))).minidump);
  DumpParts two_ranges;
  two_ranges.memory64_ranges = 2;
  EXPECT_TRUE(ReadMinidump(Bytes(BuildDump(two_ranges))).minidump);
}

TEST(MinidumpReaderTest, ReadsTheCrashContextOfAnX64DumpOnly) {
  std::array<uint64_t, 16> registers;
  for (size_t i = 0; i < registers.size(); ++i) registers[i] = 0x1000 + i;
  const struct {
    uint16_t architecture;
    size_t context_size;
    bool read;
  } cases[] = {{9, kAmd64ContextSize, true},
               {9, kAmd64ContextSize + 100, true},
               {9, kAmd64ContextSize - 1, false},
               {0, kAmd64ContextSize, false},
               {12, kAmd64ContextSize, false}};
  for (const auto& c : cases) {
    DumpParts parts;
    parts.system.processor_architecture = c.architecture;
    parts.context = Amd64Context(registers, 0x140001643, c.context_size);
    const MinidumpResult read = ReadMinidump(Bytes(BuildDump(parts)));
    ASSERT_TRUE(read.minidump) << read.error;
    ASSERT_EQ(read.minidump->crash_context.has_value(), c.read) << c.architecture;
    if (!c.read) continue;
    EXPECT_EQ(read.minidump->crash_context->registers, registers);
    EXPECT_EQ(read.minidump->crash_context->rip, 0x140001643u);
  }
}

TEST(MinidumpReaderTest, ReadsTheCodeViewRecordInThePdb70FormOnly) {
  const std::string longest(kMaxPdbNameBytes, 'p');
  const struct {
    const char* what;
    std::string record;
    std::optional<std::string> pdb_name;  // none: no identity
  } cases[] = {
      {"pdb 7.0", Pdb70Record(3, "C:\\build\\Ortivo.pdb"), "C:\\build\\Ortivo.pdb"},
      {"padded after the NUL", Pdb70Record(3, "a.pdb") + "\xFF\xFF", "a.pdb"},
      {"UTF-8 path", Pdb70Record(3, "C:\\b\xC3\xA4u\\\xE4\xB8\xAD.pdb"),
       "C:\\b\xC3\xA4u\\\xE4\xB8\xAD.pdb"},
      {"empty path", Pdb70Record(3, ""), ""},
      {"longest path", Pdb70Record(3, longest), longest},
      {"path too long", Pdb70Record(3, longest + "p"), std::nullopt},
      {"no NUL", Pdb70Record(3, "C:\\a.pdb", false), std::nullopt},
      {"no path at all", Pdb70Record(3, "", false), std::nullopt},
      {"path not UTF-8", Pdb70Record(3, "C:\\\xC3(.pdb"), std::nullopt},
      {"path with a surrogate", Pdb70Record(3, "\xED\xA0\x80.pdb"), std::nullopt},
      {"pdb 2.0", "NB10" + Pdb70Record(3, "a.pdb").substr(4), std::nullopt},
      {"shorter than its header", Pdb70Record(3, "", false).substr(0, 20), std::nullopt},
  };
  for (const auto& c : cases) {
    DumpParts parts;
    parts.code_views = {c.record};
    const MinidumpResult read = ReadMinidump(Bytes(BuildDump(parts)));
    ASSERT_TRUE(read.minidump) << c.what << ": " << read.error;
    const std::optional<CodeViewRecord>& code_view = read.minidump->modules[0].code_view;
    ASSERT_EQ(code_view.has_value(), c.pdb_name.has_value()) << c.what;
    EXPECT_FALSE(read.minidump->modules[1].code_view) << c.what;
    if (!code_view) continue;
    EXPECT_EQ(code_view->pdb_name, *c.pdb_name) << c.what;
    EXPECT_EQ(code_view->age, 3u);
    EXPECT_EQ(code_view->guid,
              (std::array<uint8_t, 16>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
  }
  // A path counts towards the texts' limit, however many modules point at it.
  for (const size_t count : {size_t{100}, size_t{130}}) {
    DumpParts parts;
    parts.modules.resize(count, parts.modules[1]);
    parts.module_names.resize(count, u"m.dll");
    parts.code_views.assign(count, Pdb70Record(3, longest));
    const MinidumpResult read = ReadMinidump(Bytes(BuildDump(parts)));
    EXPECT_EQ(read.error, count == 100 ? "" : "unreadable: texts take more than 4 MiB together");
  }
}

// Memory from the memory lists and the crashing thread's stack, which here overlap: the
// stack, from 0x2FFFF8 on, covers the first 8 bytes of the lists' range at 0x300000. Either
// list alone gives the same memory: the memory list in one range, the memory64 list cut in
// three.
TEST(MinidumpReaderTest, ReadsTheMemoryTheDumpHolds) {
  for (const bool memory_list : {true, false}) {
    SCOPED_TRACE(memory_list ? "memory list" : "memory64 list only");
    DumpParts parts;
    parts.threads[1].stack.start_of_memory_range = 0x2FFFF8;
    parts.stack = "0123456789abcdef";
    parts.memory64_ranges = 3;
    DumpLayout at;
    std::string bytes = BuildDump(parts, &at);
    if (!memory_list) Put32(&bytes, at.memory_list, 0);
    const MinidumpResult read = ReadMinidump(Bytes(bytes));
    ASSERT_TRUE(read.minidump) << read.error;
    const Minidump& dump = *read.minidump;
    ASSERT_EQ(dump.memory.size(), 2u);  // the stack, then what the lists hold beyond it
    EXPECT_EQ(dump.memory[0].start, 0x2FFFF8u);
    EXPECT_EQ(dump.memory[1].start, 0x300008u);
    EXPECT_EQ(dump.memory[1].size, 3u);
    const struct {
      uint64_t address;
      size_t length;
      std::optional<std::string> read;  // none: not held
    } cases[] = {
        {0x2FFFF8, 16, "0123456789abcdef"},
        {0x2FFFF8, 19, "0123456789abcdeftes"},  // across ranges
        {0x300006, 5, "eftes"},
        {0x300000, 11, "89abcdeftes"},
        {0x30000A, 1, "s"},
        {0x30000B, 0, ""},
        {0x30000A, 2, std::nullopt},  // past the end
        {0x2FFFF7, 2, std::nullopt},  // before the start
        {0x100000, 4, std::nullopt},
        {UINT64_MAX - 1, 4, std::nullopt},
    };
    for (const auto& c : cases) {
      std::string out(c.length, '\0');
      const bool held =
          ReadDumpMemory(SpanSource(Bytes(bytes)), dump, c.address, c.length, out.data());
      ASSERT_EQ(held, c.read.has_value()) << std::hex << c.address;
      if (held) {
        EXPECT_EQ(out, *c.read) << std::hex << c.address;
      }
    }
  }
}

// What names cost is the text kept, whatever one name may hold: a name that many modules
// point at counts once for each of them.
TEST(MinidumpReaderTest, TheNamesKeptTakeAtMostTheTextLimitTogether) {
  const struct {
    char16_t unit;
    size_t utf8_bytes;
  } names[] = {{u'a', 1}, {u'\u4E2D', 3}};
  for (const auto& [unit, utf8_bytes] : names) {
    const size_t fit = kMaxTextBytes / (kMaxStringUnits * utf8_bytes);
    for (const size_t count : {fit, fit + 1, kMaxModules}) {
      SCOPED_TRACE(std::to_string(count) + " names of " + std::to_string(utf8_bytes) +
                   "-byte characters");
      const MinidumpResult read = ReadMinidump(Bytes(SharedLongNames(count, unit)));
      if (count > fit) {
        EXPECT_EQ(read.error, "unreadable: texts take more than 4 MiB together");
        continue;
      }
      ASSERT_TRUE(read.minidump) << read.error;
      size_t kept = read.minidump->system_info->service_pack.size();
      for (const ModuleInfo& module : read.minidump->modules) kept += module.name.size();
      EXPECT_EQ(read.minidump->modules.size(), count);
      EXPECT_LE(kept, kMaxTextBytes);
    }
  }
}

}  // namespace
}  // namespace fennick_minidump
