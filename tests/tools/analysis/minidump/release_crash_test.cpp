// Every kind of crash of every release of Ortivo, run under Wine, gives a dump the reader
// reads: the exception the kind ends in, the crashed thread with its stack, the module it
// happened in.
#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>

#include "crash_summary.h"
#include "minidump_reader.h"
#include "tools/release_crashes.h"

namespace fennick_minidump {
namespace {

constexpr size_t kRsp = 4;  // in the order of x64 unwind codes

TEST(ReleaseCrashTest, EveryKindOfEveryReleaseGivesADumpTheReaderReads) {
  for (const std::string& build : kReleaseBuilds) {
    for (const ReleaseCrashKind& kind : kReleaseCrashKinds) {
      SCOPED_TRACE(build + " " + kind.kind);
      EXPECT_GT(ReleaseMarkedLine(kind), 0);
      const ReleaseCrash crash = RunReleaseCrash(build, kind.kind);
      const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(crash.dump.data()),
                                           crash.dump.size());
      const MinidumpResult read = ReadMinidump(bytes);
      ASSERT_TRUE(read.minidump) << read.error;
      const Minidump& dump = *read.minidump;
      ASSERT_TRUE(dump.exception);
      EXPECT_EQ(CodeText(dump.exception->code), CodeText(kind.exception_code));
      EXPECT_EQ(CodeText(dump.exception->code), crash.facts.at("exception_code"));
      EXPECT_EQ(dump.exception->address, HexFact(crash.facts, "exception_address"));
      ASSERT_TRUE(dump.crash_context);
      EXPECT_EQ(dump.crash_context->rip, dump.exception->address);
      // The crashed thread's stack is kept, for the walk: the dump holds the memory at RSP.
      uint64_t top_of_stack = 0;
      EXPECT_TRUE(ReadDumpMemory(SpanSource(bytes), dump, dump.crash_context->registers[kRsp],
                                 sizeof top_of_stack, &top_of_stack));
      const ModuleInfo* module = ModuleAt(dump, dump.exception->address);
      ASSERT_NE(module, nullptr);
      EXPECT_EQ(FileNameOf(module->name), kind.crash_module);
      EXPECT_EQ(crash.facts.at("module"), "Ortivo.exe");
    }
  }
}

}  // namespace
}  // namespace fennick_minidump
