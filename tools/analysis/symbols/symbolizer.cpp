#include "symbolizer.h"

#include <llvm/BinaryFormat/COFF.h>
#include <llvm/DebugInfo/CodeView/SymbolDeserializer.h>
#include <llvm/DebugInfo/CodeView/SymbolRecord.h>
#include <llvm/DebugInfo/DIContext.h>
#include <llvm/DebugInfo/DWARF/DWARFContext.h>
#include <llvm/DebugInfo/PDB/IPDBSession.h>
#include <llvm/DebugInfo/PDB/Native/NativeSession.h>
#include <llvm/DebugInfo/PDB/Native/PDBFile.h>
#include <llvm/DebugInfo/PDB/Native/SymbolStream.h>
#include <llvm/DebugInfo/PDB/PDBContext.h>
#include <llvm/DebugInfo/PDB/PDBSymbolExe.h>
#include <llvm/DebugInfo/Symbolize/Symbolize.h>
#include <llvm/Demangle/Demangle.h>
#include <llvm/Object/Binary.h>
#include <llvm/Object/COFF.h>

#include <algorithm>
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

// The names a module's code has apart from its debug records: the executable's COFF symbol
// table, or the PDB's public symbols. They name the runtime's helpers, which come without
// debug records. A symbol reaches to the next one or to the end of its code section.
class SymbolTable {
 public:
  struct Symbol {
    uint32_t rva;
    std::string name;
  };
  struct Section {
    uint32_t begin;
    uint32_t end;
  };

  explicit SymbolTable(const COFFObjectFile& coff) {
    for (const llvm::object::SectionRef& ref : coff.sections()) {
      const llvm::object::coff_section* header = coff.getCOFFSection(ref);
      if ((header->Characteristics &
           (llvm::COFF::IMAGE_SCN_CNT_CODE | llvm::COFF::IMAGE_SCN_MEM_EXECUTE)) != 0) {
        code_.push_back({header->VirtualAddress, header->VirtualAddress + header->VirtualSize});
      }
    }
  }

  // `offset` into the executable's section `number` (counted from 1), when it is code.
  void Add(const COFFObjectFile& coff, int32_t number, uint32_t offset, std::string name) {
    if (number <= 0 || name.empty()) return;
    llvm::Expected<const llvm::object::coff_section*> section = coff.getSection(number);
    if (!section) {
      llvm::consumeError(section.takeError());
      return;
    }
    const uint64_t rva = uint64_t{(*section)->VirtualAddress} + offset;
    if (rva > UINT32_MAX || CodeSectionOf(static_cast<uint32_t>(rva)) == nullptr) return;
    symbols_.push_back({static_cast<uint32_t>(rva), std::move(name)});
  }

  // Sorted by address once all are added; of several at one address, the first added stays.
  void Seal() {
    std::stable_sort(symbols_.begin(), symbols_.end(),
                     [](const Symbol& a, const Symbol& b) { return a.rva < b.rva; });
    symbols_.erase(std::unique(symbols_.begin(), symbols_.end(),
                               [](const Symbol& a, const Symbol& b) { return a.rva == b.rva; }),
                   symbols_.end());
  }

  // The symbol at or before `rva` within its code section, or null.
  const Symbol* Before(uint64_t rva) const {
    const auto after = std::upper_bound(
        symbols_.begin(), symbols_.end(), rva,
        [](uint64_t at, const Symbol& symbol) { return at < symbol.rva; });
    if (after == symbols_.begin()) return nullptr;
    const Symbol& symbol = *std::prev(after);
    const Section* section = CodeSectionOf(symbol.rva);
    return section != nullptr && rva < section->end ? &symbol : nullptr;
  }

 private:
  const Section* CodeSectionOf(uint32_t rva) const {
    for (const Section& section : code_) {
      if (rva >= section.begin && rva < section.end) return &section;
    }
    return nullptr;
  }

  std::vector<Section> code_;
  std::vector<Symbol> symbols_;  // sorted by address once sealed
};

