#ifndef FENNICK_TOOLS_ANALYSIS_UNWIND_STACK_WALK_H_
#define FENNICK_TOOLS_ANALYSIS_UNWIND_STACK_WALK_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "minidump_reader.h"

// Walks the stack of a crashed x64 thread from its context: by each module's unwind data
// where its executable is at hand, else by scanning the stack for return addresses.
namespace fennick_unwind {

constexpr size_t kMaxFrames = 256;

// How a frame was found: from the thread's context (the crashing frame), by unwind data,
// or by scanning the stack (which may find stale return addresses). A scanned address in a
// module whose image is at hand is checked: the code before it is a call.
enum class FrameTrust { kContext, kUnwind, kScan, kCheckedScan };

// "context", "unwind", "scan", "checked_scan".
const char* TrustName(FrameTrust trust);

struct StackFrame {
  uint64_t instruction = 0;  // RIP: for a caller, the return address
  FrameTrust trust = FrameTrust::kContext;
};

struct StackWalk {
  std::vector<StackFrame> frames;  // the crashing frame first
  std::string end_reason;          // why the walk ended: "end of stack", or what was wrong
};

// A RUNTIME_FUNCTION of an image's exception directory (.pdata).
struct RuntimeFunction {
  uint32_t begin = 0;  // RVAs
  uint32_t end = 0;
  uint32_t unwind_info = 0;
};

// One executable's unwind data, addressed by RVA.
class ModuleImage {
 public:
  virtual ~ModuleImage() = default;
  // The entry whose [begin, end) holds `rva`, or nullopt: a leaf function.
  virtual std::optional<RuntimeFunction> FindFunction(uint32_t rva) const = 0;
  // Copies the image's `length` bytes at `rva` into `out`; false when they are not all in it.
  virtual bool Read(uint32_t rva, size_t length, void* out) const = 0;
};

// The process's memory as the dump holds it.
class StackMemory {
 public:
  virtual ~StackMemory() = default;
  virtual bool Read(uint64_t address, size_t length, void* out) const = 0;
};

// A module of the crashed process; `image` is null when its executable is not at hand.
struct ModuleRange {
  uint64_t base = 0;
  uint64_t size = 0;
  const ModuleImage* image = nullptr;
};

// Walks the stack from `context`, within the stack [stack_start, stack_end): at most
// kMaxFrames frames; ends when the stack pointer does not grow or leaves the stack, and
// ends with a reason on unwind data that is cut, loops or points outside its image.
StackWalk WalkStack(const fennick_minidump::ThreadContext& context, uint64_t stack_start,
                    uint64_t stack_end, const StackMemory& memory,
                    std::span<const ModuleRange> modules);

}  // namespace fennick_unwind

#endif  // FENNICK_TOOLS_ANALYSIS_UNWIND_STACK_WALK_H_
