#include "cabinet_file.h"

#include <mspack.h>

#include <memory>

namespace fennick_ingest {
namespace {

struct DecompressorDeleter {
  void operator()(mscab_decompressor* decompressor) const {
    mspack_destroy_cab_decompressor(decompressor);
  }
};
using Decompressor = std::unique_ptr<mscab_decompressor, DecompressorDeleter>;

// The cabinet open, closed by its decompressor on destruction.
class OpenCabinet {
 public:
  OpenCabinet(mscab_decompressor* decompressor, const std::filesystem::path& path)
      : decompressor_(decompressor), cabinet_(decompressor->open(decompressor, path.c_str())) {}
  ~OpenCabinet() {
    if (cabinet_ != nullptr) decompressor_->close(decompressor_, cabinet_);
  }
  OpenCabinet(const OpenCabinet&) = delete;
  OpenCabinet& operator=(const OpenCabinet&) = delete;

  mscabd_cabinet* get() const { return cabinet_; }

 private:
  mscab_decompressor* decompressor_;
  mscabd_cabinet* cabinet_;
};

}  // namespace

CabinetExtraction ExtractCabinetFile(const std::filesystem::path& cabinet,
                                     const std::filesystem::path& out, uint64_t max_bytes) {
  const Decompressor decompressor(mspack_create_cab_decompressor(nullptr));
  if (!decompressor) return {"cannot start the cabinet reader"};
  const OpenCabinet open(decompressor.get(), cabinet);
  if (open.get() == nullptr) return {"not a cabinet"};
  // A set spanning several cabinets is never what a symbol server sends.
  if (open.get()->next != nullptr || open.get()->prevcab != nullptr ||
      open.get()->nextcab != nullptr) {
    return {"a cabinet of a set"};
  }
  mscabd_file* file = open.get()->files;
  if (file == nullptr || file->next != nullptr) return {"not one file in the cabinet"};
  if (file->length > max_bytes) return {"the cabinet's file is too large"};
  if (decompressor->extract(decompressor.get(), file, out.c_str()) != MSPACK_ERR_OK) {
    std::error_code ignored;
    std::filesystem::remove(out, ignored);
    return {"the cabinet is damaged"};
  }
  return {};
}

}  // namespace fennick_ingest
