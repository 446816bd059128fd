#include "routes.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <regex>
#include <initializer_list>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "http_server.h"
#include "group_page.h"
#include "inbox.h"
#include "inbox_json.h"
#include "inbox_parts.h"
#include "paging.h"
#include "report_page.h"
#include "report_store.h"
#include "server_log.h"
#include "state_change.h"
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

// The whole request of a crash report (a dump, the text parts and the multipart framing).
constexpr uint64_t kMaxRequestBytes = 64 * 1024 * 1024;
static_assert(kMaxRequestBytes > kMaxDumpBytes + kMaxFormTextBytes);
// A group's state form holds a state, a version and a token; httplib parses no longer
// urlencoded form anyway.
constexpr uint64_t kMaxStateFormBytes = 8 * 1024;

// Each address, the method it takes and the most body it takes (none but for the three
// forms), first match first.
struct Route {
  std::regex path;
  const char* method;
  uint64_t max_body_bytes;
};

const std::vector<Route>& Routes() {
  static const std::vector<Route> routes = [] {
    std::vector<Route> table;
    for (const auto& [path, method, max_body_bytes] :
         std::initializer_list<std::tuple<const char*, const char*, uint64_t>>{
             {kUploadPath, "POST", kMaxRequestBytes},
             {kSymbolsPath, "POST", kMaxSymbolsRequestBytes},
             {"/", "GET", 0},
             {"/api/reports", "GET", 0},
             {"/api/reports/[^/]+", "GET", 0},
             {"/api/groups", "GET", 0},
             {"/api/groups/.+", "GET", 0},
             {"/api/analyses", "GET", 0},
             {"/api/symbols/quarantine", "GET", 0},
             {"/reports/[^/]+", "GET", 0},
             {"/reports/[^/]+/dump", "GET", 0},
             {"/groups/.+/state", "POST", kMaxStateFormBytes},
             {"/groups/.+", "GET", 0}}) {
      table.push_back({std::regex(path), method, max_body_bytes});
    }
    return table;
  }();
  return routes;
}

// The route of `req`'s address, or null when it is none's.
const Route* RouteOf(const httplib::Request& req) {
  for (const Route& route : Routes()) {
    if (std::regex_match(req.path, route.path)) return &route;
  }
  return nullptr;
}

// Whether `req` uses the method its route takes (HEAD goes with GET).
bool FitsMethod(const Route& route, const httplib::Request& req) {
  return req.method == route.method ||
         (req.method == "HEAD" && std::string_view(route.method) == "GET");
}

// Whether `req` says a body follows its headers.
bool CarriesBody(const httplib::Request& req) {
  return req.has_header("Transfer-Encoding") ||
         req.get_header_value<uint64_t>("Content-Length") > 0;
}

// The status a request is answered with before its body is read, or 0 when it is served:
// an upload without the key, an address that is no route's or takes another method, a
// client that may not read the inbox at any address but the upload's (symbol files are read
// by the inbox's analyses), and a body larger than its route takes.
int RefusalBeforeBody(const InboxAccess& access, const httplib::Request& req) {
  const bool upload = IsUpload(req);
  if ((upload || IsSymbolsUpload(req)) && !KeyOk(req)) return 401;
  const Route* route = RouteOf(req);
  if (route == nullptr) return 404;
  if (!FitsMethod(*route, req)) return 405;
  if (!upload && !access.Allows(req.remote_addr, req.get_header_value("Host"))) return 403;
  const uint64_t limit = route->max_body_bytes;
  const bool too_long =
      req.get_header_value<uint64_t>("Content-Length") > limit || (limit == 0 && CarriesBody(req));
  return too_long ? 413 : 0;
}

// Answers a request refused before its body with `status`, naming the method its address
// takes with a 405.
void ReplyRefusal(const httplib::Request& req, httplib::Response& res, int status) {
  if (status == 405) res.set_header("Allow", RouteOf(req)->method);
  Reply(res, status);
}

