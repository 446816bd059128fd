#ifndef FENNICK_TOOLS_ANALYSIS_CRASH_ANALYSIS_H_
#define FENNICK_TOOLS_ANALYSIS_CRASH_ANALYSIS_H_

#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/file_io.h"
#include "signature_rules.h"
#include "symbol_store.h"
#include "symbolizer.h"

// The analysis the server stores with each report: what the minidump reader finds, and the
// crashing thread's stack, unwound and named from the symbol store.
namespace fennick_analysis {

// A symbol file the stack needed and the store lacks: what to add, under which key.
struct MissingSymbolFile {
  std::string file;  // "Ortivo.exe", "Ortivo.pdb"
  std::string key;
  fennick_symbols::SymbolFileKind kind = fennick_symbols::SymbolFileKind::kExecutable;
};

// "<file>/<key>" in lower case: how analyses and added symbols are matched.
std::string SymbolFileId(std::string_view file, std::string_view key);

// The ids (as SymbolFileId gives them) under which a file was stored: its key's, and its
// debug identifier's when stored under that too.
std::vector<std::string> StoredSymbolIds(const fennick_symbols::SymbolStore::Added& added);

// True when `store` holds the file that `id` (as SymbolFileId gives it) names.
bool HoldsSymbolFile(const fennick_symbols::SymbolStore& store, std::string_view id);

// Thread-safe without a watch.
class CrashAnalyzer {
 public:
  // Reads symbols from `store`, keeping up to `symbol_cache_bytes` of symbol files loaded;
  // tells `watch` (when not null) of each symbol file it reads; signs crashes by `rules`
  // (none by default: the first named frame names the crash).
  CrashAnalyzer(fennick_symbols::SymbolStore store, size_t symbol_cache_bytes,
                fennick_symbols::ReadingWatch* watch = nullptr, SignatureRules rules = {});

  const fennick_symbols::SymbolStore& store() const { return store_; }

  // The analysis of the dump in the open `file`: AnalysisJson's, and for an x64 dump whose
  // crashing thread's context and stack it holds, "frames" (crashing frame first: module,
  // module_offset, function, file, line, trust, inlined), "symbolicated", "stack_end" and
  // "missing_symbols" in its "crash"; when symbols name the first frame of the program's
  // own code, its function as "top_function" and a signature named by it, the rules'
  // version as "signature_rules" and the reader's module+offset signature as
  // "module_signature", for SignCrash to sign it again. The symbol files
  // whose ids (as SymbolFileId gives them) are in `set_aside` are taken for missing.
  nlohmann::ordered_json Analyze(FileHandle file,
                                 const std::set<std::string>& set_aside = {}) const;

  // As above, for the dump file at `path`.
  nlohmann::ordered_json AnalyzeFile(const std::filesystem::path& path) const;

 private:
  fennick_symbols::SymbolStore store_;
  fennick_symbols::ReadingWatch* watch_;
  SignatureRules rules_;
  mutable fennick_symbols::Symbolizer symbolizer_;
};

// The ids (as SymbolFileId gives them) of the symbol files an analysis lists as missing.
std::vector<std::string> MissingSymbolIds(const nlohmann::ordered_json& crash);

}  // namespace fennick_analysis

#endif  // FENNICK_TOOLS_ANALYSIS_CRASH_ANALYSIS_H_
