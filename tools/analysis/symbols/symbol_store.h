#ifndef FENNICK_TOOLS_ANALYSIS_SYMBOLS_SYMBOL_STORE_H_
#define FENNICK_TOOLS_ANALYSIS_SYMBOLS_SYMBOL_STORE_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "symbol_key.h"

namespace fennick_symbols {

// A folder of symbol files in the symbol-server layout, <file name>/<key>/<file name>, as
// the usual symbol-store tools fill it. It may be read-only when only read.
class SymbolStore {
 public:
  explicit SymbolStore(std::filesystem::path root);

  const std::filesystem::path& root() const { return root_; }

  // Makes the root folder and those above it that are missing, private, each flushed into
  // its parent; true when the root is a folder.
  bool CreateRoot() const;

  // True for a file name the store takes: one name that points nowhere else (no separator,
  // no control character, not "." or "..") and short enough for any file system.
  static bool IsBareFileName(std::string_view name);

  // The stored file `file_name` with `key`, found ignoring case; nullopt when absent.
  std::optional<std::filesystem::path> Find(std::string_view file_name, std::string_view key) const;

  // The keys the store holds `file_name` under, found ignoring case, sorted.
  std::vector<std::string> KeysOf(std::string_view file_name) const;

  struct Added {
    std::string file_name;
    SymbolFileKind kind = SymbolFileKind::kExecutable;
    std::string key;
    // Set when an executable holding DWARF is stored under its debug identifier too.
    std::string debug_key;
    bool has_debug_identifier = false;  // for an executable: it has a CodeView record
    SymbolFileUses uses;
    std::string error;  // set, and nothing stored, when the file is no executable or PDB
  };
  // Stores the file at `source` as `file_name` (a bare file name) under the key read from
  // the file itself: durably, private to this user, and whole or not at all. An executable
  // holding DWARF is stored under its debug identifier as well, where the analysis of a
  // stripped copy looks for the names.
  Added Add(const std::filesystem::path& source, std::string_view file_name) const;

 private:
  // Copies `source` to `file_name`/`key`/`file_name`; the copy must be `identity` still. An
  // error text, empty when stored.
  std::string StoreUnder(const std::filesystem::path& source, std::string_view file_name,
                         const std::string& key, const SymbolFileIdentity& identity) const;

  std::filesystem::path root_;
};

}  // namespace fennick_symbols

#endif  // FENNICK_TOOLS_ANALYSIS_SYMBOLS_SYMBOL_STORE_H_
