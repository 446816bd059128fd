// The call check on any bytes, read through an image that ends where the input does: it must
// never read out of bounds, whatever the address it is asked about.
#include <cstdint>
#include <string>

#include "call_check.h"
#include "unwind_test_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace fennick_unwind;
  const std::span<const uint8_t> code(data, size);
  EndsWithCall(code);
  const TestImage image({}, std::string(reinterpret_cast<const char*>(data), size));
  for (uint32_t rva = 0; rva <= size + 1; ++rva) FollowsCall(image, rva);
  return 0;
}
