#include "upload/crash_upload.h"

#include <curl/curl.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "diag/log_line.h"
#include "host/device_id.h"
#include "host/host_facts.h"
#include "platform/host_name.h"
#include "platform/native_text.h"
#include "platform/process.h"
#include "platform/system_proxy.h"
#include "platform/text_conversion.h"
#include "upload/curl_handles.h"
#include "upload/dump_stream.h"
#include "upload/ingest_endpoint.h"
#include "upload/reply_check.h"

namespace {

constexpr char kApiKeyHeader[] = "X-Api-Key: QZVMTRA-PLKXNE-HDWQGS-5B1D7E9C03";
constexpr char kUserAgent[] = "Fennick/1.0";
constexpr char kDumpContentType[] = "application/octet-stream";
constexpr long kConnectTimeoutSeconds = 10;
constexpr long kTransferTimeoutSeconds = 60;
constexpr long kAcceptedStatus = 200;

// Byte limits of the text parts. A longer value is cut to its first bytes, even inside a
// UTF-8 character.
constexpr size_t kShortTextBytes = 32;                 // app_version, uin, lum_id
constexpr size_t kIdTextBytes = 64;                    // dump_id, device_id, session_id, ...
constexpr size_t kNameTextBytes = 128;                 // computer_name, process_name
constexpr size_t kWholeText = std::string_view::npos;  // client_ts

// What one attempted transfer came to; a status is read only after a transfer that worked.
struct TransferOutcome {
  int result = CURLE_FAILED_INIT;
  long status = 0;
};

// `value` in plain signed decimal, as native text.
template <typename Number>
WideString DecimalText(Number value) {
  const std::string digits = std::to_string(value);
  return WideString(digits.begin(), digits.end());
}

// The "file" part: the dump streamed from disk under its own file name.
bool AddFilePart(curl_mime* form, const std::filesystem::path& dump_path, DumpStream* stream) {
  curl_mimepart* part = curl_mime_addpart(form);
  const std::string file_name = WideToUtf8(dump_path.filename().native());
  return part != nullptr && curl_mime_name(part, "file") == CURLE_OK &&
         curl_mime_filename(part, file_name.c_str()) == CURLE_OK &&
         curl_mime_type(part, kDumpContentType) == CURLE_OK &&
         curl_mime_data_cb(part, stream->size, ReadDumpChunk, SeekDumpStream, nullptr, stream) ==
             CURLE_OK;
}

// A text part holding `value` cut to `limit` bytes. An empty value is left out, which
// counts as success.
bool AddTextPart(curl_mime* form, const char* name, std::string_view value, size_t limit) {
  const std::string text(value.substr(0, limit));
  if (text.empty()) {
    return true;
  }
  curl_mimepart* part = curl_mime_addpart(form);
  return part != nullptr && curl_mime_name(part, name) == CURLE_OK &&
         curl_mime_data(part, text.c_str(), CURL_ZERO_TERMINATED) == CURLE_OK;
}

// Appends the twelve parts in their fixed order. Stops at the first part that cannot be
// built, so the host facts of later parts are not even fetched.
bool BuildForm(curl_mime* form, const CrashMetadata& record, DumpStream* stream) {
  return form != nullptr && AddFilePart(form, record.dump_path, stream) &&
         AddTextPart(form, "dump_id", record.dump_id, kIdTextBytes) &&
         AddTextPart(form, "device_id", GetOrCreateDeviceId(), kIdTextBytes) &&
         AddTextPart(form, "app_version", record.app_version, kShortTextBytes) &&
         AddTextPart(form, "session_id", record.session_id, kIdTextBytes) &&
         AddTextPart(form, "uin", record.uin, kShortTextBytes) &&
         AddTextPart(form, "lum_id", record.lum_id, kShortTextBytes) &&
         AddTextPart(form, "pet_code", record.pet_code, kIdTextBytes) &&
         AddTextPart(form, "os_version", GetOsVersionText(), kIdTextBytes) &&
         AddTextPart(form, "computer_name", WideToUtf8(ComputerName()), kNameTextBytes) &&
         AddTextPart(form, "process_name", record.process_name, kNameTextBytes) &&
         AddTextPart(form, "client_ts", record.client_ts, kWholeText);
}

// The CA file as libcurl opens it: a relative path is taken from the program's folder, so
// that a deployment can ship its CA beside the program.
std::string CaFilePath(const std::string& ca_file) {
  const std::filesystem::path path(Utf8ToWide(ca_file));
  if (ca_file.empty() || path.is_absolute()) {
    return ca_file;
  }
  return WideToUtf8((ExecutableDirectory() / path).native());
}

// How the server must prove itself over HTTPS; libcurl ignores these for plain HTTP.
void SetServerChecks(CURL* easy, const IngestEndpoint& endpoint) {
  // libcurl's defaults, stated: a report must never go to a server that cannot prove its name.
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  // A revocation list that cannot be fetched (offline, a strict proxy) must not stop every
  // report on Windows; a certificate found revoked still does.
  curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
  if (!endpoint.pinned_key.empty()) {
    curl_easy_setopt(easy, CURLOPT_PINNEDPUBLICKEY, endpoint.pinned_key.c_str());
  }
}

TransferOutcome Transfer(CURL* easy, const IngestEndpoint& endpoint, const std::string& proxy,
                         curl_slist* headers, curl_mime* form, std::string* body) {
  curl_easy_setopt(easy, CURLOPT_URL, endpoint.url.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_MIMEPOST, form);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT, kTransferTimeoutSeconds);
  // Timeouts must not rely on signals: the process may have its own handlers.
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, CollectReplyBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, body);
  SetServerChecks(easy, endpoint);
  const std::string ca_file = CaFilePath(endpoint.ca_file);
  if (!ca_file.empty()) {
    curl_easy_setopt(easy, CURLOPT_CAINFO, ca_file.c_str());
  }
  if (!proxy.empty()) {
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());
  }
  TransferOutcome outcome;
  outcome.result = curl_easy_perform(easy);
  if (outcome.result == CURLE_OK) {
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &outcome.status);
  }
  return outcome;
}