// An upload with the key holds its connection. A request refused is answered before its
// body, which is never read; when it carries one, its connection closes after the reply.
// So clients without the key can neither keep keyed uploads out nor hold a connection for
// as long as a body takes. Every other body is read up to its route's limit.
RequestTerms TermsOf(const InboxAccess& access, const httplib::Request& req) {
  if (RefusalBeforeBody(access, req) != 0) {
    return {CarriesBody(req) ? Admission::kRefused : Admission::kDroppable, 0};
  }
  const bool held = IsUpload(req) || IsSymbolsUpload(req);
  return {held ? Admission::kHeld : Admission::kDroppable, RouteOf(req)->max_body_bytes};
}

// The status of a request whose body could not be read whole.
int ReadFailureStatus() {
  if (IngestHttpServer::RequestOutOfTime()) return 408;
  return IngestHttpServer::BodyPastLimit() ? 413 : 400;
}

// Reads the whole form even when it is refused, so that an early reply never leaves unread
// body bytes on a kept-alive connection.
void ReceiveCrashReport(const ServedStore& served, const httplib::Request& req,
                        httplib::Response& res, const httplib::ContentReader& read_content) {
  if (!req.is_multipart_form_data()) {
    read_content([](const char*, size_t) { return true; });
    Reply(res, 400);
    return;
  }
  IncomingReport report(served.store);
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
    Reply(res, ReadFailureStatus());
  } else if (verdict != 200) {
    Reply(res, verdict);
  } else {
    const int status =
        report.Commit({PeerOf(req), req.get_header_value("User-Agent")}, served.index);
    // Answered once the report is durable; its analysis follows.
    if (status == 200) served.analyses.Arrived(dump_id);
    Reply(res, status);
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
      outcome.status = ReadFailureStatus();
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

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The page and the list an API or inbox request asks for, or nullopt after answering 400
// with the reason: a parameter the list does not know (beside kListParameters, the page's
// own and `extra`) or a malformed value. A filter silently ignored would answer with the
// whole list as if it were the filtered one.
struct ListRequest {
  ListQuery query;
  PageRequest page;
};

std::optional<ListRequest> ListOrRefuse(const httplib::Request& req, httplib::Response& res,
                                        std::initializer_list<std::string_view> extra = {}) {
  const PageKeys keys;
  std::vector<std::pair<std::string, std::string>> parameters;
  for (const auto& [name, value] : req.params) {
    const bool known =
        name == keys.page || name == keys.per_page ||
        std::find(std::begin(kListParameters), std::end(kListParameters), name) !=
            std::end(kListParameters) ||
        std::find(extra.begin(), extra.end(), name) != extra.end();
    if (!known) {
      ReplyError(res, 400, "unknown parameter: " + name);
      return std::nullopt;
    }
    parameters.emplace_back(name, value);
  }
  std::string error;
  std::optional<ListQuery> query = ParseListQuery(parameters, &error);
  std::optional<PageRequest> page =
      query ? ParsePageRequest(req, kDefaultPerPage, keys, &error) : std::nullopt;
  if (query && !page) error += ": not a whole number from 1 on";
  if (!page) {
    ReplyError(res, 400, error);
    return std::nullopt;
  }
  return ListRequest{std::move(*query), *page};
}

void ServeInboxPage(const ReportIndex& index, const httplib::Request& req, httplib::Response& res) {
  const std::optional<ListRequest> list =
      ListOrRefuse(req, res, {"groups_page", "groups_per_page"});
  if (!list) return;
  std::string malformed;
  const std::optional<PageRequest> groups = ParsePageRequest(
      req, kInboxGroupsPerPage, {"groups_page", "groups_per_page"}, &malformed);
  if (!groups) {
    ReplyError(res, 400, malformed + ": not a whole number from 1 on");
    return;
  }
  InboxView view;
  view.query = list->query;
  view.report_page = list->page;
  view.group_page = *groups;
  std::optional<ReportSlice> reports =
      index.Reports(view.query.filter, list->page.first(), list->page.per_page);
  std::optional<GroupSlice> group_slice =
      view.query.filter.signature.empty()
          ? index.Groups(view.query, groups->first(), groups->per_page, NowMs())
          : GroupSlice{};
  if (!reports || !group_slice) {
    Reply(res, 500);
    return;
  }
  view.reports = std::move(*reports);
  view.groups = std::move(*group_slice);
  res.set_content(RenderInboxPage(view), "text/html; charset=utf-8");
}

void ServeReportsJson(const ReportIndex& index, const httplib::Request& req,
                      httplib::Response& res) {
  const std::optional<ListRequest> list = ListOrRefuse(req, res);
  if (!list) return;
  const std::optional<ReportSlice> slice =
      index.Reports(list->query.filter, list->page.first(), list->page.per_page);
  if (!slice) {
    Reply(res, 500);
    return;
  }
  SetPageHeaders(res, "/api/reports", ListParameters(list->query), list->page, slice->total);
  res.set_content(RenderReportsJson(slice->reports), "application/json");
}

void ServeGroupsJson(const ReportIndex& index, const httplib::Request& req,
                     httplib::Response& res) {
  const std::optional<ListRequest> list = ListOrRefuse(req, res);
  if (!list) return;
  const std::optional<GroupSlice> slice =
      index.Groups(list->query, list->page.first(), list->page.per_page, NowMs());
  if (!slice) {
    Reply(res, 500);
    return;
  }
  SetPageHeaders(res, "/api/groups", ListParameters(list->query), list->page, slice->total);
  res.set_header("X-Undecodable-Count", std::to_string(slice->undecodable));
  res.set_content(RenderGroupsJson(slice->groups), "application/json");
}

// The group `signature` of the filter `req` asks for, as `render` makes it; 404 when no
// report names it, 500 when the index failed.
template <typename Render>
void ServeGroup(const ReportIndex& index, const std::string& signature,
                const httplib::Request& req, httplib::Response& res, Render render,
                const char* content_type) {
  const std::optional<ListRequest> list = ListOrRefuse(req, res);
  if (!list) return;
  const std::optional<std::optional<GroupDetail>> detail =
      index.Group(signature, list->query.filter, NowMs());
  if (!detail || !*detail) {
    Reply(res, detail ? 404 : 500);
    return;
  }
  res.set_content(render(**detail), content_type);
}

// Serves the stored report in `folder_name` as `render` makes it of its dump_id and record,
// or 404.
template <typename Render>
void ServeReport(const fs::path& store, const std::string& folder_name, httplib::Response& res,
                 Render render, const char* content_type) {
  const std::optional<std::string> dump_id = DumpIdOfFolder(folder_name);
  const std::optional<std::string> record =
      dump_id ? ReadReportRecord(store, folder_name) : std::nullopt;
  if (!record) {
    Reply(res, 404);
    return;
  }
  res.set_content(render(*dump_id, *record), content_type);
}

void ServeAnalyses(const AnalysisQueue& analyses, httplib::Response& res) {
  const AnalysisQueue::Status status = analyses.status();
  res.set_content(nlohmann::json{{"waiting", status.waiting}, {"running", status.running}}.dump(),
                  "application/json");
}

// Who may read the inbox is decided before routing (RefusalBeforeBody).
void ConfigureInbox(IngestHttpServer& server, const ServedStore& served, const std::string& token) {
  const fs::path& store = served.store;
  ReportIndex& index = served.index;
  const SymbolQuarantine& quarantine = served.quarantine;
  server.Get("/", [&index](const httplib::Request& req, httplib::Response& res) {
    ServeInboxPage(index, req, res);
  });
  server.Get("/api/reports", [&index](const httplib::Request& req, httplib::Response& res) {
    ServeReportsJson(index, req, res);
  });
  server.Get("/api/groups", [&index](const httplib::Request& req, httplib::Response& res) {
    ServeGroupsJson(index, req, res);
  });
  // httplib matches the decoded path: the segment is a report folder name (see DumpUrl).
  server.Get(R"(/api/reports/([^/]+))",
             [store](const httplib::Request& req, httplib::Response& res) {
               ServeReport(store, req.matches[1].str(), res, RenderReportJson, "application/json");
             });
  server.Get(R"(/reports/([^/]+))",
             [store, &quarantine](const httplib::Request& req, httplib::Response& res) {
               ServeReport(
                   store, req.matches[1].str(), res,
                   [&quarantine](std::string_view dump_id, std::string_view record) {
                     return RenderReportPage(dump_id, record, quarantine.Files());
                   },
                   "text/html; charset=utf-8");
             });
  server.Get("/api/analyses", [&served](const httplib::Request&, httplib::Response& res) {
    ServeAnalyses(served.analyses, res);
  });
  server.Get("/api/symbols/quarantine", [&quarantine](const httplib::Request&,
                                                      httplib::Response& res) {
    res.set_content(QuarantineJson(quarantine.Files()), "application/json");
  });
  server.Get(R"(/api/groups/(.+))", [&index](const httplib::Request& req, httplib::Response& res) {
    ServeGroup(index, req.matches[1].str(), req, res, RenderGroupJson, "application/json");
  });
  server.Get(R"(/groups/(.+))",
             [&index, token](const httplib::Request& req, httplib::Response& res) {
               ServeGroup(
                   index, req.matches[1].str(), req, res,
                   [&token](const GroupDetail& detail) { return RenderGroupPage(detail, token); },
                   "text/html; charset=utf-8");
             });
  server.Post(R"(/groups/(.+)/state)",
              [&server, &index, token](const httplib::Request& req, httplib::Response& res) {
                ChangeGroupState(index, server.scheme(), token, req.matches[1].str(), PeerOf(req),
                                 req, res, NowMs());
              });
  server.Get(R"(/reports/([^/]+)/dump)",
             [store](const httplib::Request& req, httplib::Response& res) {
               ServeDump(store, req.matches[1].str(), res);
             });
}

void LogRequest(const httplib::Request& req, const httplib::Response& res) {
  const RequestNote note = std::exchange(current_note, RequestNote{});
  LogLine(Printable(req.method) + " " + Printable(req.path) + " " + std::to_string(res.status) +
          " peer=" + PeerOf(req) +
          " dump_id=" + (note.report_folder.empty() ? "-" : note.report_folder) +
          " bytes=" + std::to_string(note.dump_bytes));
}

}  // namespace

