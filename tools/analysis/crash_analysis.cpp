#include "crash_analysis.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "coff_image.h"
#include "crash_summary.h"
#include "frame_signature.h"
#include "minidump_analysis.h"
#include "minidump_reader.h"
#include "reading_watch.h"
#include "stack_walk.h"
#include "symbol_key.h"

namespace fennick_analysis {
namespace {

namespace fs = std::filesystem;
using fennick_minidump::ByteSource;
using fennick_minidump::Minidump;
using fennick_minidump::ModuleInfo;
using fennick_symbols::SymbolFileKind;
using Json = nlohmann::ordered_json;

constexpr size_t kRegisterRsp = 4;
// The stack words read to find the modules a walk may reach: a thread's whole default
// stack. Modules looked up in the store stay within kMaxModulesLookedUp.
constexpr uint64_t kMaxStackBytesRead = 1024 * 1024;
constexpr size_t kMaxModulesLookedUp = 256;

class DumpMemory : public fennick_unwind::StackMemory {
 public:
  DumpMemory(const ByteSource& source, const Minidump& dump) : source_(source), dump_(dump) {}
  bool Read(uint64_t address, size_t length, void* out) const override {
    return fennick_minidump::ReadDumpMemory(source_, dump_, address, length, out);
  }

 private:
  const ByteSource& source_;
  const Minidump& dump_;
};

// What the store holds for one module of the dump: the code file found by its code key, and
// by its debug identifier the PDB or the executable holding its DWARF.
struct ModuleSymbols {
  std::optional<fs::path> executable;
  bool executable_names = false;  // the code file names functions itself
  std::optional<fennick_symbols::DebugIdentifier> debug_id;
  std::optional<fs::path> pdb;
  std::optional<fs::path> debug_file;
  std::unique_ptr<fennick_unwind::ModuleImage> image;
};

struct StackRange {
  uint64_t start = 0;
  uint64_t end = 0;
};

StackRange CrashingStack(const Minidump& dump) {
  if (!dump.crashing_thread) return {};
  const uint64_t start = dump.crashing_thread->stack_start;
  return {start, start + std::min<uint64_t>(dump.crashing_thread->stack_size, UINT64_MAX - start)};
}

std::string PdbFileName(const ModuleInfo& module) {
  return fennick_minidump::FileNameOf(module.code_view->pdb_name);
}

constexpr uint32_t kPeHeaderOffsetAt = 0x3c;
constexpr uint32_t kPe32PlusMagic = 0x20b;
// From the PE signature: the COFF header's 20 bytes, then the optional header, whose data
// directories start at 112 in PE32+; the exception directory is the fourth.
constexpr uint32_t kOptionalHeaderAt = 4 + 20;
constexpr uint32_t kExceptionDirectoryAt = kOptionalHeaderAt + 112 + 3 * 8;

struct Directory {
  uint32_t rva = 0;
  uint32_t size = 0;
  bool operator==(const Directory&) const = default;
};

// The module's exception directory as its headers in the dump say, when the dump holds them.
std::optional<Directory> DumpedExceptionDirectory(const fennick_unwind::StackMemory& memory,
                                                  const ModuleInfo& module) {
  uint32_t pe_at = 0;
  uint32_t signature = 0;
  uint16_t magic = 0;
  Directory directory;
  const uint64_t base = module.base;
  if (!memory.Read(base + kPeHeaderOffsetAt, sizeof pe_at, &pe_at) ||
      !memory.Read(base + pe_at, sizeof signature, &signature) || signature != 0x4550 ||
      !memory.Read(base + pe_at + kOptionalHeaderAt, sizeof magic, &magic) ||
      magic != kPe32PlusMagic ||
      !memory.Read(base + pe_at + kExceptionDirectoryAt, sizeof directory, &directory)) {
    return std::nullopt;
  }
  return directory;
}

// True when the debug file's unwind data lies where the module's does, so that the file
// unwinds the module as its stripped copy would: the sections at the same addresses. Without
// the module's headers in the dump, its unwind data must at least lie within the module.
bool UnwindsLike(const fs::path& debug_file, const fennick_unwind::StackMemory& memory,
                 const ModuleInfo& module) {
  // A file made by `objcopy --only-keep-debug` names the directory but holds none of it.
  if (!fennick_symbols::IdentifySymbolFile(debug_file).uses.unwind) return false;
  const std::optional<fennick_symbols::ExceptionDirectory> own =
      fennick_symbols::ExceptionDirectoryOf(debug_file);
  if (!own || own->size == 0) return false;
  if (const std::optional<Directory> dumped = DumpedExceptionDirectory(memory, module)) {
    return *dumped == Directory{own->rva, own->size};
  }
  return uint64_t{own->rva} + own->size <= module.size;
}

// The modules that the context's RIP or a word on the crashing thread's stack points into:
// the only ones a walk can reach, so the only ones looked up in the store.
std::set<const ModuleInfo*> ModulesOnStack(const Minidump& dump, const DumpMemory& memory,
                                           const StackRange& stack) {
  std::set<const ModuleInfo*> reached;
  const auto note = [&](uint64_t address) {
    if (reached.size() >= kMaxModulesLookedUp) return;
    if (const ModuleInfo* module = fennick_minidump::ModuleAt(dump, address)) {
      reached.insert(module);
    }
  };
  note(dump.crash_context->rip);
  const uint64_t rsp = dump.crash_context->registers[kRegisterRsp];
  const uint64_t from = std::max(rsp, stack.start) & ~uint64_t{7};
  const uint64_t to = std::min(stack.end, from + kMaxStackBytesRead);
  std::vector<uint64_t> words(from < to ? (to - from) / 8 : 0);
  if (!words.empty() && memory.Read(from, words.size() * 8, words.data())) {
    for (uint64_t word : words) note(word);
  }
  return reached;
}

// Where the store finds the symbols of a dump's modules: not in the files set aside.
struct SymbolSource {
  const fennick_symbols::SymbolStore& store;
  const std::set<std::string>& set_aside;
  fennick_symbols::ReadingWatch* watch;

