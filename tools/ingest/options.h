#ifndef FENNICK_TOOLS_INGEST_OPTIONS_H_
#define FENNICK_TOOLS_INGEST_OPTIONS_H_

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fennick_ingest {

// The help text, for --help and for a malformed command line.
extern const char kUsage[];

struct Options {
  std::string address = "127.0.0.1";
  int port = 5001;
  std::filesystem::path store = "fennick-ingest-store";
  bool open_inbox = false;
  std::vector<std::string> allowed_hosts;  // --allow-host, in the order given
  std::filesystem::path symbols;           // --symbols; empty for the store's own symbol folder
  std::vector<std::filesystem::path> add_symbols;  // --add-symbols, in the order given
  std::filesystem::path tls_certificate;           // --tls-cert; empty for plain HTTP
  std::filesystem::path tls_key;                   // --tls-key; given with --tls-cert
  int analysis_workers = 2;                        // --analysis-workers
  int analysis_cpu_seconds = 30;                   // --analysis-cpu-seconds
  int analysis_seconds = 120;                      // --analysis-seconds
  std::filesystem::path signature_rules;  // --signature-rules; empty for the shipped rules
};

// kAnalysisWorker: the server's own worker process, which the server starts itself.
enum class Command { kServe, kAddSymbols, kAnalysisWorker, kHelp, kBadUsage };

// Reads the arguments (program name excluded) into `options`; kBadUsage for an unknown
// option, a missing or empty value, a port outside 0..65535, --add-symbols without a file,
// or one of --tls-cert and --tls-key without the other, --analysis-workers outside 1..64 or
// --analysis-cpu-seconds or --analysis-seconds outside 1..3600. kAddSymbols when --add-symbols is given: its files
// are the arguments after it up to the next that starts with "--". kAnalysisWorker for
// --analysis-worker, with --symbols alone.
Command ParseOptions(const std::vector<std::string_view>& args, Options* options);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_OPTIONS_H_
