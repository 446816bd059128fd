#ifndef FENNICK_TOOLS_ANALYSIS_UNWIND_VIRTUAL_UNWIND_H_
#define FENNICK_TOOLS_ANALYSIS_UNWIND_VIRTUAL_UNWIND_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "stack_walk.h"

namespace fennick_unwind {

// Chained unwind data is followed at most this deep: real chains are one or two long.
constexpr size_t kMaxChainDepth = 32;

// The caller's registers, or why the unwind data or the stack gave none.
struct UnwindStep {
  bool ok = false;
  fennick_minidump::ThreadContext caller;
  std::string error;
};

// Why a walk ends where the dump lacks the stack memory at `address`.
std::string MissingStackMemory(uint64_t address);

// Undoes the prolog of `function` (of the image loaded at `base`) for the frame `frame` and
// pops its return address: the caller's registers as they were at the call.
UnwindStep VirtualUnwind(const fennick_minidump::ThreadContext& frame, uint64_t base,
                         const ModuleImage& image, const RuntimeFunction& function,
                         const StackMemory& memory);

}  // namespace fennick_unwind

#endif  // FENNICK_TOOLS_ANALYSIS_UNWIND_VIRTUAL_UNWIND_H_
