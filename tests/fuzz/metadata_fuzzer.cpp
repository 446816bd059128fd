// The crash metadata parser on any bytes: it must never crash, throw or hang, and what it
// accepts must hold what a loaded record promises.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "metadata/crash_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  CrashMetadata record;
  if (ParseCrashMetadata(content, "fuzz/r.crash.json", &record)) {
    const bool sound = !record.dump_id.empty() && record.dump_id.size() <= kMaxDumpIdBytes &&
                       !record.client_ts.empty() && !record.app_version.empty() &&
                       record.dump_path.parent_path() == "fuzz";
    if (!sound) std::abort();
  }
  return 0;
}
