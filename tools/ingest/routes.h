#ifndef FENNICK_TOOLS_INGEST_ROUTES_H_
#define FENNICK_TOOLS_INGEST_ROUTES_H_

#include <httplib.h>

#include <filesystem>

#include "inbox_access.h"

namespace fennick_ingest {

// The client's fixed API key; an upload without it is refused.
inline constexpr char kApiKey[] = "QZVMTRA-PLKXNE-HDWQGS-5B1D7E9C03";
inline constexpr char kUploadPath[] = "/api/report/crash";

// Installs on `server` the upload route (POST /api/report/crash), the inbox routes (GET /,
// /api/reports, /reports/<folder>/dump) that `access` guards, the {"code":N} reply to
// every refusal, and one log line per request. `store` is an absolute path.
void ConfigureRoutes(httplib::Server& server, const std::filesystem::path& store,
                     const InboxAccess& access);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_ROUTES_H_