// Builds and sends the request; every libcurl object is gone when this returns. Nullopt
// when no easy handle can be made.
std::optional<TransferOutcome> SendReport(const CrashMetadata& record,
                                          const IngestEndpoint& endpoint, DumpStream* stream,
                                          std::string* body) {
  const ScopedCurlEasy easy(curl_easy_init());
  if (!easy) {
    return std::nullopt;
  }
  const ScopedCurlMime form(curl_mime_init(easy.get()));
  const bool form_built = BuildForm(form.get(), record, stream);
  const ScopedCurlHeaderList headers(curl_slist_append(nullptr, kApiKeyHeader));
  if (!form_built || !headers) {
    return TransferOutcome{};
  }
  // Without a proxy of the system's own, libcurl's environment variables still apply.
  const std::string proxy = SystemProxyFor(endpoint.url);
  if (!proxy.empty()) {
    LogLine(FENNICK_WIDE("using proxy ") + Utf8ToWide(proxy) + FENNICK_WIDE(", dump=") +
            record.dump_path.native());
  }
  return Transfer(easy.get(), endpoint, proxy, headers.get(), form.get(), body);
}

}  // namespace

bool UploadCrashReport(const CrashMetadata& record) {
  return UploadCrashReportTo(record, BuiltInIngestEndpoint());
}

bool UploadCrashReportTo(const CrashMetadata& record, const IngestEndpoint& endpoint) {
  // Declared before any libcurl object exists, so the dump is closed only after the form
  // that streams it and the easy handle have been freed.
  DumpStream stream;
  const WideString& dump_path = record.dump_path.native();
  // The dump may have changed since report processing checked it.
  if (!OpenDumpStream(record.dump_path, &stream)) {
    LogLine(FENNICK_WIDE("invalid or oversized dump: ") + dump_path);
    return false;
  }
  std::string body;
  const std::optional<TransferOutcome> outcome = SendReport(record, endpoint, &stream, &body);
  if (!outcome.has_value()) {
    return false;
  }
  if (outcome->result != CURLE_OK || outcome->status != kAcceptedStatus) {
    LogLine(FENNICK_WIDE("upload failed, curl=") + DecimalText(outcome->result) +
            FENNICK_WIDE(", http=") + DecimalText(outcome->status) + FENNICK_WIDE(", dump=") +
            dump_path);
    return false;
  }
  if (!IsReplyAccepted(body)) {
    LogLine(FENNICK_WIDE("server returned invalid response for: ") + dump_path);
    return false;
  }
  return true;
}
