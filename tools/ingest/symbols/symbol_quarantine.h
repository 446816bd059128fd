#ifndef FENNICK_TOOLS_INGEST_SYMBOLS_SYMBOL_QUARANTINE_H_
#define FENNICK_TOOLS_INGEST_SYMBOLS_SYMBOL_QUARANTINE_H_

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// Symbol files that stopped an analysis (a worker crashed or went over a limit while it read
// one), set aside so that no analysis reads them again until a file is stored under the same
// name and key. A truncated copy or a half-written build output is enough to do that.
namespace fennick_ingest {

// The quarantine's file in the store, rewritten whole at each change.
inline constexpr char kQuarantineFileName[] = "~quarantine.json";

struct QuarantinedFile {
  std::string file_name;  // as the symbol store spells it
  std::string key;
  std::string reason;   // "signal 11 while reading Ortivo.pdb <key>"
  std::string dump_id;  // the report whose analysis it stopped
  int64_t set_aside_ms = 0;
};

// Thread-safe.
class SymbolQuarantine {
 public:
  // The quarantine of the store `store`, as its file holds it.
  explicit SymbolQuarantine(const std::filesystem::path& store);

  // Sets `file` aside, and keeps it so across restarts (a failure to write is logged: then
  // only until the server stops). False when it was set aside already.
  bool SetAside(const QuarantinedFile& file);

  // The files with these ids (as fennick_analysis::SymbolFileId names them) were stored
  // again: they are no longer set aside.
  void Release(const std::vector<std::string>& ids);

  // The ids of the files set aside.
  std::set<std::string> Ids() const;
  // The files set aside, in the order they were.
  std::vector<QuarantinedFile> Files() const;

 private:
  void Save() const;

  std::filesystem::path store_;
  mutable std::mutex mutex_;
  std::vector<QuarantinedFile> files_;
};

// {"files":[{"file","key","reason","dump_id","set_aside_utc"},..]}, as the API serves it.
std::string QuarantineJson(const std::vector<QuarantinedFile>& files);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_SYMBOLS_SYMBOL_QUARANTINE_H_
