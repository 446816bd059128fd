// fennick-ingest: a development and test server that receives Fennick's crash uploads and
// keeps each report in a folder, so that the client can be exercised end to end. It is not
// the production ingest service.

#include <malloc.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "analysis_queue.h"
#include "analysis_worker.h"
#include "crash_analysis.h"
#include "http_server.h"
#include "inbox_access.h"
#include "options.h"
#include "report_index.h"
#include "report_store.h"
#include "routes.h"
#include "server_log.h"
#include "signature_rules_file.h"
#include "store_files.h"
#include "store_layout.h"
#include "stored_reports.h"
#include "symbol_quarantine.h"
#include "symbol_store.h"
#include "symbol_upload.h"
#include "tls_context.h"

namespace {

namespace fs = std::filesystem;
using fennick_ingest::Options;

constexpr int kBadUsageExit = 2;

void ConfigureSocket(httplib::Server& server) {
  // Without SO_REUSEPORT (httplib's default), a second server on a busy port fails to start
  // instead of silently sharing the port.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
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

// The store's path made absolute, and the symbol store's (the store's own by default).
bool ResolveFolders(Options& options) {
  std::error_code error;
  options.store = fs::absolute(options.store, error).lexically_normal();
  if (options.symbols.empty()) {
    options.symbols = options.store / fennick_ingest::kStoreSymbolsFolder;
  }
  return !error;
}

// Symbols stored offline are found by the server's next start; a file set aside is no
// longer once it is stored again.
int AddSymbols(Options options) {
  if (!ResolveFolders(options)) {
    fennick_ingest::LogLine("cannot resolve the store folder " + options.store.string());
    return 1;
  }
  return fennick_ingest::AddSymbolFiles(
      fennick_symbols::SymbolStore(options.symbols), options.add_symbols,
      [&options](const std::vector<fennick_symbols::SymbolStore::Added>& added) {
        std::vector<std::string> ids;
        for (const fennick_symbols::SymbolStore::Added& file : added) {
          for (std::string& id : fennick_analysis::StoredSymbolIds(file)) {
            ids.push_back(std::move(id));
          }
        }
        std::error_code error;
        if (fs::is_directory(options.store, error)) {
          fennick_ingest::SymbolQuarantine(options.store).Release(ids);
        }
      });
}

int Serve(Options options) {
  fennick_analysis::LoadedRules rules =
      fennick_ingest::LoadServerSignatureRules(options.signature_rules);
  if (!rules.rules) {
    fennick_ingest::LogLine(rules.error);
    return kBadUsageExit;
  }
  // A certificate or key that will not serve is refused before anything else is done.
  std::unique_ptr<fennick_ingest::TlsContext> tls;
  if (!options.tls_certificate.empty()) {
    std::string error;
    tls = fennick_ingest::TlsContext::Load(options.tls_certificate, options.tls_key, error);
    if (!tls) {
      fennick_ingest::LogLine(error);
      return 1;
    }
    // A client gone mid-reply must fail OpenSSL's write, not end the server.
    signal(SIGPIPE, SIG_IGN);
  }
  if (!ResolveFolders(options) || !fennick_ingest::PrepareStore(options.store)) {
    fennick_ingest::LogLine("cannot create the store folder " + options.store.string());
    return 1;
  }
  // The symbol store is made with its first symbols: a read-only one serves lookups alone.
  const fennick_symbols::SymbolStore symbols(options.symbols);
  fennick_ingest::RemoveStaleStaging(symbols.root());
  // Before listening, so that no upload races the rewrites.
  fennick_ingest::ReportIndex index(options.store);
  const std::optional<size_t> read = index.ok() ? index.Synchronize() : std::nullopt;
  if (!read) {
    fennick_ingest::LogLine("cannot bring the index " +
                            (options.store / fennick_ingest::kIndexFileName).string() +
                            " up to date: " + index.error());
    return 1;
  }
  const std::optional<fennick_ingest::ReportSlice> stored = index.Reports({}, 0, 0);
  if (!stored) return 1;
  sigset_t signals = BlockStopSignals();
  fennick_ingest::SymbolQuarantine quarantine(options.store);
  fennick_ingest::AnalysisQueue analyses(
      options.store, index, quarantine,
      {options.analysis_workers, options.analysis_cpu_seconds, options.analysis_seconds,
       options.symbols, std::move(*rules.rules)});
  const fennick_ingest::ServedStore served{options.store, index, symbols, analyses, quarantine};
  fennick_ingest::IngestHttpServer server;
  server.set_tls(std::move(tls));
  ConfigureSocket(server);
  fennick_ingest::ConfigureRoutes(
      server,
      fennick_ingest::InboxAccess(options.open_inbox, options.address, options.allowed_hosts),
      served);
  const int port = server.Bind(options.address, options.port);
  if (port < 0) {
    fennick_ingest::LogLine("cannot listen on " + options.address + ":" +
                            std::to_string(options.port));
    return 1;
  }
  // Listening already: a store full of dumps to analyse starts as fast as an empty one.
  const size_t queued = analyses.QueueStoredReports();
  fennick_ingest::LogLine("listening on " + options.address + ":" + std::to_string(port) +
                          ", store " + options.store.string() + ", symbols " +
                          symbols.root().string());
  fennick_ingest::LogLine(std::to_string(stored->total) + " reports in the store, " +
                          std::to_string(*read) + " of them indexed now, " +
                          std::to_string(queued) + " to analyse");
  fennick_ingest::LogLine(
      "inbox at " + std::string(server.scheme()) + "://" +
      (options.address == "0.0.0.0" ? "127.0.0.1" : options.address) + ":" + std::to_string(port) +
      "/" + (options.open_inbox ? " (open to every client)" : " (loopback clients only)"));
  std::atomic<bool> serving_ended = false;
  std::thread stopper(StopOnSignal, std::cref(signals), std::ref(server), std::cref(serving_ended));
  const bool listened = server.listen_after_bind();
  serving_ended = true;
  // Wakes the stopper when serving ended on its own; after a real signal this one stays
  // pending on a thread that is finishing, which is harmless.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  fennick_ingest::LogLine("stopped");
  return listened ? 0 : 1;
}

}  // namespace

// Every connection has a thread of its own; glibc would give each its own heap arena and
// keep what an analysis freed there, so a burst of uploads would hold memory it no longer
// uses. A few arenas shared by all serve as well.
constexpr int kMaxHeapArenas = 4;

int main(int argc, char** argv) {
  mallopt(M_ARENA_MAX, kMaxHeapArenas);
  std::vector<std::string_view> args(argv + 1, argv + argc);
  Options options;
  switch (fennick_ingest::ParseOptions(args, &options)) {
    case fennick_ingest::Command::kHelp:
      std::fputs(fennick_ingest::kUsage, stdout);
      return 0;
    case fennick_ingest::Command::kBadUsage:
      std::fputs(fennick_ingest::kUsage, stderr);
      return kBadUsageExit;
    case fennick_ingest::Command::kAddSymbols:
      return AddSymbols(std::move(options));
    case fennick_ingest::Command::kAnalysisWorker:
      return fennick_ingest::RunAnalysisWorker(options.symbols);
    case fennick_ingest::Command::kServe:
      break;
  }
  return Serve(std::move(options));
}
