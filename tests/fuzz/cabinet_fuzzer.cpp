// The cabinet reader that unpacks files fetched from symbol servers, on any cabinet.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "cabinet_file.h"

namespace {

constexpr uint64_t kMaxFileBytes = uint64_t{1} << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("fennick-cabinet-fuzz-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path cabinet = folder / "in.cab";
  const std::filesystem::path out = folder / "out";
  std::ofstream(cabinet, std::ios::binary).write(reinterpret_cast<const char*>(data),
                                                 static_cast<std::streamsize>(size));
  const fennick_ingest::CabinetExtraction extracted =
      fennick_ingest::ExtractCabinetFile(cabinet, out, kMaxFileBytes);
  std::error_code error;
  const uintmax_t written = std::filesystem::file_size(out, error);
  // An extraction either wrote its file, within the limit, or left nothing behind.
  if (extracted.error.empty() ? error || written > kMaxFileBytes : !error) std::abort();
  std::filesystem::remove(out, error);
  return 0;
}
