// The "dump_file" check: an accepted name must name a file in the metadata file's own
// folder, never above it or beside it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "metadata/crash_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WideString name(size / sizeof(WideChar), WideChar{});
  std::memcpy(name.data(), data, name.size() * sizeof(WideChar));
  if (IsBareFileName(name)) {
    const std::filesystem::path folder("folder");
    const std::filesystem::path joined = folder / name;
    if (joined.parent_path() != folder || name.find(WideChar{0}) != WideString::npos) {
      std::abort();
    }
  }
  return 0;
}
