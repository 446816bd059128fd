// fennick-ingest: a development and test server that receives Fennick's crash uploads on
// loopback and keeps each report in a folder, so that the client can be exercised end to end.
// It is not the production ingest service.

#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "inbox.h"
#include "report_store.h"

namespace {

namespace fs = std::filesystem;
using fennick_ingest::IncomingReport;

constexpr char kUploadPath[] = "/api/report/crash";
constexpr std::string_view kApiKey = "QZVMTRA-PLKXNE-HDWQGS-5B1D7E9C03";
constexpr char kDefaultAddress[] = "127.0.0.1";
constexpr int kDefaultPort = 5001;
constexpr char kDefaultStoreName[] = "fennick-ingest-store";
// A dump is at most 50 MiB; the rest covers the text fields and the multipart framing.
constexpr size_t kMaxRequestBytes = 64 * 1024 * 1024;
constexpr int kBadUsageExit = 2;

constexpr char kUsage[] =
    "Usage: fennick-ingest [--address HOST] [--port N] [--store FOLDER] [--open-inbox]\n"
    "\n"
    "A development and test server for Fennick crash uploads; it is not the production\n"
    "ingest service. It accepts POST /api/report/crash with the client's API key and keeps\n"
    "each report in FOLDER/<dump_id>/: the dump under its uploaded file name and report.json\n"
    "with the form fields, the dump's size, the receive time and the peer address. A report\n"
    "sent again under the same dump_id replaces the earlier one; dumps over 50 MiB are refused.\n"
    "\n"
    "The report inbox: GET / shows the stored reports, newest first, each with a link that\n"
    "downloads its dump (GET /reports/<dump_id>/dump); GET /api/reports gives the same list\n"
    "as JSON. A dump holds the memory of the crashed process (paths, documents, passwords),\n"
    "so the inbox answers clients on loopback addresses only, wherever the server listens.\n"
    "\n"
    "Options:\n"
    "  --address HOST   address to listen on (default 127.0.0.1)\n"
    "  --port N         port to listen on (default 5001; 0 picks a free port)\n"
    "  --store FOLDER   folder that receives the reports (default ./fennick-ingest-store)\n"
    "  --open-inbox     let every client that reaches the server read the inbox and\n"
    "                   download dumps; only on a network where everyone may see them\n"
    "  --help, -h       show this text and exit\n"
    "\n"
    "On start one line on standard error names the address, the port and the store; then one\n"
    "line per request. SIGINT or SIGTERM stops the server.\n";

struct Options {
  std::string address = kDefaultAddress;
  int port = kDefaultPort;
  fs::path store = kDefaultStoreName;
  bool open_inbox = false;
};

enum class Command { kServe, kHelp, kBadUsage };

bool ParsePort(std::string_view text, int* port) {
  int value = -1;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0 || value > 65535) {
    return false;
  }
  *port = value;
  return true;
}

Command ParseOptions(const std::vector<std::string_view>& args, Options* options) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) return Command::kHelp;
  for (size_t i = 0; i < args.size(); i += 2) {
    if (args[i] == "--open-inbox") {
      options->open_inbox = true;
      --i;  // a flag without a value
      continue;
    }
    if (i + 1 >= args.size()) return Command::kBadUsage;
    std::string_view value = args[i + 1];
    if (args[i] == "--address" && !value.empty()) {
      options->address = value;
    } else if (args[i] == "--port") {
      if (!ParsePort(value, &options->port)) return Command::kBadUsage;
    } else if (args[i] == "--store" && !value.empty()) {
      options->store = value;
    } else {
      return Command::kBadUsage;
    }
  }
  return Command::kServe;
}

void LogLine(const std::string& text) {
  static std::mutex mutex;
  std::string line = "fennick-ingest: " + text + "\n";
  std::lock_guard lock(mutex);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// Request text goes into the log; control characters must not forge or break lines.
std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  return out;
}

// What the upload handler learned, for the request's log line. httplib runs the logger on
// the worker thread that ran the handler, right after it.
struct RequestNote {
  std::string dump_id;
  uint64_t dump_bytes = 0;
};
thread_local RequestNote current_note;

