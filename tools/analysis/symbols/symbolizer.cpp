#include "symbolizer.h"

#include <llvm/DebugInfo/DIContext.h>
#include <llvm/DebugInfo/DWARF/DWARFContext.h>
#include <llvm/DebugInfo/PDB/IPDBSession.h>
#include <llvm/DebugInfo/PDB/Native/NativeSession.h>
#include <llvm/DebugInfo/PDB/PDBContext.h>
#include <llvm/DebugInfo/PDB/PDBSymbolExe.h>
#include <llvm/DebugInfo/Symbolize/Symbolize.h>
#include <llvm/Demangle/Demangle.h>
#include <llvm/Object/Binary.h>
#include <llvm/Object/COFF.h>

#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "reading_watch.h"

namespace fennick_symbols {
namespace {

using llvm::DIInliningInfo;
using llvm::DILineInfo;
using llvm::DILineInfoSpecifier;
using llvm::object::COFFObjectFile;
using llvm::object::SectionedAddress;

// Function names are given as a debugger shows them: qualified, without parameters or
// return type ("(anonymous namespace)::StoreField", "Document::Save"), whichever format the
// symbols come in, so that a signature made of them is the same for a DWARF and a PDB build.
constexpr char kAnonymousNamespace[] = "(anonymous namespace)";
constexpr char kCodeViewAnonymousNamespace[] = "`anonymous namespace'";

// An Itanium-mangled name as "scope::function"; other names (C functions) as they are.
std::string ItaniumFunctionName(const std::string& name) {
  llvm::ItaniumPartialDemangler demangler;
  if (demangler.partialDemangle(name.c_str())) return name;
  char* text = demangler.isFunction() ? demangler.getFunctionName(nullptr, nullptr)
                                      : demangler.finishDemangle(nullptr, nullptr);
  if (text == nullptr) return name;
  std::string function(text);
  std::free(text);
  return function;
}

// CodeView holds qualified names without parameters already; only its spelling of an
// anonymous namespace differs from the demangler's.
std::string CodeViewFunctionName(std::string name) {
  const size_t length = std::strlen(kCodeViewAnonymousNamespace);
  for (size_t at = name.find(kCodeViewAnonymousNamespace); at != std::string::npos;
       at = name.find(kCodeViewAnonymousNamespace, at)) {
    name.replace(at, length, kAnonymousNamespace);
  }
  return name;
}

// LLVM says "<invalid>" (or nothing) for what the symbols do not name.
std::optional<std::string> Named(const std::string& text) {
  if (text.empty() || text == DILineInfo::BadString) return std::nullopt;
  return text;
}

// Where a module's image lies when loaded at its preferred address.
struct ImageSpan {
  uint64_t base;
  uint64_t size;
};

ImageSpan SpanOf(const COFFObjectFile& coff) {
  const auto* header = coff.getPE32PlusHeader();
  if (header == nullptr) return {0, 0};
  return {header->ImageBase, header->SizeOfImage};
}

// Symbols loaded for one module.
class ModuleSymbols {
 public:
  explicit ModuleSymbols(ImageSpan image) : image_(image) {}
  virtual ~ModuleSymbols() = default;

  // The frames at `rva`, innermost first. Past the image's end the symbol table would still
  // name its last symbol.
  std::vector<SourceFrame> Symbolize(uint64_t rva) {
    if (rva >= image_.size) return {};
    const SectionedAddress address = {image_.base + rva, SectionedAddress::UndefSection};
    llvm::Expected<DIInliningInfo> info = InliningInfo(address);
    if (!info) {
      llvm::consumeError(info.takeError());
      return {};
    }
    std::vector<SourceFrame> frames;
    for (uint32_t i = 0; i < info->getNumberOfFrames(); ++i) {
      const DILineInfo& frame = info->getFrame(i);
      const std::optional<std::string> function = Named(frame.FunctionName);
      std::optional<std::string> file = Named(frame.FileName);
      if (!function && !file) continue;
      frames.push_back({function ? FunctionName(*function) : std::string(), std::move(file),
                        frame.Line == 0 ? std::nullopt : std::optional<uint32_t>(frame.Line)});
    }
    return frames;
  }

