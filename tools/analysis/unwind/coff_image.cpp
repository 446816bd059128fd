#include "coff_image.h"

#include <llvm/BinaryFormat/COFF.h>
#include <llvm/Object/Binary.h>
#include <llvm/Object/COFF.h>
#include <llvm/Support/Error.h>
#include <llvm/Support/Win64EH.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace fennick_unwind {
namespace {

using llvm::object::COFFObjectFile;

// One section as the image maps it: `data` from its file, then zeros up to `size`.
struct Section {
  uint32_t rva = 0;
  uint32_t size = 0;
  llvm::ArrayRef<uint8_t> data;
};

// The file stays open (mapped by LLVM) for as long as the image is used.
class CoffImage : public ModuleImage {
 public:
  CoffImage(llvm::object::OwningBinary<llvm::object::Binary> binary, std::vector<Section> sections)
      : binary_(std::move(binary)), sections_(std::move(sections)) {}

  std::optional<RuntimeFunction> FindFunction(uint32_t rva) const override {
    auto after = std::upper_bound(
        functions_.begin(), functions_.end(), rva,
        [](uint32_t at, const RuntimeFunction& function) { return at < function.begin; });
    if (after == functions_.begin() || rva >= std::prev(after)->end) return std::nullopt;
    return *std::prev(after);
  }

  // A read must lie within one section; the bytes a section has beyond its file data
  // (uninitialised data) read as zeros, as the loader maps them.
  bool Read(uint32_t rva, size_t length, void* out) const override {
    for (const Section& section : sections_) {
      if (rva < section.rva || rva - section.rva >= section.size) continue;
      const uint64_t offset = rva - section.rva;
      if (length > section.size - offset) return false;
      auto* bytes = static_cast<uint8_t*>(out);
      const size_t from_file = offset < section.data.size()
                                   ? std::min<uint64_t>(length, section.data.size() - offset)
                                   : 0;
      if (from_file != 0) std::memcpy(bytes, section.data.data() + offset, from_file);
      std::memset(bytes + from_file, 0, length - from_file);
      return true;
    }
    return false;
  }

  // The exception directory's entries, sorted by start: the format wants them so, but a
  // linker's word is not taken for it. Entries that hold no code are dropped.
  bool ReadFunctions(uint32_t rva, uint32_t size) {
    std::vector<llvm::Win64EH::RuntimeFunction> table(size /
                                                      sizeof(llvm::Win64EH::RuntimeFunction));
    if (table.empty()) return true;
    if (!Read(rva, table.size() * sizeof table[0], table.data())) return false;
    for (const auto& entry : table) {
      if (entry.StartAddress < entry.EndAddress) {
        functions_.push_back({entry.StartAddress, entry.EndAddress, entry.UnwindInfoOffset});
      }
    }
    std::sort(functions_.begin(), functions_.end(),
              [](const RuntimeFunction& a, const RuntimeFunction& b) { return a.begin < b.begin; });
    return true;
  }

 private:
  llvm::object::OwningBinary<llvm::object::Binary> binary_;
  std::vector<Section> sections_;
  std::vector<RuntimeFunction> functions_;
};

CoffImageResult Failure(const std::filesystem::path& path, const std::string& reason) {
  return {nullptr, path.string() + ": " + reason};
}

}  // namespace

CoffImageResult LoadCoffImage(const std::filesystem::path& path) {
  llvm::Expected<llvm::object::OwningBinary<llvm::object::Binary>> binary =
      llvm::object::createBinary(path.string());
  if (!binary) return Failure(path, llvm::toString(binary.takeError()));
  const auto* coff = llvm::dyn_cast<COFFObjectFile>(binary->getBinary());
  if (coff == nullptr || coff->getPE32PlusHeader() == nullptr) {
    return Failure(path, "not a 64-bit PE image");
  }
  if (coff->getMachine() != llvm::COFF::IMAGE_FILE_MACHINE_AMD64) {
    return Failure(path, "not an x64 image");
  }
  std::vector<Section> sections;
  for (const llvm::object::SectionRef& ref : coff->sections()) {
    const llvm::object::coff_section* header = coff->getCOFFSection(ref);
    Section& section = sections.emplace_back();
    if (llvm::Error error = coff->getSectionContents(header, section.data)) {
      return Failure(path, llvm::toString(std::move(error)));
    }
    section.rva = header->VirtualAddress;
    section.size = std::max<uint32_t>(header->VirtualSize, section.data.size());
  }
  auto image = std::make_unique<CoffImage>(std::move(*binary), std::move(sections));
  const llvm::object::data_directory* exceptions =
      coff->getDataDirectory(llvm::COFF::EXCEPTION_TABLE);
  if (exceptions != nullptr && exceptions->Size != 0 &&
      !image->ReadFunctions(exceptions->RelativeVirtualAddress, exceptions->Size)) {
    return Failure(path, "exception directory outside the image's sections");
  }
  return {std::move(image), ""};
}

}  // namespace fennick_unwind