// Every reply is {"code":N}: 0 for an accepted report, otherwise the HTTP status.
void Reply(httplib::Response& res, int status) {
  res.status = status;
  int code = status == 200 ? 0 : status;
  res.set_content("{\"code\":" + std::to_string(code) + "}", "application/json");
}

std::string PeerOf(const httplib::Request& req) {
  return req.remote_addr + ":" + std::to_string(req.remote_port);
}

// Reads the whole form even when the request is refused, so that an early reply never leaves
// unread body bytes on a kept-alive connection.
void ReceiveCrashReport(const fs::path& store, const httplib::Request& req, httplib::Response& res,
                        const httplib::ContentReader& read_content) {
  bool key_ok = req.get_header_value("X-Api-Key") == kApiKey;
  if (!req.is_multipart_form_data()) {
    read_content([](const char*, size_t) { return true; });
    Reply(res, key_ok ? 400 : 401);
    return;
  }
  IncomingReport report(store, key_ok);
  bool read_ok = read_content(
      [&](const httplib::MultipartFormData& part) {
        report.BeginPart(part.name, part.filename);
        return true;
      },
      [&](const char* data, size_t size) {
        report.AppendData(data, size);
        return true;
      });
  int verdict = report.Verdict();
  current_note = {fennick_ingest::IsSafeDumpId(report.dump_id()) ? report.dump_id() : "-",
                  report.dump_bytes()};
  if (!key_ok) {
    Reply(res, 401);
  } else if (!read_ok) {
    Reply(res, res.status == 413 ? 413 : 400);
  } else if (verdict == 200 && !report.Commit({PeerOf(req), req.get_header_value("User-Agent")})) {
    Reply(res, 500);
  } else {
    Reply(res, verdict);
  }
}

// The inbox shows what crashed processes held in memory: unless it was opened on purpose,
// only clients on this machine may read it.
bool MayReadInbox(const httplib::Request& req, httplib::Response& res, bool open_inbox) {
  if (open_inbox || fennick_ingest::IsLoopbackAddress(req.remote_addr)) return true;
  Reply(res, 403);
  return false;
}

void ServeDump(const fs::path& store, const std::string& dump_id, httplib::Response& res) {
  const fs::path dump = fennick_ingest::StoredDumpPath(store, dump_id);
  std::error_code error;
  const uintmax_t size = dump.empty() ? 0 : fs::file_size(dump, error);
  auto in = std::make_shared<std::ifstream>(dump, std::ios::binary);
  if (dump.empty() || error || !*in) {
    Reply(res, 404);
    return;
  }
  // The store's own file name: safe characters apart from quotes, which are kept out of
  // the header.
  std::string name = dump.filename().string();
  std::replace(name.begin(), name.end(), '"', '_');
  res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
  res.set_content_provider(static_cast<size_t>(size), "application/octet-stream",
                           [in](size_t offset, size_t length, httplib::DataSink& sink) {
                             std::vector<char> buffer(std::min<size_t>(length, 64 * 1024));
                             in->seekg(static_cast<std::streamoff>(offset));
                             in->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                             return in->gcount() > 0 &&
                                    sink.write(buffer.data(), static_cast<size_t>(in->gcount()));
                           });
}

void ConfigureInbox(httplib::Server& server, const fs::path& store, bool open_inbox) {
  server.Get("/", [store, open_inbox](const httplib::Request& req, httplib::Response& res) {
    if (!MayReadInbox(req, res, open_inbox)) return;
    res.set_content(fennick_ingest::RenderInboxPage(fennick_ingest::ListStoredReports(store)),
                    "text/html; charset=utf-8");
  });
  server.Get(
      "/api/reports", [store, open_inbox](const httplib::Request& req, httplib::Response& res) {
        if (!MayReadInbox(req, res, open_inbox)) return;
        res.set_content(fennick_ingest::RenderReportsJson(fennick_ingest::ListStoredReports(store)),
                        "application/json");
      });
  server.Get(R"(/reports/([^/]+)/dump)",
             [store, open_inbox](const httplib::Request& req, httplib::Response& res) {
               if (!MayReadInbox(req, res, open_inbox)) return;
               ServeDump(store, req.matches[1].str(), res);
             });
}