 protected:
  virtual llvm::Expected<DIInliningInfo> InliningInfo(SectionedAddress address) = 0;
  virtual std::string FunctionName(const std::string& name) const = 0;

 private:
  ImageSpan image_;
};

// DWARF inside the executable, through LLVM's symbolizer (which falls back on the COFF symbol
// table where DWARF says nothing). One symbolizer per module: LLVMSymbolizer keeps whatever it
// opened until flushed, so dropping it is how a module leaves the cache.
class DwarfSymbols : public ModuleSymbols {
 public:
  DwarfSymbols(std::string executable, ImageSpan image)
      : ModuleSymbols(image), executable_(std::move(executable)), symbolizer_(Options()) {}

 private:
  static llvm::symbolize::LLVMSymbolizer::Options Options() {
    llvm::symbolize::LLVMSymbolizer::Options options;
    options.PrintFunctions = DILineInfoSpecifier::FunctionNameKind::LinkageName;
    options.PathStyle = DILineInfoSpecifier::FileLineInfoKind::AbsoluteFilePath;
    options.Demangle = false;  // demangled here, without the parameter list
    return options;
  }
  llvm::Expected<DIInliningInfo> InliningInfo(SectionedAddress address) override {
    return symbolizer_.symbolizeInlinedCode(executable_, address);
  }
  std::string FunctionName(const std::string& name) const override {
    return ItaniumFunctionName(name);
  }

  std::string executable_;
  llvm::symbolize::LLVMSymbolizer symbolizer_;
};

// DWARF read without LLVM's symbolizer, for an executable whose CodeView record names a PDB
// too (as some MinGW links write it): the symbolizer would go looking for that PDB instead.
class NamedPdbDwarfSymbols : public ModuleSymbols {
 public:
  NamedPdbDwarfSymbols(llvm::object::OwningBinary<llvm::object::Binary> executable, ImageSpan image)
      : ModuleSymbols(image),
        executable_(std::move(executable)),
        context_(llvm::DWARFContext::create(
            *llvm::cast<llvm::object::ObjectFile>(executable_.getBinary()))) {
    ReadFunctionSymbols();
  }

 private:
  // GCC gives functions with internal linkage no linkage name in DWARF; the symbol table
  // has their mangled names, qualified. LLVM's symbolizer takes the outermost frame's name
  // from it likewise.
  void ReadFunctionSymbols() {
    for (const llvm::object::SymbolRef& symbol :
         llvm::cast<COFFObjectFile>(executable_.getBinary())->symbols()) {
      llvm::Expected<llvm::object::SymbolRef::Type> type = symbol.getType();
      llvm::Expected<uint64_t> address = symbol.getAddress();
      llvm::Expected<llvm::StringRef> name = symbol.getName();
      if (type && address && name && *type == llvm::object::SymbolRef::ST_Function) {
        functions_.emplace(*address, name->str());
      }
      if (!type) llvm::consumeError(type.takeError());
      if (!address) llvm::consumeError(address.takeError());
      if (!name) llvm::consumeError(name.takeError());
    }
  }

  llvm::Expected<DIInliningInfo> InliningInfo(SectionedAddress address) override {
    DIInliningInfo info = context_->getInliningInfoForAddress(
        address, DILineInfoSpecifier(DILineInfoSpecifier::FileLineInfoKind::AbsoluteFilePath,
                                     DILineInfoSpecifier::FunctionNameKind::LinkageName));
    const auto after = functions_.upper_bound(address.Address);
    if (info.getNumberOfFrames() != 0 && after != functions_.begin()) {
      info.getMutableFrame(info.getNumberOfFrames() - 1)->FunctionName = std::prev(after)->second;
    }
    return info;
  }
  std::string FunctionName(const std::string& name) const override {
    return ItaniumFunctionName(name);
  }

