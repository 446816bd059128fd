#ifndef FENNICK_TOOLS_ANALYSIS_UNWIND_COFF_IMAGE_H_
#define FENNICK_TOOLS_ANALYSIS_UNWIND_COFF_IMAGE_H_

#include <filesystem>
#include <memory>
#include <string>

#include "stack_walk.h"

namespace fennick_unwind {

// An x64 PE executable's unwind data, read with LLVM's COFF reader.
struct CoffImageResult {
  std::unique_ptr<ModuleImage> image;
  std::string error;  // why the file gives no image, when `image` is null
};

CoffImageResult LoadCoffImage(const std::filesystem::path& path);

}  // namespace fennick_unwind

#endif  // FENNICK_TOOLS_ANALYSIS_UNWIND_COFF_IMAGE_H_
