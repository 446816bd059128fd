#include "stack_walk.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "call_check.h"
#include "virtual_unwind.h"

namespace fennick_unwind {
namespace {

using fennick_minidump::ThreadContext;

constexpr size_t kRsp = 4;
// A scan gives up this many slots above the stack pointer: a frame holds fewer.
constexpr size_t kMaxScanSlots = 16384;

// The module `address` lies in, or null; `modules` sorted by base. A scan asks this of every
// stack slot, and a hostile dump may list thousands of modules.
const ModuleRange* ModuleAt(std::span<const ModuleRange> modules, uint64_t address) {
  const auto after = std::upper_bound(
      modules.begin(), modules.end(), address,
      [](uint64_t value, const ModuleRange& module) { return value < module.base; });
  if (after == modules.begin()) return nullptr;
  const ModuleRange& module = *std::prev(after);
  return address - module.base < module.size ? &module : nullptr;
}

// The RVA a frame's instruction is looked up by: a caller's return address may lie just past
// the end of the function that made the call.
uint32_t LookupRva(const StackFrame& frame, const ModuleRange& module) {
  const uint64_t rva = frame.instruction - module.base;
  return static_cast<uint32_t>(frame.trust == FrameTrust::kContext ? rva : rva - 1);
}

// How far a scan trusts `value` as a return address: anywhere into a module without an
// image, unchecked; into one with an image, only past a call within one of its functions.
std::optional<FrameTrust> ReturnTrust(std::span<const ModuleRange> modules, uint64_t value) {
  const ModuleRange* module = ModuleAt(modules, value);
  if (module == nullptr || value == module->base) return std::nullopt;
  if (module->image == nullptr) return FrameTrust::kScan;
  const auto rva = static_cast<uint32_t>(value - module->base);
  if (!module->image->FindFunction(rva - 1) || !FollowsCall(*module->image, rva)) {
    return std::nullopt;
  }
  return FrameTrust::kCheckedScan;
}

// True when unwinding `function` reads a frame register at any step of its chain. A scan
// knows only the stack pointer, so such a function is scanned past, not unwound.
bool UsesFrameRegister(const ModuleImage& image, RuntimeFunction function) {
  constexpr uint8_t kChainInfo = 4;
  for (size_t depth = 0; depth < kMaxChainDepth; ++depth) {
    uint8_t header[4];
    if (!image.Read(function.unwind_info, sizeof header, header)) return true;
    if ((header[3] & 0x0F) != 0) return true;
    if ((header[0] >> 3 & kChainInfo) == 0) return false;
    // The chained entry follows the codes, which are padded to an even count.
    const uint32_t chained = function.unwind_info + 4 + ((header[2] + 1u) & ~1u) * 2;
    uint32_t entry[3];
    if (!image.Read(chained, sizeof entry, entry)) return true;
    function = {entry[0], entry[1], entry[2]};
  }
  return true;
}

class Walker {
 public:
  Walker(uint64_t stack_start, uint64_t stack_end, const StackMemory& memory,
         std::span<const ModuleRange> modules)
      : stack_start_(stack_start), stack_end_(stack_end), memory_(memory), modules_(modules) {}

  StackWalk Walk(const ThreadContext& context) {
    StackWalk walk;
    ThreadContext registers = context;
    walk.frames.push_back({context.rip, FrameTrust::kContext});
    while (walk.frames.size() < kMaxFrames) {
      const StackFrame& frame = walk.frames.back();
      const ModuleRange* module = ModuleAt(modules_, frame.instruction);
      Step step = Unwinds(frame, module) ? Unwind(frame, *module, registers) : Scan(registers);
      if (!step.error.empty()) {
        walk.end_reason = std::move(step.error);
        return walk;
      }
      const uint64_t rsp = step.registers.registers[kRsp];
      if (step.registers.rip == 0) {
        walk.end_reason = "end of stack";
        return walk;
      }
      if (rsp <= registers.registers[kRsp]) {
        walk.end_reason = "stack pointer did not grow";
        return walk;
      }
      if (rsp < stack_start_ || rsp >= stack_end_) {
        walk.end_reason = "stack pointer left the stack";
        return walk;
      }
      registers = step.registers;
      walk.frames.push_back({registers.rip, step.trust});
    }
    walk.end_reason = "frame limit of " + std::to_string(kMaxFrames) + " reached";
    return walk;
  }