  llvm::object::OwningBinary<llvm::object::Binary> executable_;
  std::unique_ptr<llvm::DWARFContext> context_;
  std::map<uint64_t, std::string> functions_;  // by address
};

// CodeView in a PDB, opened where the store keeps it rather than where the executable says.
class PdbSymbols : public ModuleSymbols {
 public:
  PdbSymbols(llvm::object::OwningBinary<llvm::object::Binary> executable,
             std::unique_ptr<llvm::pdb::IPDBSession> session)
      : ModuleSymbols(SpanOf(Coff(executable))),
        executable_(std::move(executable)),
        context_(Coff(executable_), std::move(session)) {}

  static const COFFObjectFile& Coff(
      const llvm::object::OwningBinary<llvm::object::Binary>& binary) {
    return *llvm::cast<COFFObjectFile>(binary.getBinary());
  }

 private:
  llvm::Expected<DIInliningInfo> InliningInfo(SectionedAddress address) override {
    return context_.getInliningInfoForAddress(
        address, DILineInfoSpecifier(DILineInfoSpecifier::FileLineInfoKind::AbsoluteFilePath,
                                     DILineInfoSpecifier::FunctionNameKind::ShortName));
  }
  std::string FunctionName(const std::string& name) const override {
    return CodeViewFunctionName(name);
  }

  llvm::object::OwningBinary<llvm::object::Binary> executable_;
  llvm::pdb::PDBContext context_;
};

// The executable when it is a COFF image, else nothing.
std::optional<llvm::object::OwningBinary<llvm::object::Binary>> OpenExecutable(
    const std::filesystem::path& path) {
  auto binary = llvm::object::createBinary(path.string());
  if (!binary) {
    llvm::consumeError(binary.takeError());
    return std::nullopt;
  }
  if (!llvm::isa<COFFObjectFile>(binary->getBinary())) return std::nullopt;
  return std::move(*binary);
}

// The executable's CodeView record naming its PDB, or null.
const llvm::codeview::DebugInfo* PdbRecord(const COFFObjectFile& coff) {
  const llvm::codeview::DebugInfo* record = nullptr;
  llvm::StringRef pdb_name;
  if (llvm::Error error = coff.getDebugPDBInfo(record, pdb_name)) {
    llvm::consumeError(std::move(error));
    return nullptr;
  }
  return record != nullptr && !pdb_name.empty() ? record : nullptr;
}

bool HoldsDwarf(const COFFObjectFile& coff) {
  for (const llvm::object::SectionRef& section : coff.sections()) {
    llvm::Expected<llvm::StringRef> name = section.getName();
    if (name && *name == ".debug_info") return true;
    if (!name) llvm::consumeError(name.takeError());
  }
  return false;
}

std::unique_ptr<ModuleSymbols> LoadDwarf(const std::filesystem::path& executable,
                                         ReadingWatch* watch) {
  const ReadingScope reading(watch, executable);
  auto binary = OpenExecutable(executable);
  if (!binary) return nullptr;
  const COFFObjectFile& coff = PdbSymbols::Coff(*binary);
  const ImageSpan image = SpanOf(coff);
  if (PdbRecord(coff) == nullptr) return std::make_unique<DwarfSymbols>(executable.string(), image);
  // Without DWARF its symbols are in a PDB we were not given.
  if (!HoldsDwarf(coff)) return nullptr;
  return std::make_unique<NamedPdbDwarfSymbols>(std::move(*binary), image);
}

// A PDB from another build than the executable's names the wrong functions: refused.
std::unique_ptr<ModuleSymbols> LoadPdb(const std::filesystem::path& executable,
                                       const std::filesystem::path& pdb, ReadingWatch* watch) {
  std::optional<llvm::object::OwningBinary<llvm::object::Binary>> binary;
  const llvm::codeview::DebugInfo* record = nullptr;
  {
    const ReadingScope reading(watch, executable);
    binary = OpenExecutable(executable);
    if (!binary) return nullptr;
    record = PdbRecord(PdbSymbols::Coff(*binary));
  }
  if (record == nullptr || record->Signature.CVSignature != llvm::OMF::Signature::PDB70) {
    return nullptr;
  }
  const ReadingScope reading(watch, pdb);
  std::unique_ptr<llvm::pdb::IPDBSession> session;
  if (llvm::Error error = llvm::pdb::NativeSession::createFromPdbPath(pdb.string(), session)) {
    llvm::consumeError(std::move(error));
    return nullptr;
  }
  const std::unique_ptr<llvm::pdb::PDBSymbolExe> global = session->getGlobalScope();
  const llvm::codeview::GUID guid = global->getGuid();
  if (std::memcmp(guid.Guid, record->PDB70.Signature, sizeof guid.Guid) != 0 ||
      global->getAge() != record->PDB70.Age) {
    return nullptr;
  }
  return std::make_unique<PdbSymbols>(std::move(*binary), std::move(session));
}

size_t FileSize(const std::filesystem::path& path) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(path, error);
  return error ? 0 : static_cast<size_t>(size);
}

}  // namespace

