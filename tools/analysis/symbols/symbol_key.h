#ifndef FENNICK_TOOLS_ANALYSIS_SYMBOLS_SYMBOL_KEY_H_
#define FENNICK_TOOLS_ANALYSIS_SYMBOLS_SYMBOL_KEY_H_

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The keys under which a symbol store keeps a file, as Windows symbol servers do.
namespace fennick_symbols {

enum class SymbolFileKind { kExecutable, kPdb };

// An executable's or DLL's key: its PE TimeDateStamp as 8 upper-case hex digits, then its
// SizeOfImage in upper-case hex without leading zeros.
std::string ExecutableKey(uint32_t time_date_stamp, uint32_t size_of_image);

// A PDB's key: its GUID as 32 upper-case hex digits (Data1, Data2, Data3 as numbers, then
// Data4's bytes; `guid` as a CodeView record stores it), then its age in upper-case hex.
std::string PdbKey(const std::array<uint8_t, 16>& guid, uint32_t age);

// What a file serves an analysis for: unwinding (an exception directory with its data),
// naming functions (DWARF, a COFF symbol table or a PDB), source lines (DWARF's line table or
// a PDB).
struct SymbolFileUses {
  bool unwind = false;
  bool names = false;
  bool lines = false;
};

// What a file is and its key, read from the file itself; `error` says why it is neither an
// executable nor a PDB (or is cut) when `key` is empty. An executable's `debug_key` is its
// debug identifier (empty without a CodeView record); `dwarf` says it holds DWARF itself, so
// that it can name the frames of a stripped copy with the same debug identifier.
struct SymbolFileIdentity {
  SymbolFileKind kind = SymbolFileKind::kExecutable;
  std::string key;
  std::string debug_key;
  bool dwarf = false;
  SymbolFileUses uses;
  std::string error;
};

SymbolFileIdentity IdentifySymbolFile(const std::filesystem::path& path);

// True for a debug identifier's key, as against a code file's: the two never have the same
// length.
bool IsDebugKey(std::string_view key);

// The debug identifier in the CodeView record of the executable at `path`: its key, and the
// file name of the PDB it names (empty when it names none, as `ld --build-id` writes it).
// Nullopt for an executable without the record, or no executable.
struct DebugIdentifier {
  std::string pdb_file_name;
  std::string key;
};
std::optional<DebugIdentifier> DebugIdentifierOf(const std::filesystem::path& path);

// Where the executable at `path` keeps its unwind data (its .pdata), as its headers say.
// Nullopt for no executable.
struct ExceptionDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};
std::optional<ExceptionDirectory> ExceptionDirectoryOf(const std::filesystem::path& path);

}  // namespace fennick_symbols

#endif  // FENNICK_TOOLS_ANALYSIS_SYMBOLS_SYMBOL_KEY_H_
