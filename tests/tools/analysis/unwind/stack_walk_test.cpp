#include "stack_walk.h"

#include <gtest/gtest.h>

#include <llvm/Support/Win64EH.h>

#include <map>

#include "unwind_test_image.h"

namespace fennick_unwind {
namespace {

namespace win64 = llvm::Win64EH;
using fennick_minidump::ThreadContext;

constexpr uint8_t kRbx = 3, kRsp = 4, kRbp = 5;
constexpr uint64_t kBase = 0x140000000;      // the module with unwind data
constexpr uint64_t kOther = 0x7FF800000000;  // a module without
constexpr uint64_t kStack = 0x10000;         // the stack, kStackSize bytes
constexpr uint64_t kStackSize = 0x12000;
constexpr uint64_t kFrameBase = kStack + 0x11000;  // where the second caller's frame lies
constexpr uint64_t kCrash = kBase + 0x1050;        // in F1, past its prolog
constexpr uint64_t kF2Return = kBase + 0x1150;
constexpr uint64_t kF3Return = kBase + 0x1250;
constexpr uint32_t kF1Info = 0x3000;

// F1 [0x1000, 0x1100) is the function a row describes, with its unwind data at 0x3000. Its
// caller F2 finds its frame by RBX (so a row shows that F1 gave RBX back), at kFrameBase,
// where F3's return address lies; F3 has no prolog and returns to 0. A call comes before
// kCrash and each return address, so a scan finds them checked.
const std::vector<RuntimeFunction> kFunctions = {
    {0x1000, 0x1100, kF1Info}, {0x1100, 0x1200, 0x3100}, {0x1200, 0x1300, 0x3200}};
const std::string kCall = std::string("\xE8\0\0\0\0", 5);
const std::map<uint32_t, std::string> kCallers = {
    {0x3100, UnwindInfo(0, {Op(0, win64::UOP_SetFPReg)}, 0, kRbx)},
    {0x3200, UnwindInfo(0, {})},
    {0x1050 - 5, kCall},
    {0x1150 - 5, kCall},
    {0x1250 - 5, kCall}};

struct Row {
  const char* what;
  std::map<uint32_t, std::string> data;        // unwind data by RVA, F1's at kF1Info
  std::map<uint64_t, uint64_t> stack;          // 8-byte values by offset from kStack
  std::map<uint8_t, uint64_t> registers = {};  // besides RSP at kStack
  uint64_t rip = kCrash;
  std::vector<StackFrame> frames = {{kCrash, FrameTrust::kContext},
                                    {kF2Return, FrameTrust::kUnwind},
                                    {kF3Return, FrameTrust::kUnwind}};
  std::string end_reason = "end of stack";
};

StackWalk Walk(const Row& row) {
  std::string image(0x4000, '\0');
  std::map<uint32_t, std::string> data = kCallers;
  for (const auto& [rva, bytes] : row.data) data[rva] = bytes;
  for (const auto& [rva, bytes] : data) image.replace(rva, bytes.size(), bytes);
  const TestImage module_image(kFunctions, image);
  std::string stack(kStackSize, '\0');
  std::map<uint64_t, uint64_t> slots = {{kFrameBase - kStack, kF3Return}};
  for (const auto& [offset, value] : row.stack) slots[offset] = value;
  for (const auto& [offset, value] : slots) std::memcpy(stack.data() + offset, &value, 8);
  ThreadContext context;
  context.rip = row.rip;
  context.registers[kRsp] = kStack;
  for (const auto& [number, value] : row.registers) context.registers[number] = value;
  const ModuleRange modules[] = {{kBase, 0x10000, &module_image}, {kOther, 0x10000, nullptr}};
  return WalkStack(context, kStack, kStack + kStackSize, TestMemory(kStack, stack), modules);
}

template <size_t N>
void ExpectWalks(const Row (&rows)[N]) {
  for (const Row& row : rows) {
    const StackWalk walk = Walk(row);
    EXPECT_EQ(walk.end_reason, row.end_reason) << row.what;
    ASSERT_EQ(walk.frames.size(), row.frames.size()) << row.what;
    for (size_t i = 0; i < row.frames.size(); ++i) {
      EXPECT_EQ(walk.frames[i].instruction, row.frames[i].instruction) << row.what << " " << i;
      EXPECT_EQ(walk.frames[i].trust, row.frames[i].trust) << row.what << " " << i;
    }
  }
}

// Entries that chain F1 to unwind data at the image's end and past it.
constexpr RuntimeFunction kChainToEnd = {0x1000, 0x1100, 0x3FF8};
constexpr RuntimeFunction kChainToLast = {0x1000, 0x1100, 0x3FFC};
constexpr RuntimeFunction kChainOutside = {0x1000, 0x1100, 0xFFFFFFFE};

TEST(StackWalkTest, UnwindsEachCodeOfTheFormat) {
  using namespace win64;
  const RuntimeFunction chain_to_push = {0x1000, 0x1100, 0x3400};
  const Row rows[] = {
      {"leaf, no function entry",
       {},
       {{0, kF2Return}},
       {{kRbx, kFrameBase}},
       kBase + 0x1800,
       {{kBase + 0x1800, FrameTrust::kContext},
        {kF2Return, FrameTrust::kUnwind},
        {kF3Return, FrameTrust::kUnwind}}},
      {"return address at the end of the calling function",
       {},
       {{0, kBase + 0x1200}},
       {{kRbx, kFrameBase}},
       kBase + 0x1800,
       {{kBase + 0x1800, FrameTrust::kContext},
        {kBase + 0x1200, FrameTrust::kUnwind},
        {kF3Return, FrameTrust::kUnwind}}},
      {"push",
       {{kF1Info, UnwindInfo(1, {Op(1, UOP_PushNonVol, kRbx)})}},
       {{0, kFrameBase}, {8, kF2Return}}},
      {"small allocation",
       {{kF1Info, UnwindInfo(5, {Op(5, UOP_AllocSmall, 1), Op(1, UOP_PushNonVol, kRbx)})}},
       {{16, kFrameBase}, {24, kF2Return}}},
      {"large allocation, 16-bit size",
       {{kF1Info, UnwindInfo(8, {Op(8, UOP_AllocLarge, 0), 0x20, Op(1, UOP_PushNonVol, kRbx)})}},
       {{0x100, kFrameBase}, {0x108, kF2Return}}},
      {"large allocation, 32-bit size",
       {{kF1Info,
         UnwindInfo(11, {Op(11, UOP_AllocLarge, 1), 0x0010, 0x0001, Op(1, UOP_PushNonVol, kRbx)})}},
       {{0x10010, kFrameBase}, {0x10018, kF2Return}}},
      {"frame register",
       {{kF1Info,
         UnwindInfo(9, {Op(9, UOP_SetFPReg), Op(5, UOP_AllocSmall, 1), Op(1, UOP_PushNonVol, kRbx)},
                    0, kRbp, 1)}},
       {{0x110, kFrameBase}, {0x118, kF2Return}},
       {{kRbp, kStack + 0x110}}},
      {"saved register",
       {{kF1Info, UnwindInfo(9, {Op(9, UOP_SaveNonVol, kRbx), 3, Op(4, UOP_AllocSmall, 3)})}},
       {{24, kFrameBase}, {32, kF2Return}}},
      {"saved register, far",
       {{kF1Info,
         UnwindInfo(9, {Op(9, UOP_SaveNonVolBig, kRbx), 0x28, 0, Op(4, UOP_AllocSmall, 7)})}},
       {{0x28, kFrameBase}, {64, kF2Return}}},
      {"saved XMM register, skipped",
       {{kF1Info, UnwindInfo(9, {Op(9, UOP_SaveXMM128, 6), 1, Op(1, UOP_PushNonVol, kRbx)})}},
       {{0, kFrameBase}, {8, kF2Return}}},
      {"saved XMM register, far, skipped",
       {{kF1Info, UnwindInfo(9, {Op(9, UOP_SaveXMM128Big, 6), 1, 0, Op(1, UOP_PushNonVol, kRbx)})}},
       {{0, kFrameBase}, {8, kF2Return}}},
      {"machine frame",
       {{kF1Info, UnwindInfo(0, {Op(0, UOP_PushMachFrame, 0)})}},
       {{0, kF2Return}, {24, kStack + 0x40}},
       {{kRbx, kFrameBase}}},
      {"machine frame with error code",
       {{kF1Info, UnwindInfo(0, {Op(0, UOP_PushMachFrame, 1)})}},
       {{8, kF2Return}, {32, kStack + 0x40}},
       {{kRbx, kFrameBase}}},
      {"in the prolog, after its first instruction",
       {{kF1Info, UnwindInfo(8, {Op(8, UOP_AllocSmall, 3), Op(1, UOP_PushNonVol, kRbx)})}},
       {{0, kFrameBase}, {8, kF2Return}},
       {},
       kBase + 0x1004,
       {{kBase + 0x1004, FrameTrust::kContext},
        {kF2Return, FrameTrust::kUnwind},
        {kF3Return, FrameTrust::kUnwind}}},
      {"in the prolog, right after a push",
       {{kF1Info, UnwindInfo(8, {Op(8, UOP_AllocSmall, 3), Op(1, UOP_PushNonVol, kRbx)})}},
       {{0, kFrameBase}, {8, kF2Return}},
       {},
       kBase + 0x1001,
       {{kBase + 0x1001, FrameTrust::kContext},
        {kF2Return, FrameTrust::kUnwind},
        {kF3Return, FrameTrust::kUnwind}}},
      {"at the function's first instruction",
       {{kF1Info, UnwindInfo(8, {Op(8, UOP_AllocSmall, 3), Op(1, UOP_PushNonVol, kRbx)})}},
       {{0, kF2Return}},
       {{kRbx, kFrameBase}},
       kBase + 0x1000,
       {{kBase + 0x1000, FrameTrust::kContext},
        {kF2Return, FrameTrust::kUnwind},
        {kF3Return, FrameTrust::kUnwind}}},
      {"chained",
       {{kF1Info,
         UnwindInfo(5, {Op(5, UOP_AllocSmall, 1)}, UNW_ChainInfo, 0, 0, 1, &chain_to_push)},
        {0x3400, UnwindInfo(1, {Op(1, UOP_PushNonVol, kRbx)})}},
       {{16, kFrameBase}, {24, kF2Return}}},
      {"chained, at the first instruction of the part RIP is in",
       {{kF1Info,
         UnwindInfo(5, {Op(5, UOP_AllocSmall, 1)}, UNW_ChainInfo, 0, 0, 1, &chain_to_push)},
        {0x3400, UnwindInfo(1, {Op(1, UOP_PushNonVol, kRbx)})}},
       {{0, kFrameBase}, {8, kF2Return}},
       {},
       kBase + 0x1000,
       {{kBase + 0x1000, FrameTrust::kContext},
        {kF2Return, FrameTrust::kUnwind},
        {kF3Return, FrameTrust::kUnwind}}},
      {"version 2 epilog codes, skipped",
       {{kF1Info,
         UnwindInfo(1, {Op(1, UOP_Epilog, 1), Op(2, UOP_Epilog), Op(1, UOP_PushNonVol, kRbx)}, 0, 0,
                    0, 2)}},
       {{0, kFrameBase}, {8, kF2Return}}},
  };
  ExpectWalks(rows);
}

TEST(StackWalkTest, ScansForReturnAddressesWhereNoUnwindDataIsAtHand) {
  using namespace win64;
  const Row rows[] = {
      // Into a module without an image anything goes; into one with an image only a
      // function's code after a call does (0x1800 is no function, 0x1080 follows no call).
      // F3 unwinds again.
      {"module without an image",
       {},
       {{0, 0x1234}, {8, kOther + 0x2000}, {16, kBase + 0x1800}, {24, kBase + 0x1080}},
       {},
       kOther + 0x1000,
       {{kOther + 0x1000, FrameTrust::kContext},
        {kOther + 0x2000, FrameTrust::kScan},
        {kF3Return, FrameTrust::kCheckedScan}}},
      {"a module's base, which no call returns to",
       {},
       {{0, kOther}, {8, kOther + 0x2000}},
       {},
       kOther + 0x1000,
       {{kOther + 0x1000, FrameTrust::kContext},
        {kOther + 0x2000, FrameTrust::kScan},
        {kF3Return, FrameTrust::kCheckedScan}}},
      {"a checked frame unwound on, its pushed RBX found for its caller",
       {{kF1Info, UnwindInfo(1, {Op(1, UOP_PushNonVol, kRbx)})}},
       {{0, kCrash}, {8, kFrameBase}, {16, kF2Return}},
       {},
       kOther + 0x1000,
       {{kOther + 0x1000, FrameTrust::kContext},
        {kCrash, FrameTrust::kCheckedScan},
        {kF2Return, FrameTrust::kUnwind},
        {kF3Return, FrameTrust::kUnwind}}},
      // Two pushes ahead of the return address, as ___chkstk_ms makes them: a size and a
      // stack address, neither of them code.
      {"code without unwind data that pushed registers",
       {},
       {{0, 0x2000}, {8, kStack + 0x18}, {16, kF2Return}},
       {{kRbx, kFrameBase}},
       kBase + 0x1800,
       {{kBase + 0x1800, FrameTrust::kContext},
        {kF2Return, FrameTrust::kCheckedScan},
        {kF3Return, FrameTrust::kCheckedScan}}},
      // F2 finds its frame by RBX, which a scan does not know: scanned past.
      {"a call to address 0, returning to a function with a frame register",
       {},
       {{0, kF2Return}},
       {{kRbx, kFrameBase}},
       0,
       {{0, FrameTrust::kContext},
        {kF2Return, FrameTrust::kCheckedScan},
        {kF3Return, FrameTrust::kCheckedScan}}},
  };
  ExpectWalks(rows);
}

TEST(StackWalkTest, HostileUnwindDataOrStackEndsTheWalkWithItsReason) {
  using namespace win64;
  const RuntimeFunction self = {0x1000, 0x1100, kF1Info};
  const RuntimeFunction to_b = {0x1000, 0x1100, 0x3400};
  const RuntimeFunction to_a = {0x1000, 0x1100, kF1Info};
  const std::vector<StackFrame> crash_only = {{kCrash, FrameTrust::kContext}};
  const Row rows[] = {
      {"chained to itself",
       {{kF1Info, UnwindInfo(0, {}, UNW_ChainInfo, 0, 0, 1, &self)}},
       {},
       {},
       kCrash,
       crash_only,
       "unwind data chained to itself"},
      {"chained in a loop",
       {{kF1Info, UnwindInfo(0, {}, UNW_ChainInfo, 0, 0, 1, &to_b)},
        {0x3400, UnwindInfo(0, {}, UNW_ChainInfo, 0, 0, 1, &to_a)}},
       {},
       {},
       kCrash,
       crash_only,
       "unwind data chained more than 32 deep"},
      {"chained entry past the image",
       {{kF1Info, UnwindInfo(0, {}, UNW_ChainInfo, 0, 0, 1, &kChainToLast)},
        {0x3FFC, UnwindInfo(0, {}, UNW_ChainInfo)}},
       {},
       {},
       kCrash,
       crash_only,
       "chained function entry of 0x3FFC outside its image"},
      {"more codes than the image holds",
       {{0x3FF8, std::string("\x01\x00\xC8\x00", 4)},
        {kF1Info, UnwindInfo(0, {}, UNW_ChainInfo, 0, 0, 1, &kChainToEnd)}},
       {},
       {},
       kCrash,
       crash_only,
       "unwind codes at 0x3FF8 past the end of its image"},
      {"a code's slots past its data",
       {{kF1Info, UnwindInfo(8, {Op(8, UOP_AllocLarge, 0)})}},
       {},
       {},
       kCrash,
       crash_only,
       "unwind code past the end of its data"},
      {"unwind info outside the image",
       {{kF1Info, UnwindInfo(0, {}, UNW_ChainInfo, 0, 0, 1, &kChainOutside)}},
       {},
       {},
       kCrash,
       crash_only,
       "unwind info at 0xFFFFFFFE outside its image"},
      {"unknown code",
       {{kF1Info, UnwindInfo(1, {Op(1, UOP_SpareCode)})}},
       {},
       {},
       kCrash,
       crash_only,
       "unknown unwind code 7 (info 0)"},
      {"large allocation of another form",
       {{kF1Info, UnwindInfo(1, {Op(1, UOP_AllocLarge, 2), 0, 0})}},
       {},
       {},
       kCrash,
       crash_only,
       "unknown unwind code 1 (info 2)"},
      {"epilog code in version 1",
       {{kF1Info, UnwindInfo(1, {Op(1, UOP_Epilog)})}},
       {},
       {},
       kCrash,
       crash_only,
       "unknown unwind code 6 (info 0)"},
      {"unknown version",
       {{kF1Info, UnwindInfo(0, {}, 0, 0, 0, 3)}},
       {},
       {},
       kCrash,
       crash_only,
       "unwind info at 0x3000 of unknown version 3"},
      {"frame code without a frame register",
       {{kF1Info, UnwindInfo(1, {Op(1, UOP_SetFPReg)})}},
       {},
       {},
       kCrash,
       crash_only,
       "frame register code without a frame register"},
      {"allocation past the stack",
       {{kF1Info, UnwindInfo(1, {Op(1, UOP_AllocLarge, 1), 0, 0x100})}},
       {},
       {},
       kCrash,
       crash_only,
       "stack memory at 0x1010000 not in the dump"},
      {"stack pointer that does not grow",
       {{kF1Info, UnwindInfo(0, {Op(0, UOP_PushMachFrame, 0)})}},
       {{0, kF2Return}, {24, kStack}},
       {},
       kCrash,
       crash_only,
       "stack pointer did not grow"},
      {"stack pointer past the stack",
       {{kF1Info, UnwindInfo(0, {Op(0, UOP_PushMachFrame, 0)})}},
       {{0, kF2Return}, {24, kStack + kStackSize}},
       {},
       kCrash,
       crash_only,
       "stack pointer left the stack"},
      {"a frame by a frame register that goes down",
       {},
       {{0, kF2Return}},
       {{kRbx, kStack}},
       kBase + 0x1800,
       {{kBase + 0x1800, FrameTrust::kContext}, {kF2Return, FrameTrust::kUnwind}},
       "stack pointer did not grow"},
      {"nothing to scan for",
       {},
       {},
       {},
       kOther + 0x1000,
       {{kOther + 0x1000, FrameTrust::kContext}, {kF3Return, FrameTrust::kCheckedScan}}},
  };
  ExpectWalks(rows);
}

// A dump that left the stack out (as the crasher's own dumps do): whether by unwind data,
// as a leaf or by scanning, the walk ends at the first read.
TEST(StackWalkTest, EndsWhereTheDumpLacksTheStack) {
  std::string bytes(0x4000, '\0');
  bytes.replace(kF1Info, 4, UnwindInfo(0, {}));
  const TestImage image(kFunctions, bytes);
  const ModuleRange modules[] = {{kBase, 0x10000, &image}, {kOther, 0x10000, nullptr}};
  for (const uint64_t rip : {kCrash, kBase + 0x1800, kOther + 0x1000}) {
    ThreadContext context;
    context.rip = rip;
    context.registers[kRsp] = kStack + 0x20;
    const StackWalk walk =
        WalkStack(context, kStack, kStack + kStackSize, TestMemory(kStack, ""), modules);
    EXPECT_EQ(walk.frames.size(), 1u) << std::hex << rip;
    EXPECT_EQ(walk.end_reason, "stack memory at 0x10020 not in the dump") << std::hex << rip;
  }
}

// Recursion deeper than the limit: F1 allocates 8 bytes and calls itself, to the stack's end.
TEST(StackWalkTest, StopsAtTheFrameLimit) {
  Row row = {"recursion", {{kF1Info, UnwindInfo(4, {Op(4, win64::UOP_AllocSmall, 0)})}}, {}};
  for (uint64_t offset = 8; offset < kFrameBase - kStack; offset += 16) row.stack[offset] = kCrash;
  const StackWalk walk = Walk(row);
  EXPECT_EQ(walk.frames.size(), kMaxFrames);
  EXPECT_EQ(walk.end_reason, "frame limit of 256 reached");
  EXPECT_EQ(walk.frames.back().instruction, kCrash);
}

}  // namespace
}  // namespace fennick_unwind
