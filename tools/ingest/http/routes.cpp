#include "routes.h"

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http_server.h"
#include "inbox.h"
#include "inbox_json.h"
#include "inbox_parts.h"
#include "paging.h"
#include "report_page.h"
#include "report_store.h"
#include "server_log.h"
#include "store_layout.h"
#include "stored_reports.h"
#include "symbol_upload.h"

namespace fennick_ingest {
namespace {

namespace fs = std::filesystem;

// What the upload handler learned, for the request's log line. httplib runs the logger on
// the thread that ran the handler, right after it.
struct RequestNote {
  std::string report_folder;
  uint64_t dump_bytes = 0;
};
thread_local RequestNote current_note;

// Every reply is {"code":N}: 0 for an accepted report, otherwise the HTTP status.
void Reply(httplib::Response& res, int status) {
  res.status = status;
  const int code = status == 200 ? 0 : status;
  res.set_content("{\"code\":" + std::to_string(code) + "}", "application/json");
}

// A refused request of the JSON API: {"code":N,"error":"..."}, so a script learns why.
void ReplyError(httplib::Response& res, int status, const std::string& error) {
  res.status = status;
  res.set_content(nlohmann::json{{"code", status}, {"error", error}}.dump(
                      -1, ' ', false, nlohmann::json::error_handler_t::replace),
                  "application/json");
}

std::string PeerOf(const httplib::Request& req) {
  return req.remote_addr + ":" + std::to_string(req.remote_port);
}

bool KeyOk(const httplib::Request& req) { return req.get_header_value("X-Api-Key") == kApiKey; }

bool IsUpload(const httplib::Request& req) {
  return req.method == "POST" && req.path == kUploadPath;
}

bool IsSymbolsUpload(const httplib::Request& req) {
  return req.method == "POST" && req.path == kSymbolsPath;
}

// The whole request of a crash report (a dump, the text parts and the multipart framing),
// and the most that any request other than a symbols upload may send.
constexpr uint64_t kMaxRequestBytes = 64 * 1024 * 1024;
static_assert(kMaxRequestBytes > kMaxDumpBytes + kMaxFormTextBytes);

// The status a request is answered with before its body is read, or 0 when it is served:
// an upload without the key, symbols from a client that may not read the inbox (symbol
// files are read by the inbox's analyses), and a body larger than its route takes.
int RefusalBeforeBody(const InboxAccess& access, const httplib::Request& req) {
  const bool symbols = IsSymbolsUpload(req);
  if ((IsUpload(req) || symbols) && !KeyOk(req)) return 401;
  if (symbols && !access.Allows(req.remote_addr, req.get_header_value("Host"))) return 403;
  const uint64_t limit = symbols ? kMaxSymbolsRequestBytes : kMaxRequestBytes;
  return req.get_header_value<uint64_t>("Content-Length") > limit ? 413 : 0;
}

// An upload with the key holds its connection; one refused is answered before its body,
// so that clients without the key can neither keep keyed uploads out nor hold a connection
// for as long as a body takes.
Admission AdmissionOf(const InboxAccess& access, const httplib::Request& req) {
  if (RefusalBeforeBody(access, req) != 0) return Admission::kRefused;
  return IsUpload(req) || IsSymbolsUpload(req) ? Admission::kHeld : Admission::kDroppable;
}

// Reads the whole form even when it is refused, so that an early reply never leaves unread
// body bytes on a kept-alive connection.
void ReceiveCrashReport(const fs::path& store, ReportIndex& index,
                        const fennick_analysis::CrashAnalyzer& analyzer, const httplib::Request& req,
                        httplib::Response& res, const httplib::ContentReader& read_content) {
  if (!req.is_multipart_form_data()) {
    read_content([](const char*, size_t) { return true; });
    Reply(res, 400);
    return;
  }
  IncomingReport report(store);
  const bool read_ok = read_content(
      [&](const httplib::MultipartFormData& part) {
        report.BeginPart(part.name, part.filename);
        return true;
      },
      [&](const char* data, size_t size) {
        report.AppendData(data, size);
        return true;
      });
  const int verdict = report.Verdict();
  const std::string dump_id = report.dump_id();
  current_note = {
      dump_id.empty() || dump_id.size() > kMaxDumpIdBytes ? "-" : ReportFolderName(dump_id),
      report.dump_bytes()};
  if (!read_ok) {
    Reply(res, IngestHttpServer::RequestOutOfTime() ? 408 : res.status == 413 ? 413 : 400);
  } else if (verdict != 200) {
    Reply(res, verdict);
  } else {
    Reply(res,
          report.Commit({PeerOf(req), req.get_header_value("User-Agent")}, index, analyzer));
  }
}

// Like a report, the whole form is read even when it is refused.
void ReceiveSymbols(const fennick_symbols::SymbolStore& symbols, const SymbolsAdded& on_added,
                    const httplib::Request& req, httplib::Response& res,
                    const httplib::ContentReader& read_content) {
  IncomingSymbols::Outcome outcome;
  if (!req.is_multipart_form_data()) {
    read_content([](const char*, size_t) { return true; });
    outcome = {400, "not a multipart form", {}};
  } else {
    IncomingSymbols upload(symbols);
    const bool read_ok = read_content(
        [&](const httplib::MultipartFormData& part) {
          upload.BeginPart(part.name, part.filename);
          return true;
        },
        [&](const char* data, size_t size) {
          upload.AppendData(data, size);
          return true;
        });
    if (read_ok) {
      outcome = upload.Commit();
    } else {
      outcome.status = IngestHttpServer::RequestOutOfTime() ? 408 : res.status == 413 ? 413 : 400;
    }
  }
  res.status = outcome.status;
  res.set_content(SymbolsReplyJson(outcome), "application/json");
  if (!outcome.stored.empty()) on_added(outcome.stored);
}

std::string ContentDisposition(std::string_view file_name) {
  // Old clients read the plain name, in which only ASCII is safe; others read the exact one.
  std::string plain(file_name);
  std::replace_if(
      plain.begin(), plain.end(),
      [](char c) { return static_cast<unsigned char>(c) >= 0x80 || c == '"' || c == '\\'; }, '_');
  return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" + PercentEncoded(file_name);
}

void ServeDump(const fs::path& store, const std::string& folder_name, httplib::Response& res) {
  std::optional<StoredDump> opened = OpenStoredDump(store, folder_name);
  if (!opened) {
    Reply(res, 404);
    return;
  }
  auto dump = std::make_shared<StoredDump>(std::move(*opened));
  res.set_header("Content-Disposition", ContentDisposition(dump->file_name));
  res.set_content_provider(
      static_cast<size_t>(dump->size), "application/octet-stream",
      [dump](size_t offset, size_t length, httplib::DataSink& sink) {
        std::vector<char> buffer(std::min<size_t>(length, 64 * 1024));
        if (!SeekFile(dump->file.get(), static_cast<int64_t>(offset), SeekOrigin::kBegin)) {
          return false;
        }
        const int64_t count = ReadFromFile(dump->file.get(), buffer.data(), buffer.size());
        return count > 0 && sink.write(buffer.data(), static_cast<size_t>(count));
      });
}

// The page `req` asks for, or nullopt after answering 400 for a malformed one.
std::optional<PageRequest> PageOrRefuse(const httplib::Request& req, httplib::Response& res,
                                        size_t default_per_page = kDefaultPerPage,
                                        PageKeys keys = {}) {
  std::optional<PageRequest> page = ParsePageRequest(req, default_per_page, keys);
  if (!page) Reply(res, 400);
  return page;
}

void ServeInboxPage(const ReportIndex& index, const httplib::Request& req, httplib::Response& res) {
  const std::optional<PageRequest> reports = PageOrRefuse(req, res);
  const std::optional<PageRequest> groups =
      reports ? PageOrRefuse(req, res, kInboxGroupsPerPage, {"groups_page", "groups_per_page"})
              : std::nullopt;
  if (!groups) return;
  InboxView view;
  view.signature = req.get_param_value("signature");
  view.report_page = *reports;
  view.group_page = *groups;
  view.reports = index.Reports(reports->first(), reports->per_page, view.signature);
  if (view.signature.empty()) view.groups = index.Groups(groups->first(), groups->per_page);
  res.set_content(RenderInboxPage(view), "text/html; charset=utf-8");
}

// The page an API list request asks for, or nullopt after answering 400 with the reason: a
// parameter the list does not know (`known`, beside the page's own) or a malformed page.
// A filter silently ignored would answer with the whole list as if it were the filtered one.
std::optional<PageRequest> ListPageOrRefuse(const httplib::Request& req, httplib::Response& res,
                                            std::initializer_list<std::string_view> known) {
  const PageKeys keys;
  for (const auto& [name, value] : req.params) {
    if (name != keys.page && name != keys.per_page &&
        std::find(known.begin(), known.end(), name) == known.end()) {
      ReplyError(res, 400, "unknown parameter: " + name);
      return std::nullopt;
    }
  }
  std::string malformed;
  std::optional<PageRequest> page = ParsePageRequest(req, kDefaultPerPage, keys, &malformed);
  if (!page) ReplyError(res, 400, malformed + ": not a whole number from 1 on");
  return page;
}

void ServeReportsJson(const ReportIndex& index, const httplib::Request& req,
                      httplib::Response& res) {
  const std::optional<PageRequest> page = ListPageOrRefuse(req, res, {"signature"});
  if (!page) return;
  const std::string signature = req.get_param_value("signature");
  const ReportSlice slice = index.Reports(page->first(), page->per_page, signature);
  SetPageHeaders(res, "/api/reports", {{"signature", signature}}, *page, slice.total);
  res.set_content(RenderReportsJson(slice.reports), "application/json");
}

void ServeGroupsJson(const ReportIndex& index, const httplib::Request& req,
                     httplib::Response& res) {
  const std::optional<PageRequest> page = ListPageOrRefuse(req, res, {});
  if (!page) return;
  const GroupSlice slice = index.Groups(page->first(), page->per_page);
  SetPageHeaders(res, "/api/groups", {}, *page, slice.total);
  res.set_content(RenderGroupsJson(slice.groups), "application/json");
}

// Serves the stored report in `folder_name` as `render` makes it of its dump_id and record,
// or 404.
void ServeReport(const fs::path& store, const std::string& folder_name, httplib::Response& res,
                 std::string (*render)(std::string_view, std::string_view),
                 const char* content_type) {
  const std::optional<std::string> dump_id = DumpIdOfFolder(folder_name);
  const std::optional<std::string> record =
      dump_id ? ReadReportRecord(store, folder_name) : std::nullopt;
  if (!record) {
    Reply(res, 404);
    return;
  }
  res.set_content(render(*dump_id, *record), content_type);
}

void ConfigureInbox(httplib::Server& server, const fs::path& store, const InboxAccess& access,
                    const ReportIndex& index) {
  // Runs `serve` for a request that may read the inbox; refuses the others.
  const auto guarded = [access](auto serve) {
    return [access, serve](const httplib::Request& req, httplib::Response& res) {
      if (access.Allows(req.remote_addr, req.get_header_value("Host"))) {
        serve(req, res);
      } else {
        Reply(res, 403);
      }
    };
  };
  server.Get("/", guarded([&index](const httplib::Request& req, httplib::Response& res) {
               ServeInboxPage(index, req, res);
             }));
  server.Get("/api/reports", guarded([&index](const httplib::Request& req, httplib::Response& res) {
               ServeReportsJson(index, req, res);
             }));
  server.Get("/api/groups", guarded([&index](const httplib::Request& req, httplib::Response& res) {
               ServeGroupsJson(index, req, res);
             }));
  // httplib matches the decoded path: the segment is a report folder name (see DumpUrl).
  server.Get(R"(/api/reports/([^/]+))",
             guarded([store](const httplib::Request& req, httplib::Response& res) {
               ServeReport(store, req.matches[1].str(), res, RenderReportJson, "application/json");
             }));
  server.Get(R"(/reports/([^/]+))",
             guarded([store](const httplib::Request& req, httplib::Response& res) {
               ServeReport(store, req.matches[1].str(), res, RenderReportPage,
                           "text/html; charset=utf-8");
             }));
  server.Get(R"(/reports/([^/]+)/dump)",
             guarded([store](const httplib::Request& req, httplib::Response& res) {
               ServeDump(store, req.matches[1].str(), res);
             }));
}

void LogRequest(const httplib::Request& req, const httplib::Response& res) {
  const RequestNote note = std::exchange(current_note, RequestNote{});
  LogLine(Printable(req.method) + " " + Printable(req.path) + " " + std::to_string(res.status) +
          " peer=" + PeerOf(req) +
          " dump_id=" + (note.report_folder.empty() ? "-" : note.report_folder) +
          " bytes=" + std::to_string(note.dump_bytes));
}

}  // namespace

void ConfigureRoutes(IngestHttpServer& server, const fs::path& store, const InboxAccess& access,
                     ReportIndex& index, const fennick_analysis::CrashAnalyzer& analyzer,
                     SymbolsAdded on_symbols_added) {
  // Each route's own limit is held before its body is read (RefusalBeforeBody).
  server.set_payload_max_length(kMaxSymbolsRequestBytes);
  // Inbox pages run no script and are kept by no cache; the same holds for every reply.
  server.set_default_headers({{"Content-Security-Policy", kInboxContentSecurityPolicy},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Cache-Control", "no-store"}});
  server.set_admission([access](const httplib::Request& req) { return AdmissionOf(access, req); });
  // httplib answers "Expect: 100-continue" with 100 at once when no handler decides
  // otherwise; saying so here keeps that promise independent of the library's default. A
  // request refused before its body is answered instead, and its body never sent.
  server.set_expect_100_continue_handler(
      [access](const httplib::Request& req, httplib::Response& res) {
        const int status = RefusalBeforeBody(access, req);
        if (status == 0) return 100;
        Reply(res, status);
        return status;
      });
  // Before any handler, and before httplib reads a body for a handler that takes it whole.
  server.set_pre_routing_handler([access](const httplib::Request& req, httplib::Response& res) {
    const int status = RefusalBeforeBody(access, req);
    if (status == 0) return httplib::Server::HandlerResponse::Unhandled;
    Reply(res, status);
    return httplib::Server::HandlerResponse::Handled;
  });
  server.Post(kUploadPath, [store, &index, &analyzer](const httplib::Request& req,
                                                      httplib::Response& res,
                                                      const httplib::ContentReader& read_content) {
    ReceiveCrashReport(store, index, analyzer, req, res, read_content);
  });
  server.Post(kSymbolsPath,
              [&analyzer, on_symbols_added](const httplib::Request& req, httplib::Response& res,
                                            const httplib::ContentReader& read_content) {
                ReceiveSymbols(analyzer.store(), on_symbols_added, req, res, read_content);
              });
  ConfigureInbox(server, store, access, index);
  // Every reply, httplib's own 404 included, carries a JSON code.
  server.set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        Reply(res, res.status);
        return httplib::Server::HandlerResponse::Handled;
      }));
  server.set_logger(LogRequest);
}

}  // namespace fennick_ingest