// The COFF symbol table's functions, and the external symbols (assembly may not mark its
// functions as such); section and label symbols are left out.
SymbolTable CoffSymbols(const COFFObjectFile& coff) {
  SymbolTable table(coff);
  for (const llvm::object::SymbolRef& ref : coff.symbols()) {
    const llvm::object::COFFSymbolRef symbol = coff.getCOFFSymbol(ref);
    if (symbol.getComplexType() != llvm::COFF::IMAGE_SYM_DTYPE_FUNCTION &&
        symbol.getStorageClass() != llvm::COFF::IMAGE_SYM_CLASS_EXTERNAL) {
      continue;
    }
    llvm::Expected<llvm::StringRef> name = coff.getSymbolName(symbol);
    if (!name) {
      llvm::consumeError(name.takeError());
      continue;
    }
    table.Add(coff, symbol.getSectionNumber(), symbol.getValue(), name->str());
  }
  table.Seal();
  return table;
}

// The PDB's public symbols (S_PUB32) that lie in code.
SymbolTable PublicSymbols(const COFFObjectFile& coff, llvm::pdb::IPDBSession& session) {
  SymbolTable table(coff);
  llvm::pdb::PDBFile& file = static_cast<llvm::pdb::NativeSession&>(session).getPDBFile();
  llvm::Expected<llvm::pdb::SymbolStream&> stream = file.getPDBSymbolStream();
  if (!stream) {
    llvm::consumeError(stream.takeError());
    return table;
  }
  bool unreadable = false;
  const llvm::codeview::CVSymbolArray& records = stream->getSymbolArray();
  for (auto record = records.begin(&unreadable); record != records.end(); ++record) {
    if (record->kind() != llvm::codeview::SymbolKind::S_PUB32) continue;
    llvm::Expected<llvm::codeview::PublicSym32> symbol =
        llvm::codeview::SymbolDeserializer::deserializeAs<llvm::codeview::PublicSym32>(*record);
    if (!symbol) {
      llvm::consumeError(symbol.takeError());
      continue;
    }
    table.Add(coff, symbol->Segment, symbol->Offset, symbol->Name.str());
  }
  table.Seal();
  return table;
}

// Symbols loaded for one module.
class ModuleSymbols {
 public:
  ModuleSymbols(ImageSpan image, SymbolTable table) : image_(image), table_(std::move(table)) {}
  virtual ~ModuleSymbols() = default;

  // The frames at `rva`, innermost first; by the symbol table where no debug record covers it.
  std::vector<SourceFrame> Symbolize(uint64_t rva) {
    if (rva >= image_.size) return {};
    std::vector<SourceFrame> frames = DebugFrames(rva);
    const bool covered = std::any_of(frames.begin(), frames.end(),
                                     [](const SourceFrame& frame) { return frame.file; });
    if (covered) return frames;
    const SymbolTable::Symbol* symbol = table_.Before(rva);
    if (symbol == nullptr) return {};
    return {{ItaniumFunctionName(symbol->name), std::nullopt, std::nullopt, rva - symbol->rva}};
  }

 protected:
  virtual llvm::Expected<DIInliningInfo> InliningInfo(SectionedAddress address) = 0;
  virtual std::string FunctionName(const std::string& name) const = 0;

 private:
  std::vector<SourceFrame> DebugFrames(uint64_t rva) {
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
                        frame.Line == 0 ? std::nullopt : std::optional<uint32_t>(frame.Line),
                        std::nullopt});
    }
    return frames;
  }

  ImageSpan image_;
  SymbolTable table_;
};

// DWARF inside the executable, through LLVM's symbolizer (which names from the COFF symbol
// table where DWARF says nothing, but without the offset: such names are taken from the table
// here). One symbolizer per module: LLVMSymbolizer keeps whatever it opened until flushed, so
// dropping it is how a module leaves the cache.
class DwarfSymbols : public ModuleSymbols {
 public:
  DwarfSymbols(std::string executable, ImageSpan image, SymbolTable table)
      : ModuleSymbols(image, std::move(table)),
        executable_(std::move(executable)),
        symbolizer_(Options()) {}

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
      : ModuleSymbols(image, CoffSymbols(*llvm::cast<COFFObjectFile>(executable.getBinary()))),
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
      : ModuleSymbols(SpanOf(Coff(executable)), PublicSymbols(Coff(executable), *session)),
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
  if (PdbRecord(coff) == nullptr) return std::make_unique<DwarfSymbols>(executable.string(), image, CoffSymbols(coff));
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
