#ifndef FENNICK_UPLOAD_CRASH_UPLOAD_H_
#define FENNICK_UPLOAD_CRASH_UPLOAD_H_

#include <string>

#include "metadata/crash_metadata.h"
#include "upload/ingest_endpoint.h"

// Sends the report to the built-in ingest server (BuiltInIngestEndpoint). True only when
// the transfer succeeded, the status was 200 and the reply was accepted; every false result
// but a failed curl_easy_init is logged. Needs curl_global_init to have run.
bool UploadCrashReport(const CrashMetadata& record);

// The same request sent to `endpoint`; for tests that run a server of their own.
bool UploadCrashReportTo(const CrashMetadata& record, const IngestEndpoint& endpoint);

#endif  // FENNICK_UPLOAD_CRASH_UPLOAD_H_
