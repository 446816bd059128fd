#ifndef FENNICK_TOOLS_ANALYSIS_UNWIND_CALL_CHECK_H_
#define FENNICK_TOOLS_ANALYSIS_UNWIND_CALL_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "stack_walk.h"

// Whether a value found on the stack is a return address: the code before it must be a call.
namespace fennick_unwind {

// The longest x64 instruction.
constexpr size_t kMaxInstructionLength = 15;

// True when the last bytes of `code` are one whole near call: `E8 rel32`, or `FF /2` in any of
// its register and memory forms, with a REX prefix and legacy prefixes before them.
bool EndsWithCall(std::span<const uint8_t> code);

// True when the code of `image` just before `rva` ends with a call.
bool FollowsCall(const ModuleImage& image, uint32_t rva);

}  // namespace fennick_unwind

#endif  // FENNICK_TOOLS_ANALYSIS_UNWIND_CALL_CHECK_H_
