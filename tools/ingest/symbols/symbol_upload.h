#ifndef FENNICK_TOOLS_INGEST_SYMBOLS_SYMBOL_UPLOAD_H_
#define FENNICK_TOOLS_INGEST_SYMBOLS_SYMBOL_UPLOAD_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "symbol_store.h"

// Symbol files arriving for the symbol store: uploaded as a form (POST /api/symbols) or
// named on the command line (--add-symbols).
namespace fennick_ingest {

inline constexpr char kSymbolsPath[] = "/api/symbols";

// The whole body of one symbols upload: its files and their multipart framing. The PDB of
// a large program runs to hundreds of MiB.
inline constexpr uint64_t kMaxSymbolsRequestBytes = uint64_t{1} << 30;

// Told of the files stored, after each upload or --add-symbols run that stored any.
using SymbolsAdded = std::function<void(const std::vector<fennick_symbols::SymbolStore::Added>&)>;

// One symbols upload as its form arrives. Each file part is written to a file of its own in
// a private staging folder inside the symbol store as it streams in; Commit stores them all
// or, when any is no executable or PDB, none. The destructor removes the staging folder.
class IncomingSymbols {
 public:
  explicit IncomingSymbols(const fennick_symbols::SymbolStore& store);
  ~IncomingSymbols();
  IncomingSymbols(const IncomingSymbols&) = delete;
  IncomingSymbols& operator=(const IncomingSymbols&) = delete;

  // Starts the next form part; a part without a file name marks the upload as bad.
  void BeginPart(const std::string& name, const std::string& file_name);
  void AppendData(const char* data, size_t size);

  struct Outcome {
    int status = 500;
    std::string error;  // why, when status is not 200
    std::vector<fennick_symbols::SymbolStore::Added> stored;
  };
  // Identifies every file and stores them: 200; 400 for a bad form, a file name that is no
  // bare name, or a file that is no executable or PDB (its file name and why in `error`);
  // 413 for files over kMaxSymbolsRequestBytes; 500 when the store cannot be written (files
  // stored before the failure stay).
  Outcome Commit();

 private:
  struct Part {
    std::string file_name;
    std::filesystem::path staged;
  };

  const fennick_symbols::SymbolStore& store_;
  std::filesystem::path staging_;
  std::vector<Part> parts_;
  std::string bad_form_;  // why the form is bad; empty when it is not
  bool store_failed_ = false;
  uint64_t received_bytes_ = 0;
  ScopedFile current_;
  bool in_file_ = false;
};

// {"code":0,"stored":[{"file":..,"key":..,"kind":"executable"|"pdb","good_for":[..]},..]}
// for a stored upload, each file also with its "debug_key" when stored under its debug
// identifier too and a "warning" when it cannot name a stripped release;
// {"code":N,"error":".."} for a refused one (without "error" when there is no more to say
// than the status).
std::string SymbolsReplyJson(const IncomingSymbols::Outcome& outcome);

// What an added file serves for: "unwind", "names", "lines", in that order.
std::vector<std::string> GoodFor(const fennick_symbols::SymbolStore::Added& added);

// Why an added file cannot name the frames of its stripped release; empty when it can.
std::string SymbolsWarning(const fennick_symbols::SymbolStore::Added& added);

// Stores each of `files` under its own file name, and each executable and PDB in a folder
// of them, however deep (other files there are passed over); prints
// "<file name> <key> [debug <key>] good for <uses>" for each on standard output, then the
// warning, if any, as "<file name>: warning: <warning>", and "<file>: <reason>" for each
// refused on standard error; tells `on_added` of those stored. 0 when all were stored, 1
// otherwise.
int AddSymbolFiles(const fennick_symbols::SymbolStore& store,
                   const std::vector<std::filesystem::path>& files, const SymbolsAdded& on_added);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_SYMBOLS_SYMBOL_UPLOAD_H_
