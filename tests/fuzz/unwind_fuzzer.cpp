// The stack walker on hostile unwind data and stack memory: it must never crash, hang or
// read out of bounds, and what it gives must hold what a walk promises: the context's frame
// first, at most kMaxFrames frames, and a reason for the end.
//
// The input: the crashing RVA (4 bytes), the stack pointer's offset into the stack (2), the
// image's length (2), one byte per register (each register then points at that many slots
// into the stack), then the image (a count of function entries, the entries, and the rest
// of the image addressed from RVA 0 like any other byte), then the stack.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "stack_walk.h"
#include "unwind_test_image.h"

namespace {

constexpr uint64_t kBase = 0x140000000;
constexpr uint64_t kOther = 0x7FF800000000;  // a module without an image, for scanning
constexpr uint64_t kModuleSize = 0x10000;
constexpr uint64_t kStack = 0x10000;
constexpr size_t kHeaderSize = 8 + 16;
constexpr size_t kMaxFunctions = 64;

template <typename T>
T Take(const uint8_t* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

std::vector<fennick_unwind::RuntimeFunction> FunctionsOf(const std::string& image) {
  std::vector<fennick_unwind::RuntimeFunction> functions;
  if (image.size() < 4) return functions;
  const auto* bytes = reinterpret_cast<const uint8_t*>(image.data());
  const size_t count =
      std::min<size_t>({Take<uint32_t>(bytes), kMaxFunctions, (image.size() - 4) / 12});
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = bytes + 4 + i * 12;
    functions.push_back(
        {Take<uint32_t>(entry), Take<uint32_t>(entry + 4), Take<uint32_t>(entry + 8)});
  }
  return functions;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace fennick_unwind;
  if (size < kHeaderSize) return 0;
  const size_t image_size = std::min<size_t>(Take<uint16_t>(data + 6), size - kHeaderSize);
  const std::string image(reinterpret_cast<const char*>(data) + kHeaderSize, image_size);
  const std::string stack(reinterpret_cast<const char*>(data) + kHeaderSize + image_size,
                          size - kHeaderSize - image_size);
  fennick_minidump::ThreadContext context;
  context.rip = kBase + Take<uint32_t>(data) % kModuleSize;
  for (size_t i = 0; i < context.registers.size(); ++i) {
    context.registers[i] = kStack + uint64_t{data[8 + i]} * 8;
  }
  context.registers[4] = kStack + Take<uint16_t>(data + 4);

  const TestImage module_image(FunctionsOf(image), image);
  const ModuleRange modules[] = {{kBase, kModuleSize, &module_image},
                                 {kOther, kModuleSize, nullptr}};
  const StackWalk walk =
      WalkStack(context, kStack, kStack + stack.size(), TestMemory(kStack, stack), modules);
  if (walk.frames.empty() || walk.frames.size() > kMaxFrames || walk.end_reason.empty() ||
      walk.frames[0].trust != FrameTrust::kContext || walk.frames[0].instruction != context.rip) {
    std::abort();
  }
  return 0;
}
