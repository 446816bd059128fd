#ifndef FENNICK_TESTS_TOOLS_INGEST_TEST_SERVER_H_
#define FENNICK_TESTS_TOOLS_INGEST_TEST_SERVER_H_

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

inline constexpr char kIngestApiKey[] = "QZVMTRA-PLKXNE-HDWQGS-5B1D7E9C03";
// How long a test waits for the server to start or to answer: only a server that hangs
// takes this long, however loaded the machine (a sanitized server took half a minute over
// one report of 1 MiB of escaped text on two cores at load 12).
inline constexpr std::chrono::seconds kIngestPatience{300};

// The built fennick-ingest on a free port of 127.0.0.1 with the store `store`, started
// through `launcher` when one is given (such as strace); stopped with SIGTERM on
// destruction.
class IngestProcess {
 public:
  explicit IngestProcess(const std::filesystem::path& store,
                         const std::vector<std::string>& options = {},
                         std::vector<std::string> launcher = {})
      : process_(Program(launcher), Arguments(launcher, store, options)) {
    // The port is the one the start line names.
    const auto give_up = std::chrono::steady_clock::now() + kIngestPatience;
    std::string log;
    while ((log = process_.StandardError()).find(", store ") == log.npos &&
           std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const size_t store_at = log.find(", store ");
    if (store_at == log.npos) {
      ADD_FAILURE() << "fennick-ingest did not start: " << log;
      return;
    }
    port_ = std::stoi(log.substr(log.rfind(':', store_at) + 1));
  }

  int port() const { return port_; }
  int pid() const { return process_.pid(); }
  httplib::Client Client() const {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(kIngestPatience);
    client.set_write_timeout(kIngestPatience);
    return client;
  }
  std::string Log() const { return process_.StandardError(); }
  int Stop() { return process_.Stop(); }

 private:
  static std::string Program(const std::vector<std::string>& launcher) {
    return launcher.empty() ? FENNICK_INGEST_EXE : launcher.front();
  }
  static std::vector<std::string> Arguments(const std::vector<std::string>& launcher,
                                            const std::filesystem::path& store,
                                            const std::vector<std::string>& options) {
    std::vector<std::string> args;
    if (!launcher.empty()) {
      args.assign(launcher.begin() + 1, launcher.end());
      args.push_back(FENNICK_INGEST_EXE);
    }
    args.insert(args.end(), {"--port", "0", "--store", store.string()});
    args.insert(args.end(), options.begin(), options.end());
    return args;
  }

  BackgroundProcess process_;
  int port_ = 0;
};

// Waits until `server` has no analysis waiting or under way: dumps are analysed after their
// upload is answered, in the background.
inline void AwaitAnalyses(const IngestProcess& server) {
  const auto give_up = std::chrono::steady_clock::now() + kIngestPatience;
  for (;;) {
    const httplib::Result res = server.Client().Get("/api/analyses");
    const nlohmann::json status =
        res ? nlohmann::json::parse(res->body, nullptr, false) : nlohmann::json();
    if (status.is_object() && status.value("waiting", -1) == 0 &&
        status.value("running", -1) == 0) {
      return;
    }
    if (std::chrono::steady_clock::now() > give_up) {
      ADD_FAILURE() << "the analyses never ended: " << (res ? res->body : "no answer");
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Whether `path` is one of the files of the store's index (the database and its journal),
// which the server keeps beside the reports.
inline bool IsIndexFile(const std::filesystem::path& path) {
  return path.filename().string().starts_with("~index.sqlite");
}

// The entries of the store `store` other than the index's files.
inline std::vector<std::filesystem::path> StoreEntries(const std::filesystem::path& store) {
  std::vector<std::filesystem::path> entries;
  for (const auto& entry : std::filesystem::directory_iterator(store)) {
    if (!IsIndexFile(entry.path())) entries.push_back(entry.path());
  }
  return entries;
}

// A report form: the dump, its dump_id and one more field.
inline httplib::MultipartFormDataItems ReportForm(const std::string& dump_id,
                                                  const std::string& dump = "MDMP",
                                                  const std::string& file_name = "a.dmp") {
  return {{"file", dump, file_name, ""}, {"dump_id", dump_id, "", ""}, {"uin", "42", "", ""}};
}

// Posts `form` to `server` with `key` (none when null); checks the status and the
// {"code":N} reply.
inline void PostReport(const IngestProcess& server, const httplib::MultipartFormDataItems& form,
                       int status, const char* key = kIngestApiKey, httplib::Headers headers = {}) {
  if (key != nullptr) headers.emplace("X-Api-Key", key);
  auto res = server.Client().Post("/api/report/crash", headers, form);
  ASSERT_TRUE(res) << httplib::to_string(res.error());
  EXPECT_EQ(res->status, status);
  EXPECT_EQ(nlohmann::json::parse(res->body, nullptr, false),
            (nlohmann::json{{"code", status == 200 ? 0 : status}}));
}

// The page at `url` as headless Chromium renders it (its DOM after loading), with the
// browser's profile in `profile`. A page whose script held the browser (an alert() that
// ran) is ended by the deadline, before RunProcess's own; a browser on a loaded machine is
// done long before.
inline ProcessOutput DumpDomInChromium(const std::string& url,
                                       const std::filesystem::path& profile) {
  return RunProcess("/usr/bin/timeout",
                    {"--kill-after=5", "100", FENNICK_CHROMIUM, "--headless", "--no-sandbox",
                     "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update",
                     "--disable-sync", "--user-data-dir=" + profile.string(), "--dump-dom", url});
}

// The descriptor that the line of `calls` ending at `line_end` returned.
inline std::string ResultOf(const std::string& calls, size_t line_end) {
  const size_t result = calls.rfind("= ", line_end);
  return calls.substr(result + 2, line_end - result - 2);
}

// Finds, from `from` on, the open of `path` and the fsync of the descriptor it gave before
// that descriptor is closed and given out again; returns the fsync's position in `calls`,
// or npos.
inline size_t FlushOfOpen(const std::string& calls, const std::string& path, size_t from = 0) {
  const size_t open = calls.find("openat(AT_FDCWD, \"" + path + "\",", from);
  if (open == std::string::npos) return std::string::npos;
  const size_t line_end = calls.find('\n', open);
  const std::string fd = ResultOf(calls, line_end);
  size_t reopened = line_end;
  do {
    reopened = calls.find("openat(", reopened + 1);
  } while (reopened != std::string::npos && ResultOf(calls, calls.find('\n', reopened)) != fd);
  const size_t flushed = calls.find("fsync(" + fd + ")", line_end);
  return flushed < reopened ? flushed : std::string::npos;
}

#endif  // FENNICK_TESTS_TOOLS_INGEST_TEST_SERVER_H_
