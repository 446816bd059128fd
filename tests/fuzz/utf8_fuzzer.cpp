// The strict text conversions: whatever converts must convert back to the very same text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/text_conversion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view utf8(reinterpret_cast<const char*>(data), size);
  const WideString wide = Utf8ToWide(utf8);
  if (!wide.empty() && WideToUtf8(wide) != utf8) std::abort();
  // The same bytes taken as native text (UTF-16 units on Windows).
  WideString native(size / sizeof(WideChar), WideChar{});
  std::memcpy(native.data(), data, native.size() * sizeof(WideChar));
  const std::string converted = WideToUtf8(native);
  if (!converted.empty() && Utf8ToWide(converted) != native) std::abort();
  return 0;
}
