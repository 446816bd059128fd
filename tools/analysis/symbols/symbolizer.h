#ifndef FENNICK_TOOLS_ANALYSIS_SYMBOLS_SYMBOLIZER_H_
#define FENNICK_TOOLS_ANALYSIS_SYMBOLS_SYMBOLIZER_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Function, source file and line for an address in a module, from the module's own symbol
// files, through LLVM's symbolizer library.
namespace fennick_symbols {

// One source frame at an address: the innermost inlined function comes first. Where no debug
// record covers the address, the symbol before it names it, at `function_offset` past its
// start, without file or line.
struct SourceFrame {
  std::string function;
  std::optional<std::string> file;
  std::optional<uint32_t> line;
  std::optional<uint64_t> function_offset;
};

// A module's symbol files as a store holds them: its executable and its PDB when the
// program was built with one; without a PDB, the executable holding its DWARF (the unstripped
// build output, which need not be the file that unwinds).
struct ModuleSymbolFiles {
  std::filesystem::path executable;
  std::optional<std::filesystem::path> pdb;
};

class ReadingWatch;

class Symbolizer {
 public:
  // Keeps what it loaded for later calls, within `cache_bytes` of symbol files' sizes:
  // the least recently used go first. Tells `watch` (when not null) of each file it reads.
  explicit Symbolizer(size_t cache_bytes, ReadingWatch* watch = nullptr);
  ~Symbolizer();
  Symbolizer(const Symbolizer&) = delete;
  Symbolizer& operator=(const Symbolizer&) = delete;

  // The source frames at `rva` in the module; empty when its symbols do not name it.
  // Safe to call from several threads.
  std::vector<SourceFrame> Symbolize(const ModuleSymbolFiles& files, uint64_t rva);

 private:
  struct Cache;
  std::unique_ptr<Cache> cache_;
};

}  // namespace fennick_symbols

#endif  // FENNICK_TOOLS_ANALYSIS_SYMBOLS_SYMBOLIZER_H_
