#include "options.h"

#include <charconv>

namespace fennick_ingest {

const char kUsage[] =
    "Usage: fennick-ingest [--address HOST] [--port N] [--store FOLDER] [--open-inbox]\n"
    "                      [--allow-host NAME]... [--symbols FOLDER]\n"
    "                      [--tls-cert FILE --tls-key FILE]\n"
    "                      [--analysis-workers N] [--analysis-cpu-seconds N]\n"
    "                      [--analysis-seconds N] [--signature-rules FILE]\n"
    "       fennick-ingest [--store FOLDER] [--symbols FOLDER] --add-symbols FILE...\n"
    "\n"
    "A development and test server for Fennick crash uploads; it is not the production\n"
    "ingest service. It accepts POST /api/report/crash with the client's API key and keeps\n"
    "each report in its own folder of the store: the dump under its uploaded file name and\n"
    "report.json with the form fields, the dump's size, the receive time and the peer\n"
    "address. The folder is named after the dump_id (bytes other than letters, digits, '.',\n"
    "'_' and '-' written %XX). A report is on the disk, flushed, before the server answers\n"
    "{\"code\":0}; one sent again under the same dump_id replaces the earlier one in one step.\n"
    "The store is readable by this user alone. Limits: a dump of 50 MiB, a dump_id of 64\n"
    "bytes, 2 MiB of text parts; larger reports are refused.\n"
    "\n"
    "Once a report is stored (and answered), its dump is analysed in the background and the\n"
    "crash it records (exception, module and offset, the stack, signature) is kept in\n"
    "report.json; reports stored without that are analysed again after a start, which\n"
    "listens at once. Every analysis runs in a worker process of its own, held to a CPU time,\n"
    "a time in all and 2 GiB of memory: a dump or symbol file that crashes or holds\n"
    "a worker costs that report's analysis alone, which then names what stopped it. A symbol\n"
    "file being read when that happened is set aside (GET /api/symbols/quarantine) and the\n"
    "report analysed again without it, until a file is stored under its name and key again.\n"
    "GET /api/analyses tells how many reports wait for an analysis.\n"
    "\n"
    "The report inbox: GET / shows the crashes grouped by signature, most frequent first,\n"
    "and the reports, newest first, each with its own page (GET /reports/<id>) and a link\n"
    "that downloads its dump; GET /api/reports and GET /api/groups give the lists as JSON,\n"
    "a page at a time (?page=N&per_page=M). The lists come from ~index.sqlite in the store,\n"
    "a cache made again from the report folders and ~decisions.jsonl (the groups' states,\n"
    "flushed as they are decided) whenever it is missing or found damaged; a damaged one is\n"
    "kept as ~index.sqlite.damaged-<UTC time>. A dump holds the memory of the crashed\n"
    "process (paths, documents, passwords), so the inbox answers clients on loopback\n"
    "addresses only, wherever the server listens, and only when they name the server as\n"
    "localhost, 127.0.0.1, [::1] or the listening address (the Host header), so that no\n"
    "web page can read it through a name of its own.\n"
    "\n"
    "Symbols: POST /api/symbols takes executables, DLLs and PDBs as the file parts of a form,\n"
    "with the client's API key and from the clients that may read the inbox, 1 GiB at most.\n"
    "Each is kept as a symbol server keeps it, FOLDER/<file name>/<key>/<file name>, its key\n"
    "read from the file itself (an image's time stamp and size, a PDB's GUID and age). A\n"
    "request is stored whole or, when any file is no executable or PDB, not at all. Names\n"
    "are looked up ignoring case, so a store filled by other symbol-store tools serves too.\n"
    "\n"
    "Options:\n"
    "  --address HOST     address to listen on (default 127.0.0.1)\n"
    "  --port N           port to listen on (default 5001; 0 picks a free port)\n"
    "  --store FOLDER     folder that receives the reports (default ./fennick-ingest-store)\n"
    "  --open-inbox       let every client that reaches the server read the inbox and\n"
    "                     download dumps, under any name; only on a network where everyone\n"
    "                     may see them\n"
    "  --allow-host NAME  also answer loopback clients that name the server NAME (a host\n"
    "                     name or address, without a port); may be given more than once\n"
    "  --symbols FOLDER   the symbol store (default symbols in the store folder); it may be\n"
    "                     read-only, which refuses only the storing of symbols\n"
    "  --tls-cert FILE    serve HTTPS with this certificate (PEM, the server's own first,\n"
    "                     then its CA chain); it must name the host the clients are built for\n"
    "  --tls-key FILE     the certificate's private key (PEM, unencrypted), readable by its\n"
    "                     owner only; given with --tls-cert, and only with it\n"
    "  --analysis-workers N\n"
    "                     worker processes that analyse dumps, one at a time each\n"
    "                     (default 2, at most 64)\n"
    "  --analysis-cpu-seconds N\n"
    "                     CPU time one analysis may take before its worker is ended\n"
    "                     (default 30, at most 3600)\n"
    "  --analysis-seconds N\n"
    "                     time one analysis may take in all, however it waits, before its\n"
    "                     worker is ended (default 120, at most 3600)\n"
    "  --signature-rules FILE\n"
    "                     sign crashes by the rules in FILE instead of the rules shipped\n"
    "                     with the server (signature-rules.txt, which describes the format):\n"
    "                     the modules and functions whose frames never name a crash. A\n"
    "                     file that cannot be read or parsed stops the start (exit 2); rules\n"
    "                     of another version regroup the stored reports after the start\n"
    "  --add-symbols FILE...\n"
    "                     store each FILE in the symbol store under its own name, print\n"
    "                     \"<file name> <key>\" and what it is good for (unwind, names,\n"
    "                     lines) for each and exit, without serving; exits 1 when any is\n"
    "                     refused (no executable or PDB, or cut). A FILE that is a folder\n"
    "                     gives every executable and PDB in it, however deep. An executable\n"
    "                     holding DWARF is stored under its debug identifier too, so that\n"
    "                     it names the frames of its stripped release\n"
    "  --analysis-worker  run as one of the server's analysis workers, which the server\n"
    "                     starts itself; not for use by hand\n"
    "  --help, -h         show this text and exit\n"
    "\n"
    "Each connection is served on its own; a request must send its headers within 10 seconds\n"
    "and all of it within 60, with no pause of 5 seconds, and a body 40 KiB in every 10\n"
    "seconds after its first 10. An upload without the key is answered 401 before its body,\n"
    "and such clients cannot take the places of uploads with the key. A body is held to its\n"
    "address's limit as it arrives (64 MiB for a report, 1 GiB of symbols, 8 KiB for a state\n"
    "form, none elsewhere): past it, 413 and the connection closed. On start one line on\n"
    "standard error names the address, the port and the store; then one line per request.\n"
    "Over HTTPS the handshake too must end within 10 seconds, with no pause of 5.\n"
    "SIGINT or SIGTERM stops the server.\n";

namespace {

bool ParseNumber(std::string_view text, int lowest, int highest, int* number) {
  int value = -1;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < lowest ||
      value > highest) {
    return false;
  }
  *number = value;
  return true;
}

constexpr int kMaxAnalysisWorkers = 64;
constexpr int kMaxAnalysisSeconds = 3600;

}  // namespace

