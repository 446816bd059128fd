#ifndef FENNICK_TOOLS_INGEST_FETCH_CABINET_FILE_H_
#define FENNICK_TOOLS_INGEST_FETCH_CABINET_FILE_H_

#include <cstdint>
#include <filesystem>
#include <string>

namespace fennick_ingest {

// What became of unpacking a cabinet: `error` says why nothing was written when not empty.
struct CabinetExtraction {
  std::string error;
};

// Writes the single file that the Microsoft cabinet at `cabinet` holds to `out`, refusing a
// cabinet of several files or one whose file is larger than `max_bytes`. Symbol servers
// compress each file in a cabinet of its own.
CabinetExtraction ExtractCabinetFile(const std::filesystem::path& cabinet,
                                     const std::filesystem::path& out, uint64_t max_bytes);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_FETCH_CABINET_FILE_H_
