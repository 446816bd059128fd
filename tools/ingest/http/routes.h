#ifndef FENNICK_TOOLS_INGEST_HTTP_ROUTES_H_
#define FENNICK_TOOLS_INGEST_HTTP_ROUTES_H_

#include <httplib.h>

#include <filesystem>

#include "analysis_queue.h"
#include "http_server.h"
#include "inbox_access.h"
#include "report_index.h"
#include "symbol_quarantine.h"
#include "symbol_store.h"
#include "symbol_upload.h"

namespace fennick_ingest {

// The client's fixed API key; an upload without it is refused.
inline constexpr char kApiKey[] = "QZVMTRA-PLKXNE-HDWQGS-5B1D7E9C03";
inline constexpr char kUploadPath[] = "/api/report/crash";

// What the routes serve and feed; all of it outlives the server.
struct ServedStore {
  std::filesystem::path store;  // absolute
  ReportIndex& index;           // lists the store (loaded already), learns of every upload
  const fennick_symbols::SymbolStore& symbols;  // receives the symbol files
  AnalysisQueue& analyses;                      // analyses each report once it is stored
  const SymbolQuarantine& quarantine;
};

// Installs on `server` the upload route (POST /api/report/crash), the symbols route (POST
// /api/symbols, which `access` guards like the inbox), the inbox routes (GET /,
// /api/reports, /api/reports/<folder>, /api/groups, /api/groups/<signature>, /api/analyses,
// /api/symbols/quarantine, /reports/<folder>, /reports/<folder>/dump, /groups/<signature>,
// and POST /groups/<signature>/state) that `access` guards, the {"code":N} reply to every
// refusal (405 with Allow for a method an address does not take), and one log line per
// request. A request refused (no key, no route, a client `access` refuses, a body longer
// than its route takes or to an address that takes none) is answered before its body, and
// every body is held to its route's limit as it arrives.
void ConfigureRoutes(IngestHttpServer& server, const InboxAccess& access,
                     const ServedStore& served);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_HTTP_ROUTES_H_