Command ParseOptions(const std::vector<std::string_view>& args, Options* options) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) return Command::kHelp;
  bool add_symbols = false;
  bool worker = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--analysis-worker") {
      worker = true;
      continue;
    }
    if (args[i] == "--open-inbox") {
      options->open_inbox = true;
      continue;
    }
    if (args[i] == "--add-symbols") {
      add_symbols = true;
      for (; i + 1 < args.size() && !args[i + 1].starts_with("--"); ++i) {
        if (args[i + 1].empty()) return Command::kBadUsage;
        options->add_symbols.emplace_back(args[i + 1]);
      }
      if (options->add_symbols.empty()) return Command::kBadUsage;
      continue;
    }
    if (i + 1 >= args.size() || args[i + 1].empty()) return Command::kBadUsage;
    const std::string_view option = args[i];
    const std::string_view value = args[++i];
    if (option == "--address") {
      options->address = value;
    } else if (option == "--port") {
      if (!ParseNumber(value, 0, 65535, &options->port)) return Command::kBadUsage;
    } else if (option == "--analysis-workers") {
      if (!ParseNumber(value, 1, kMaxAnalysisWorkers, &options->analysis_workers)) {
        return Command::kBadUsage;
      }
    } else if (option == "--analysis-cpu-seconds") {
      if (!ParseNumber(value, 1, kMaxAnalysisSeconds, &options->analysis_cpu_seconds)) {
        return Command::kBadUsage;
      }
    } else if (option == "--analysis-seconds") {
      if (!ParseNumber(value, 1, kMaxAnalysisSeconds, &options->analysis_seconds)) {
        return Command::kBadUsage;
      }
    } else if (option == "--store") {
      options->store = value;
    } else if (option == "--allow-host") {
      options->allowed_hosts.emplace_back(value);
    } else if (option == "--symbols") {
      options->symbols = value;
    } else if (option == "--signature-rules") {
      options->signature_rules = value;
    } else if (option == "--tls-cert") {
      options->tls_certificate = value;
    } else if (option == "--tls-key") {
      options->tls_key = value;
    } else {
      return Command::kBadUsage;
    }
  }
  if (options->tls_certificate.empty() != options->tls_key.empty()) return Command::kBadUsage;
  if (worker) {
    return add_symbols || options->symbols.empty() ? Command::kBadUsage : Command::kAnalysisWorker;
  }
  return add_symbols ? Command::kAddSymbols : Command::kServe;
}

}  // namespace fennick_ingest