  std::optional<fs::path> Find(std::string_view file, std::string_view key) const {
    if (set_aside.contains(SymbolFileId(file, key))) return std::nullopt;
    return store.Find(file, key);
  }
};

ModuleSymbols FindSymbols(const SymbolSource& source, const fennick_unwind::StackMemory& memory,
                          const ModuleInfo& module) {
  ModuleSymbols found;
  const std::string name = fennick_minidump::FileNameOf(module.name);
  if (name.empty()) return found;
  found.executable =
      source.Find(name, fennick_symbols::ExecutableKey(module.time_stamp, module.size));
  std::optional<fennick_symbols::ReadingScope> reading;
  if (found.executable) {
    reading.emplace(source.watch, *found.executable);
    found.image = fennick_unwind::LoadCoffImage(*found.executable).image;
    found.executable_names = fennick_symbols::IdentifySymbolFile(*found.executable).uses.names;
  }
  // Wine's dumps leave the CodeView record out; the code file carries it too.
  if (module.code_view) {
    found.debug_id = {PdbFileName(module),
                      fennick_symbols::PdbKey(module.code_view->guid, module.code_view->age)};
  } else if (found.executable) {
    found.debug_id = fennick_symbols::DebugIdentifierOf(*found.executable);
  }
  reading.reset();
  if (!found.debug_id) return found;
  if (!found.debug_id->pdb_file_name.empty()) {
    found.pdb = source.Find(found.debug_id->pdb_file_name, found.debug_id->key);
  }
  if (!found.pdb) found.debug_file = source.Find(name, found.debug_id->key);
  if (found.debug_file && !found.image) {
    const fennick_symbols::ReadingScope debug_reading(source.watch, *found.debug_file);
    if (UnwindsLike(*found.debug_file, memory, module)) {
      found.image = fennick_unwind::LoadCoffImage(*found.debug_file).image;
    }
  }
  return found;
}

Json OrNull(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }

// How far past its symbol a frame named by the symbol table lies, as hex text.
Json FunctionOffsetJson(const fennick_symbols::SourceFrame& function) {
  if (!function.function_offset) return nullptr;
  return fennick_minidump::HexText(*function.function_offset);
}

// The stack's members of a crash.
struct StackFindings {
  Json members;
};

class StackAnalysis {
 public:
  StackAnalysis(const SymbolSource& symbols, fennick_symbols::Symbolizer& symbolizer,
                const ByteSource& source, const Minidump& dump)
      : symbols_source_(symbols), symbolizer_(symbolizer), dump_(dump), memory_(source, dump) {}