// Loaded modules by their files' paths, most recently used first. One lock for all: LLVM's
// symbolizer and PDB sessions are not safe to share between threads.
struct Symbolizer::Cache {
  struct Entry {
    std::string key;
    size_t bytes;
    std::unique_ptr<ModuleSymbols> symbols;
  };

  // Drops the least recently used until what is kept fits.
  void Trim() {
    while (bytes > budget && !entries.empty()) {
      bytes -= entries.back().bytes;
      by_key.erase(entries.back().key);
      entries.pop_back();
    }
  }

  size_t budget;
  ReadingWatch* watch;
  size_t bytes = 0;
  std::mutex mutex;
  std::list<Entry> entries;
  std::unordered_map<std::string, std::list<Entry>::iterator> by_key;
};

Symbolizer::Symbolizer(size_t cache_bytes, ReadingWatch* watch)
    : cache_(std::make_unique<Cache>()) {
  cache_->budget = cache_bytes;
  cache_->watch = watch;
}

Symbolizer::~Symbolizer() = default;

std::vector<SourceFrame> Symbolizer::Symbolize(const ModuleSymbolFiles& files, uint64_t rva) {
  // A NUL cannot occur in a path, so it separates the two unambiguously.
  const std::string key =
      files.executable.string() + '\0' + (files.pdb ? files.pdb->string() : std::string());
  const std::lock_guard lock(cache_->mutex);
  // Both kinds read their names lazily, from the file that holds them.
  const std::filesystem::path& names = files.pdb ? *files.pdb : files.executable;
  if (const auto found = cache_->by_key.find(key); found != cache_->by_key.end()) {
    cache_->entries.splice(cache_->entries.begin(), cache_->entries, found->second);
    const ReadingScope reading(cache_->watch, names);
    return found->second->symbols->Symbolize(rva);
  }
  std::unique_ptr<ModuleSymbols> symbols =
      files.pdb ? LoadPdb(files.executable, *files.pdb, cache_->watch)
                : LoadDwarf(files.executable, cache_->watch);
  if (!symbols) return {};
  std::vector<SourceFrame> frames;
  {
    const ReadingScope reading(cache_->watch, names);
    frames = symbols->Symbolize(rva);
  }
  const size_t bytes = FileSize(files.executable) + (files.pdb ? FileSize(*files.pdb) : 0);
  cache_->entries.push_front({key, bytes, std::move(symbols)});
  cache_->by_key[key] = cache_->entries.begin();
  cache_->bytes += bytes;
  cache_->Trim();
  return frames;
}

}  // namespace fennick_symbols
