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
#include "platform/text_conversion.h"
#include "upload/curl_handles.h"
#include "upload/dump_stream.h"
#include "upload/reply_check.h"

namespace {

constexpr char kIngestUrl[] = "http://" FENNICK_INGEST_HOST ":5001/api/report/crash";
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

TransferOutcome Transfer(CURL* easy, const std::string& url, curl_slist* headers, curl_mime* form,
                         std::string* body) {
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_MIMEPOST, form);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT, kTransferTimeoutSeconds);
  // Timeouts must not rely on signals: the process may have its own handlers.
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, CollectReplyBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, body);
  TransferOutcome outcome;
  outcome.result = curl_easy_perform(easy);
  if (outcome.result == CURLE_OK) {
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &outcome.status);
  }
  return outcome;
}

// Builds and sends the request; every libcurl object is gone when this returns. Nullopt
// when no easy handle can be made.
std::optional<TransferOutcome> SendReport(const CrashMetadata& record, const std::string& url,
                                          DumpStream* stream, std::string* body) {
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
  return Transfer(easy.get(), url, headers.get(), form.get(), body);
}

}  // namespace

bool UploadCrashReport(const CrashMetadata& record) {
  return UploadCrashReportTo(record, kIngestUrl);
}

bool UploadCrashReportTo(const CrashMetadata& record, const std::string& url) {
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
  const std::optional<TransferOutcome> outcome = SendReport(record, url, &stream, &body);
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