void LogRequest(const httplib::Request& req, const httplib::Response& res) {
  RequestNote note = std::exchange(current_note, RequestNote{});
  LogLine(Printable(req.method) + " " + Printable(req.path) + " " + std::to_string(res.status) +
          " peer=" + PeerOf(req) + " dump_id=" + (note.dump_id.empty() ? "-" : note.dump_id) +
          " bytes=" + std::to_string(note.dump_bytes));
}

void ConfigureServer(httplib::Server& server, const fs::path& store, bool open_inbox) {
  // Without SO_REUSEPORT (httplib's default), a second server on a busy port fails to start
  // instead of silently sharing the port.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.set_payload_max_length(kMaxRequestBytes);
  // httplib answers "Expect: 100-continue" with 100 at once when no handler decides
  // otherwise; saying so here keeps that promise independent of the library's default.
  server.set_expect_100_continue_handler(
      [](const httplib::Request&, httplib::Response&) { return 100; });
  server.Post(kUploadPath, [store](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& read_content) {
    ReceiveCrashReport(store, req, res, read_content);
  });
  ConfigureInbox(server, store, open_inbox);
  // Every reply, httplib's own 404 included, carries a JSON code.
  server.set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        Reply(res, res.status);
        return httplib::Server::HandlerResponse::Handled;
      }));
  server.set_logger(LogRequest);
}

// Blocks SIGINT and SIGTERM in this thread and in every thread started after it, so that only
// the stopper thread's sigwait sees them.
sigset_t BlockStopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

// Waits for a stop signal, then stops the server. A signal can arrive between binding and
// the start of the accept loop, when stop() would still do nothing; so it waits for the
// server to be running (or for serving to have ended some other way) first.
void StopOnSignal(const sigset_t& signals, httplib::Server& server,
                  const std::atomic<bool>& serving_ended) {
  int received = 0;
  sigwait(&signals, &received);
  while (!serving_ended && !server.is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!serving_ended) server.stop();
}

int Bind(httplib::Server& server, const Options& options) {
  if (options.port == 0) return server.bind_to_any_port(options.address);
  return server.bind_to_port(options.address, options.port) ? options.port : -1;
}

bool PrepareStore(fs::path* store) {
  std::error_code error;
  fs::create_directories(*store, error);
  if (error) return false;
  *store = fs::absolute(*store, error).lexically_normal();
  if (error) return false;
  fennick_ingest::RemoveStaleStaging(*store);
  return true;
}

int Serve(Options options) {
  if (!PrepareStore(&options.store)) {
    LogLine("cannot create the store folder " + options.store.string());
    return 1;
  }
  sigset_t signals = BlockStopSignals();
  httplib::Server server;
  ConfigureServer(server, options.store, options.open_inbox);
  int port = Bind(server, options);
  if (port < 0) {
    LogLine("cannot listen on " + options.address + ":" + std::to_string(options.port));
    return 1;
  }
  LogLine("listening on " + options.address + ":" + std::to_string(port) + ", store " +
          options.store.string());
  LogLine(std::string("inbox at http://") +
          (options.address == "0.0.0.0" ? "127.0.0.1" : options.address) + ":" +
          std::to_string(port) + "/" +
          (options.open_inbox ? " (open to every client)" : " (loopback clients only)"));
  std::atomic<bool> serving_ended = false;
  std::thread stopper(StopOnSignal, std::cref(signals), std::ref(server), std::cref(serving_ended));
  bool served = server.listen_after_bind();
  serving_ended = true;
  // Wakes the stopper when serving ended on its own; after a real signal this one stays
  // pending on a thread that is finishing, which is harmless.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  LogLine("stopped");
  return served ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  Options options;
  switch (ParseOptions(args, &options)) {
    case Command::kHelp:
      std::fputs(kUsage, stdout);
      return 0;
    case Command::kBadUsage:
      std::fputs(kUsage, stderr);
      return kBadUsageExit;
    case Command::kServe:
      break;
  }
  return Serve(std::move(options));
}