  StackFindings Find() {
    const StackRange stack = CrashingStack(dump_);
    std::vector<fennick_unwind::ModuleRange> ranges;
    for (const ModuleInfo* module : ModulesOnStack(dump_, memory_, stack)) {
      ModuleSymbols& found = symbols_[module] = FindSymbols(symbols_source_, memory_, *module);
      ranges.push_back({module->base, module->size, found.image.get()});
    }
    // Modules not looked up are still known to be code, for scanning.
    for (const ModuleInfo& module : dump_.modules) {
      if (!symbols_.contains(&module)) ranges.push_back({module.base, module.size, nullptr});
    }
    const fennick_unwind::StackWalk walk =
        fennick_unwind::WalkStack(*dump_.crash_context, stack.start, stack.end, memory_, ranges);
    StackFindings findings;
    Json frames = Json::array();
    bool symbolicated = false;
    for (size_t i = 0; i < walk.frames.size(); ++i) {
      // A frame entry for each function inlined at the address, innermost first.
      AddFrame(walk.frames[i], i == 0, &frames, &symbolicated);
    }
    findings.members["frames"] = std::move(frames);
    findings.members["symbolicated"] = symbolicated;
    findings.members["stack_end"] = walk.end_reason;
    findings.members["missing_symbols"] = MissingJson();
    return findings;
  }

 private:
  void AddFrame(const fennick_unwind::StackFrame& frame, bool crashing, Json* frames,
                bool* symbolicated) {
    const ModuleInfo* module = fennick_minidump::ModuleAt(dump_, frame.instruction);
    const std::string name = module ? fennick_minidump::FileNameOf(module->name) : "";
    std::optional<std::string> offset;
    std::vector<fennick_symbols::SourceFrame> functions;
    if (module != nullptr) {
      const uint64_t rva = frame.instruction - module->base;
      offset = fennick_minidump::HexText(rva);
      // A caller is named at its call, the instruction before its return address.
      const uint64_t at = crashing || rva == 0 ? rva : rva - 1;
      functions = Symbolize(*module, at);
    }
    const char* trust = fennick_unwind::TrustName(frame.trust);
    if (functions.empty()) functions.push_back({});
    for (size_t i = 0; i < functions.size(); ++i) {
      const fennick_symbols::SourceFrame& function = functions[i];
      frames->push_back({{"module", module ? Json(name) : Json(nullptr)},
                         {"module_offset", OrNull(offset)},
                         {"address", fennick_minidump::HexText(frame.instruction)},
                         {"function", function.function.empty() ? Json(nullptr)
                                                                : Json(function.function)},
                         {"function_offset", FunctionOffsetJson(function)},
                         {"file", OrNull(function.file)},
                         {"line", function.line ? Json(*function.line) : Json(nullptr)},
                         {"trust", trust},
                         {"inlined", i + 1 < functions.size()}});
      *symbolicated |= !function.function.empty();
    }
  }

  std::vector<fennick_symbols::SourceFrame> Symbolize(const ModuleInfo& module, uint64_t rva) {
    const auto found = symbols_.find(&module);
    if (found == symbols_.end()) return {};
    used_.insert(&module);
    const ModuleSymbols& symbols = found->second;
    if (symbols.debug_file) return symbolizer_.Symbolize({*symbols.debug_file, std::nullopt}, rva);
    if (!symbols.executable) return {};
    return symbolizer_.Symbolize({*symbols.executable, symbols.pdb}, rva);
  }

  // The symbol files that the modules on the stack lack, each once, and what that means.
  Json MissingJson() const {
    Json missing = Json::array();
    std::set<std::string> listed;
    const auto add = [&](const std::string& module, std::string file, std::string key,
                         const char* kind, std::string text) {
      if (file.empty() || !listed.insert(SymbolFileId(file, key)).second) return;
      missing.push_back({{"file", std::move(file)},
                         {"key", std::move(key)},
                         {"kind", kind},
                         {"system", IsSystemModule(module)},
                         {"text", std::move(text)}});
    };
    for (const ModuleInfo* module : used_) {
      const ModuleSymbols& found = symbols_.at(module);
      const std::string name = fennick_minidump::FileNameOf(module->name);
      if (!found.image && !found.executable) {
        const std::string key = fennick_symbols::ExecutableKey(module->time_stamp, module->size);
        add(name, name, key, "executable", OfThisBuild(name, key));
      }
      if (!found.debug_id || found.pdb || found.debug_file) continue;
      const std::string& pdb_name = found.debug_id->pdb_file_name;
      const std::string& key = found.debug_id->key;
      if (!pdb_name.empty()) {
        add(name, pdb_name, key, "pdb", OfThisBuild(pdb_name, key));
      } else if (found.executable && !found.executable_names) {
        add(name, name, key, "debug",
            name + " is in the store but holds no debug information: add its debug file "
                   "(identifier " + key + ")");
      } else if (!found.executable) {
        add(name, name, key, "debug", "the debug file of " + name + " (identifier " + key + ")");
      }
    }
    return missing;
  }