 private:
  struct Step {
    ThreadContext registers;  // the caller's
    FrameTrust trust = FrameTrust::kUnwind;
    std::string error;  // why there is no caller
  };

  // A frame in a module with an image is unwound, unless a scan found it in a function that
  // needs registers the scan cannot give.
  bool Unwinds(const StackFrame& frame, const ModuleRange* module) const {
    if (module == nullptr || module->image == nullptr) return false;
    if (frame.trust != FrameTrust::kCheckedScan) return true;
    const std::optional<RuntimeFunction> function =
        module->image->FindFunction(LookupRva(frame, *module));
    return function && !UsesFrameRegister(*module->image, *function);
  }

  // By the function's unwind data, or as a leaf when it has none: its return address at RSP.
  Step Unwind(const StackFrame& frame, const ModuleRange& module, const ThreadContext& registers) {
    const std::optional<RuntimeFunction> function =
        module.image->FindFunction(LookupRva(frame, module));
    if (function) {
      UnwindStep step = VirtualUnwind(registers, module.base, *module.image, *function, memory_);
      if (!step.ok) return {{}, FrameTrust::kUnwind, step.error};
      return {step.caller, FrameTrust::kUnwind, ""};
    }
    Step step{registers, FrameTrust::kUnwind, ""};
    uint64_t& rsp = step.registers.registers[kRsp];
    if (!memory_.Read(rsp, sizeof step.registers.rip, &step.registers.rip)) {
      return {{}, FrameTrust::kUnwind, MissingStackMemory(rsp)};
    }
    // Code without unwind data that pushed registers first (a stack probe such as
    // ___chkstk_ms) has no return address at RSP: the stack is searched for it instead.
    if (step.registers.rip != 0 && ModuleAt(modules_, step.registers.rip) == nullptr) {
      return Scan(registers);
    }
    rsp += 8;
    return step;
  }

  // Up the stack from RSP to the first value that may be a return address.
  Step Scan(const ThreadContext& registers) {
    uint64_t slot = registers.registers[kRsp];
    for (size_t scanned = 0; scanned < kMaxScanSlots; ++scanned, slot += 8) {
      uint64_t value = 0;
      if (slot < stack_start_ || slot >= stack_end_ || stack_end_ - slot < sizeof value) {
        return {{}, FrameTrust::kScan, "end of stack"};
      }
      if (!memory_.Read(slot, sizeof value, &value)) {
        return {{}, FrameTrust::kScan, MissingStackMemory(slot)};
      }
      if (const std::optional<FrameTrust> trust = ReturnTrust(modules_, value)) {
        Step step{registers, *trust, ""};
        step.registers.rip = value;
        step.registers.registers[kRsp] = slot + 8;
        return step;
      }
    }
    return {{},
            FrameTrust::kScan,
            "no return address within " + std::to_string(kMaxScanSlots * 8) +
                " bytes of the stack pointer"};
  }

  const uint64_t stack_start_;
  const uint64_t stack_end_;
  const StackMemory& memory_;
  const std::span<const ModuleRange> modules_;
};

}  // namespace

const char* TrustName(FrameTrust trust) {
  switch (trust) {
    case FrameTrust::kContext:
      return "context";
    case FrameTrust::kUnwind:
      return "unwind";
    case FrameTrust::kScan:
      return "scan";
    case FrameTrust::kCheckedScan:
      return "checked_scan";
  }
  return "unknown";
}

StackWalk WalkStack(const ThreadContext& context, uint64_t stack_start, uint64_t stack_end,
                    const StackMemory& memory, std::span<const ModuleRange> modules) {
  std::vector<ModuleRange> by_base(modules.begin(), modules.end());
  std::sort(by_base.begin(), by_base.end(),
            [](const ModuleRange& a, const ModuleRange& b) { return a.base < b.base; });
  return Walker(stack_start, stack_end, memory, by_base).Walk(context);
}

}  // namespace fennick_unwind
