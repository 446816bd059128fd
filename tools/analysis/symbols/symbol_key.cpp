#include "symbol_key.h"

#include <llvm/DebugInfo/PDB/Native/InfoStream.h>
#include <llvm/DebugInfo/PDB/Native/PDBFile.h>
#include <llvm/Object/COFF.h>
#include <llvm/Support/Allocator.h>
#include <llvm/Support/BinaryByteStream.h>
#include <llvm/Support/Error.h>
#include <llvm/Support/MemoryBuffer.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string_view>

namespace fennick_symbols {
namespace {

constexpr std::string_view kPeMagic = "MZ";
// The start of every MSF 7.0 file, the container a PDB is.
constexpr std::string_view kPdbMagic =
    "Microsoft C/C++ MSF 7.00\r\n\x1a"
    "DS";
// A time stamp and a size, each at most 8 hex digits; a debug key has 33 digits or more.
constexpr size_t kLongestExecutableKey = 16;

std::string Hex(uint32_t value, int digits) {
  char text[9];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

uint32_t LittleEndian(const uint8_t* bytes, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

SymbolFileIdentity Refused(std::string reason) {
  SymbolFileIdentity identity;
  identity.error = std::move(reason);
  return identity;
}

std::optional<DebugIdentifier> DebugIdentifierIn(const llvm::object::COFFObjectFile& image) {
  const llvm::codeview::DebugInfo* info = nullptr;
  llvm::StringRef pdb_path;
  if (llvm::Error error = image.getDebugPDBInfo(info, pdb_path)) {
    llvm::consumeError(std::move(error));
    return std::nullopt;
  }
  if (info == nullptr || info->Signature.CVSignature != llvm::OMF::Signature::PDB70) {
    return std::nullopt;
  }
  std::array<uint8_t, 16> guid;
  std::copy(std::begin(info->PDB70.Signature), std::end(info->PDB70.Signature), guid.begin());
  // The path as the linker wrote it, on whichever system it ran.
  const std::string name = pdb_path.str();
  const size_t separator = name.find_last_of("/\\");
  return DebugIdentifier{separator == std::string::npos ? name : name.substr(separator + 1),
                         PdbKey(guid, info->PDB70.Age)};
}

// True when the section holding `rva` has file data there: `objcopy --only-keep-debug`
// keeps the headers of sections whose contents it drops.
bool HasDataAt(const llvm::object::COFFObjectFile& image, uint32_t rva) {
  for (const llvm::object::SectionRef& section : image.sections()) {
    const llvm::object::coff_section* raw = image.getCOFFSection(section);
    if (rva >= raw->VirtualAddress && rva - raw->VirtualAddress < raw->SizeOfRawData &&
        raw->PointerToRawData != 0) {
      return true;
    }
  }
  return false;
}

void ReadUses(const llvm::object::COFFObjectFile& image, SymbolFileIdentity& identity) {
  bool debug_info = false;
  bool debug_line = false;
  for (const llvm::object::SectionRef& section : image.sections()) {
    llvm::Expected<llvm::StringRef> name = section.getName();
    if (!name) {
      llvm::consumeError(name.takeError());
      continue;
    }
    debug_info |= *name == ".debug_info";
    debug_line |= *name == ".debug_line";
  }
  const llvm::object::data_directory* exceptions =
      image.getDataDirectory(llvm::COFF::EXCEPTION_TABLE);
  identity.dwarf = debug_info;
  identity.uses.unwind = exceptions != nullptr && exceptions->Size != 0 &&
                         HasDataAt(image, exceptions->RelativeVirtualAddress);
  identity.uses.names = debug_info || image.getNumberOfSymbols() != 0;
  identity.uses.lines = debug_line;
}

// The image as its headers describe it: time stamp, size, and every section's raw data
// within the file, so that an image cut anywhere is refused.
SymbolFileIdentity IdentifyExecutable(llvm::MemoryBufferRef buffer) {
  llvm::Expected<std::unique_ptr<llvm::object::COFFObjectFile>> image =
      llvm::object::COFFObjectFile::create(buffer);
  if (!image) {
    llvm::consumeError(image.takeError());
    return Refused("cut PE image");
  }
  uint32_t size_of_image = 0;
  if (const llvm::object::pe32_header* header = (*image)->getPE32Header()) {
    size_of_image = header->SizeOfImage;
  } else if (const llvm::object::pe32plus_header* header = (*image)->getPE32PlusHeader()) {
    size_of_image = header->SizeOfImage;
  } else {
    return Refused("not a PE image or PDB");
  }
  for (const llvm::object::SectionRef& section : (*image)->sections()) {
    const llvm::object::coff_section* raw = (*image)->getCOFFSection(section);
    if (uint64_t{raw->PointerToRawData} + raw->SizeOfRawData > buffer.getBufferSize()) {
      return Refused("cut PE image");
    }
  }
  SymbolFileIdentity identity;
  identity.kind = SymbolFileKind::kExecutable;
  identity.key = ExecutableKey((*image)->getTimeDateStamp(), size_of_image);
  if (const std::optional<DebugIdentifier> debug = DebugIdentifierIn(**image)) {
    identity.debug_key = debug->key;
  }
  ReadUses(**image, identity);
  return identity;
}

SymbolFileIdentity IdentifyPdb(std::unique_ptr<llvm::MemoryBuffer> buffer) {
  const std::string path = buffer->getBufferIdentifier().str();
  auto stream =
      std::make_unique<llvm::MemoryBufferByteStream>(std::move(buffer), llvm::support::little);
  llvm::BumpPtrAllocator allocator;
  llvm::pdb::PDBFile pdb(path, std::move(stream), allocator);
  if (llvm::Error error = pdb.parseFileHeaders()) {
    llvm::consumeError(std::move(error));
    return Refused("cut PDB");
  }
  if (llvm::Error error = pdb.parseStreamData()) {
    llvm::consumeError(std::move(error));
    return Refused("cut PDB");
  }
  llvm::Expected<llvm::pdb::InfoStream&> info = pdb.getPDBInfoStream();
  if (!info) {
    llvm::consumeError(info.takeError());
    return Refused("cut PDB");
  }
  const llvm::codeview::GUID guid = info->getGuid();
  std::array<uint8_t, 16> bytes;
  std::copy(std::begin(guid.Guid), std::end(guid.Guid), bytes.begin());
  SymbolFileIdentity identity;
  identity.kind = SymbolFileKind::kPdb;
  identity.key = PdbKey(bytes, info->getAge());
  identity.uses.names = true;
  identity.uses.lines = true;
  return identity;
}

}  // namespace

std::string ExecutableKey(uint32_t time_date_stamp, uint32_t size_of_image) {
  return Hex(time_date_stamp, 8) + Hex(size_of_image, 1);
}

std::string PdbKey(const std::array<uint8_t, 16>& guid, uint32_t age) {
  std::string key = Hex(LittleEndian(&guid[0], 4), 8) + Hex(LittleEndian(&guid[4], 2), 4) +
                    Hex(LittleEndian(&guid[6], 2), 4);
  for (size_t i = 8; i < guid.size(); ++i) key += Hex(guid[i], 2);
  return key + Hex(age, 1);
}

bool IsDebugKey(std::string_view key) { return key.size() > kLongestExecutableKey; }

namespace {

// The executable at `path` opened with LLVM's COFF reader, or nothing.
std::optional<llvm::object::OwningBinary<llvm::object::Binary>> OpenCoff(
    const std::filesystem::path& path) {
  llvm::Expected<llvm::object::OwningBinary<llvm::object::Binary>> binary =
      llvm::object::createBinary(path.string());
  if (!binary) {
    llvm::consumeError(binary.takeError());
    return std::nullopt;
  }
  if (!llvm::isa<llvm::object::COFFObjectFile>(binary->getBinary())) return std::nullopt;
  return std::move(*binary);
}

const llvm::object::COFFObjectFile& Coff(
    const llvm::object::OwningBinary<llvm::object::Binary>& binary) {
  return *llvm::cast<llvm::object::COFFObjectFile>(binary.getBinary());
}

}  // namespace

std::optional<DebugIdentifier> DebugIdentifierOf(const std::filesystem::path& path) {
  const auto binary = OpenCoff(path);
  return binary ? DebugIdentifierIn(Coff(*binary)) : std::nullopt;
}

std::optional<ExceptionDirectory> ExceptionDirectoryOf(const std::filesystem::path& path) {
  const auto binary = OpenCoff(path);
  if (!binary) return std::nullopt;
  const llvm::object::data_directory* directory =
      Coff(*binary).getDataDirectory(llvm::COFF::EXCEPTION_TABLE);
  if (directory == nullptr) return ExceptionDirectory{};
  return ExceptionDirectory{directory->RelativeVirtualAddress, directory->Size};
}

SymbolFileIdentity IdentifySymbolFile(const std::filesystem::path& path) {
  // Mapped, not read: a PDB can be large, and only its headers and info stream are read.
  llvm::ErrorOr<std::unique_ptr<llvm::MemoryBuffer>> buffer =
      llvm::MemoryBuffer::getFile(path.string(), /*IsText=*/false,
                                  /*RequiresNullTerminator=*/false);
  if (!buffer) return Refused("cannot read the file: " + buffer.getError().message());
  const std::string_view content((*buffer)->getBufferStart(), (*buffer)->getBufferSize());
  if (content.starts_with(kPdbMagic)) return IdentifyPdb(std::move(*buffer));
  if (content.starts_with(kPeMagic)) return IdentifyExecutable((*buffer)->getMemBufferRef());
  return Refused("not a PE image or PDB");
}

}  // namespace fennick_symbols
