// The PE-header reader behind the application version fallback, on any image.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "host/host_facts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view image(reinterpret_cast<const char*>(data), size);
  if (ParsePeTimeStamp(image) && image.substr(0, 2) != "MZ") std::abort();
  return 0;
}