  // "<file> of this build (key K)", and the builds of it that the store has instead.
  std::string OfThisBuild(const std::string& file, const std::string& key) const {
    std::string text = file + " of this build (key " + key + ")";
    std::string others;
    for (const std::string& other : symbols_source_.store.KeysOf(file)) {
      if (fennick_symbols::IsDebugKey(other) != fennick_symbols::IsDebugKey(key) ||
          SymbolFileId(file, other) == SymbolFileId(file, key)) {
        continue;
      }
      others += (others.empty() ? "" : ", ") + other;
    }
    return others.empty() ? text : text + "; the store has builds " + others;
  }

  const SymbolSource& symbols_source_;
  fennick_symbols::Symbolizer& symbolizer_;
  const Minidump& dump_;
  DumpMemory memory_;
  std::map<const ModuleInfo*, ModuleSymbols> symbols_;
  std::set<const ModuleInfo*> used_;  // modules that frames fell in, in the dump's order
};

}  // namespace

std::string SymbolFileId(std::string_view file, std::string_view key) {
  std::string id = std::string(file) + "/" + std::string(key);
  std::transform(id.begin(), id.end(), id.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return id;
}

std::vector<std::string> StoredSymbolIds(const fennick_symbols::SymbolStore::Added& added) {
  std::vector<std::string> ids = {SymbolFileId(added.file_name, added.key)};
  if (!added.debug_key.empty()) ids.push_back(SymbolFileId(added.file_name, added.debug_key));
  return ids;
}

bool HoldsSymbolFile(const fennick_symbols::SymbolStore& store, std::string_view id) {
  const size_t slash = id.find('/');
  return slash != std::string_view::npos &&
         store.Find(id.substr(0, slash), id.substr(slash + 1)).has_value();
}

CrashAnalyzer::CrashAnalyzer(fennick_symbols::SymbolStore store, size_t symbol_cache_bytes,
                             fennick_symbols::ReadingWatch* watch, SignatureRules rules)
    : store_(std::move(store)),
      watch_(watch),
      rules_(std::move(rules)),
      symbolizer_(symbol_cache_bytes, watch) {}

Json CrashAnalyzer::Analyze(FileHandle file, const std::set<std::string>& set_aside) const {
  const std::optional<fennick_minidump::FileByteSource> source =
      fennick_minidump::FileByteSource::Open(file);
  if (!source) return fennick_minidump::AnalysisJson(fennick_minidump::ReadOpenMinidumpFile(file));
  fennick_minidump::MinidumpResult read = fennick_minidump::ReadMinidump(*source);
  std::optional<StackFindings> stack;
  if (read.minidump && read.minidump->crash_context) {
    const SymbolSource symbols{store_, set_aside, watch_};
    stack = StackAnalysis(symbols, symbolizer_, *source, *read.minidump).Find();
  }
  Json analysis = fennick_minidump::AnalysisJson(std::move(read));
  Json& crash = analysis["crash"];
  if (!stack || !crash.is_object()) return analysis;
  for (auto& [key, value] : stack->members.items()) crash[key] = std::move(value);
  // Kept, so that other rules can sign the crash again without its dump.
  crash["module_signature"] = crash.value("signature", "");
  SignCrash(crash, rules_);
  return analysis;
}

Json CrashAnalyzer::AnalyzeFile(const fs::path& path) const {
  const ScopedFile file = OpenFileForReading(path);
  return Analyze(file.get());
}

std::vector<std::string> MissingSymbolIds(const Json& crash) {
  std::vector<std::string> ids;
  const auto missing = crash.find("missing_symbols");
  if (missing == crash.end() || !missing->is_array()) return ids;
  for (const Json& entry : *missing) {
    if (entry.is_object() && entry.value("file", Json()).is_string() &&
        entry.value("key", Json()).is_string()) {
      ids.push_back(SymbolFileId(entry["file"].get<std::string>(), entry["key"].get<std::string>()));
    }
  }
  return ids;
}

}  // namespace fennick_analysis
