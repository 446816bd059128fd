#ifndef FENNICK_TOOLS_ANALYSIS_SYMBOLS_SYMBOL_KEY_H_
#define FENNICK_TOOLS_ANALYSIS_SYMBOLS_SYMBOL_KEY_H_

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// The keys under which a symbol store keeps a file, as Windows symbol servers do.
namespace fennick_symbols {

enum class SymbolFileKind { kExecutable, kPdb };

// An executable's or DLL's key: its PE TimeDateStamp as 8 upper-case hex digits, then its
// SizeOfImage in upper-case hex without leading zeros.
std::string ExecutableKey(uint32_t time_date_stamp, uint32_t size_of_image);

// A PDB's key: its GUID as 32 upper-case hex digits (Data1, Data2, Data3 as numbers, then
// Data4's bytes; `guid` as a CodeView record stores it), then its age in upper-case hex.
std::string PdbKey(const std::array<uint8_t, 16>& guid, uint32_t age);

// What a file is and its key, read from the file itself; `error` says why it is neither an
// executable nor a PDB (or is cut) when `key` is empty.
struct SymbolFileIdentity {
  SymbolFileKind kind = SymbolFileKind::kExecutable;
  std::string key;
  std::string error;
};

SymbolFileIdentity IdentifySymbolFile(const std::filesystem::path& path);

// The PDB that the executable at `path` names in its CodeView debug record: its file name
// and key. Nullopt for an executable without one (DWARF inside, or none), or no executable.
struct PdbReference {
  std::string file_name;
  std::string key;
};
std::optional<PdbReference> PdbNamedBy(const std::filesystem::path& path);

}  // namespace fennick_symbols

#endif  // FENNICK_TOOLS_ANALYSIS_SYMBOLS_SYMBOL_KEY_H_
