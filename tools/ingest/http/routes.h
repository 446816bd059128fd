#ifndef FENNICK_TOOLS_INGEST_HTTP_ROUTES_H_
#define FENNICK_TOOLS_INGEST_HTTP_ROUTES_H_

#include <httplib.h>

#include <filesystem>

#include "http_server.h"
#include "inbox_access.h"
#include "report_index.h"
#include "crash_analysis.h"
#include "symbol_upload.h"

namespace fennick_ingest {

// The client's fixed API key; an upload without it is refused.
inline constexpr char kApiKey[] = "QZVMTRA-PLKXNE-HDWQGS-5B1D7E9C03";
inline constexpr char kUploadPath[] = "/api/report/crash";

// Installs on `server` the upload route (POST /api/report/crash), the symbols route (POST
// /api/symbols, which `access` guards like the inbox), the inbox routes (GET /,
// /api/reports, /api/reports/<folder>, /api/groups, /api/groups/<signature>,
// /reports/<folder>, /reports/<folder>/dump, /groups/<signature>, and POST
// /groups/<signature>/state) that `access` guards, the {"code":N} reply to every refusal
// (405 with Allow for a method an address does not take), and one log line per request. A
// request refused (no key, no route, a client `access` refuses, a body longer than its route
// takes or to an address that takes none) is answered before its body, and every body is
// held to its route's limit as it arrives. `store` is an absolute path; `index` lists it
// (loaded already) and learns of every upload; `analyzer` analyses each dump, its symbol
// store receives the symbol files, and `on_symbols_added` is told of each upload's. All
// outlive the server.
void ConfigureRoutes(IngestHttpServer& server, const std::filesystem::path& store,
                     const InboxAccess& access, ReportIndex& index,
                     const fennick_analysis::CrashAnalyzer& analyzer,
                     SymbolsAdded on_symbols_added);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_HTTP_ROUTES_H_