void ConfigureRoutes(IngestHttpServer& server, const InboxAccess& access,
                     const ServedStore& served) {
  // Each route's own limit is held before its body is read (RefusalBeforeBody) and while
  // it is read (TermsOf); httplib's one limit is only the largest of them.
  server.set_payload_max_length(kMaxSymbolsRequestBytes);
  // Inbox pages run no script and are kept by no cache; the same holds for every reply.
  server.set_default_headers({{"Content-Security-Policy", kInboxContentSecurityPolicy},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Cache-Control", "no-store"}});
  server.set_terms([access](const httplib::Request& req) { return TermsOf(access, req); });
  // httplib answers "Expect: 100-continue" with 100 at once when no handler decides
  // otherwise; saying so here keeps that promise independent of the library's default. A
  // request refused before its body is answered instead, and its body never sent.
  server.set_expect_100_continue_handler(
      [access](const httplib::Request& req, httplib::Response& res) {
        const int status = RefusalBeforeBody(access, req);
        if (status == 0) return 100;
        ReplyRefusal(req, res, status);
        return status;
      });
  // Before any handler, and before httplib reads a body for a handler that takes it whole.
  server.set_pre_routing_handler([access](const httplib::Request& req, httplib::Response& res) {
    const int status = RefusalBeforeBody(access, req);
    if (status == 0) return httplib::Server::HandlerResponse::Unhandled;
    ReplyRefusal(req, res, status);
    return httplib::Server::HandlerResponse::Handled;
  });
  server.Post(kUploadPath, [&served](const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader& read_content) {
    ReceiveCrashReport(served, req, res, read_content);
  });
  const SymbolsAdded on_symbols_added =
      [&served](const std::vector<fennick_symbols::SymbolStore::Added>& added) {
        served.analyses.SymbolsAdded(added);
      };
  server.Post(kSymbolsPath,
              [&served, on_symbols_added](const httplib::Request& req, httplib::Response& res,
                                          const httplib::ContentReader& read_content) {
                ReceiveSymbols(served.symbols, on_symbols_added, req, res, read_content);
              });
  ConfigureInbox(server, served, NewFormToken());
  // Every reply, httplib's own included, carries a JSON code. httplib answers 400 to a body
  // it could not read whole, whatever the reason.
  server.set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        Reply(res, res.status == 400 ? ReadFailureStatus() : res.status);
        return httplib::Server::HandlerResponse::Handled;
      }));
  server.set_logger(LogRequest);
}

}  // namespace fennick_ingest
