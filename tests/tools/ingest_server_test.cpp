#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr char kApiKey[] = "QZVMTRA-PLKXNE-HDWQGS-5B1D7E9C03";
constexpr size_t kFiftyMiB = 50 * 1024 * 1024;

struct FormPart {
  std::string name;
  std::string value;
  std::string file_name;  // set only for the dump part
};

struct Upload {
  std::vector<FormPart> parts;
  std::optional<std::string> api_key = kApiKey;
  std::string path = "/api/report/crash";
  bool expect_continue = false;
};

struct Reply {
  long status = 0;
  std::string content_type;
  std::string body;
  std::string headers;  // every header line received, interim responses included
};

size_t AppendTo(char* data, size_t size, size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

// Bytes without a short period, so that a misplaced chunk cannot pass for the right one.
std::string RandomBytes(size_t size) {
  std::mt19937_64 generator(20240501);
  std::string bytes(size, '\0');
  for (size_t at = 0; at < size; at += sizeof(uint64_t)) {
    uint64_t word = generator();
    std::memcpy(bytes.data() + at, &word, std::min(sizeof word, size - at));
  }
  return bytes;
}

::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << part << "\" not in:\n" << text;
}

// Relative paths of every regular file under `root`.
std::set<std::string> FilesUnder(const fs::path& root) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files.insert(entry.path().lexically_relative(root).string());
  }
  return files;
}

std::vector<FormPart> ReportForm(const std::string& dump_id, const std::string& file_name,
                                 const std::string& dump) {
  return {{"file", dump, file_name}, {"dump_id", dump_id, ""}};
}

class IngestServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<BackgroundProcess>(
        FENNICK_INGEST_EXE, std::vector<std::string>{"--port", "0", "--store", store_.string()});
    port_ = ReadListeningPort();
    ASSERT_GT(port_, 0) << server_->StandardError();
  }

  // The server's standard error once it holds `text` (it logs a request just after replying),
  // or what it holds when the wait is given up.
  std::string WaitForLog(std::string_view text) const {
    std::string log = server_->StandardError();
    for (int attempt = 0; attempt < 250 && log.find(text) == std::string::npos; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      log = server_->StandardError();
    }
    return log;
  }

  int ReadListeningPort() const {
    constexpr std::string_view kMarker = "listening on 127.0.0.1:";
    std::string log = WaitForLog(", store ");
    size_t at = log.find(kMarker);
    return at == std::string::npos ? -1 : std::atoi(log.c_str() + at + kMarker.size());
  }

  Reply Send(const Upload& upload) const {
    Reply reply;
    std::unique_ptr<CURL, void (*)(CURL*)> easy(curl_easy_init(), curl_easy_cleanup);
    std::unique_ptr<curl_mime, void (*)(curl_mime*)> form(curl_mime_init(easy.get()),
                                                          curl_mime_free);
    for (const FormPart& part : upload.parts) {
      curl_mimepart* added = curl_mime_addpart(form.get());
      curl_mime_name(added, part.name.c_str());
      curl_mime_data(added, part.value.data(), part.value.size());
      if (!part.file_name.empty()) {
        curl_mime_filename(added, part.file_name.c_str());
        curl_mime_type(added, "application/octet-stream");
      }
    }
    curl_slist* raw_headers = nullptr;
    if (upload.api_key)
      raw_headers = curl_slist_append(raw_headers, ("X-Api-Key: " + *upload.api_key).c_str());
    if (upload.expect_continue)
      raw_headers = curl_slist_append(raw_headers, "Expect: 100-continue");
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(raw_headers, curl_slist_free_all);
    std::string url = "http://127.0.0.1:" + std::to_string(port_) + upload.path;
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(easy.get(), CURLOPT_MIMEPOST, form.get());
    curl_easy_setopt(easy.get(), CURLOPT_USERAGENT, "Fennick/1.0");
    curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, AppendTo);
    curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(easy.get(), CURLOPT_HEADERFUNCTION, AppendTo);
    curl_easy_setopt(easy.get(), CURLOPT_HEADERDATA, &reply.headers);
    EXPECT_EQ(curl_easy_perform(easy.get()), CURLE_OK);
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &reply.status);
    const char* content_type = nullptr;
    curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_TYPE, &content_type);
    if (content_type != nullptr) reply.content_type = content_type;
    return reply;
  }

  static void ExpectCodeReply(const Reply& reply, long status) {
    EXPECT_EQ(reply.status, status);
    EXPECT_EQ(reply.content_type, "application/json");
    EXPECT_EQ(json::parse(reply.body, nullptr, false), json({{"code", status == 200 ? 0 : status}}))
        << reply.body;
  }

  TempFolder temp_;
  fs::path store_ = temp_ / "store";
  std::unique_ptr<BackgroundProcess> server_;
  int port_ = -1;
};

TEST_F(IngestServerTest, StoresDumpAndEveryField) {
  const std::string dump = RandomBytes(4096);
  const std::vector<std::pair<std::string, std::string>> fields = {
      {"dump_id", "D-1"},
      {"device_id", "DEV"},
      {"app_version", "1.2.3.4"},
      {"session_id", "S"},
      {"uin", "42"},
      {"lum_id", "L"},
      {"pet_code", "P"},
      {"os_version", "Windows 10.0.19045"},
      {"computer_name", "HOST"},
      {"process_name", "Ortivo.exe"},
      {"client_ts", "1714567890123"}};
  Upload upload;
  upload.parts.push_back({"file", dump, "crash.dmp"});
  for (const auto& [name, value] : fields) upload.parts.push_back({name, value, ""});

  ExpectCodeReply(Send(upload), 200);

  EXPECT_EQ(FilesUnder(store_), (std::set<std::string>{"D-1/crash.dmp", "D-1/report.json"}));
  EXPECT_EQ(ReadTestFile(store_ / "D-1" / "crash.dmp"), dump);
  json report = json::parse(ReadTestFile(store_ / "D-1" / "report.json"), nullptr, false);
  for (const auto& [name, value] : fields) EXPECT_EQ(report["fields"][name], value) << name;
  EXPECT_EQ(report["fields"].size(), fields.size());
  EXPECT_EQ(report["dump_bytes"], dump.size());
  EXPECT_EQ(report["user_agent"], "Fennick/1.0");
  EXPECT_TRUE(report["peer"].get<std::string>().starts_with("127.0.0.1:"));
  EXPECT_GT(report["received_ms"].get<int64_t>(), 0);
  std::string log = WaitForLog("dump_id=D-1 bytes=4096");
  EXPECT_TRUE(Contains(log, "POST /api/report/crash 200 peer=127.0.0.1:"));
  EXPECT_TRUE(Contains(log, "dump_id=D-1 bytes=4096"));

  // A report sent again (after a failed delete on the client) replaces the stored one.
  ExpectCodeReply(Send(Upload{ReportForm("D-1", "again.dmp", "MDMP-again")}), 200);
  EXPECT_EQ(FilesUnder(store_), (std::set<std::string>{"D-1/again.dmp", "D-1/report.json"}));
  EXPECT_EQ(ReadTestFile(store_ / "D-1" / "again.dmp"), "MDMP-again");
}

TEST_F(IngestServerTest, RefusesWrongKeyOrOtherPathAndStoresNothing) {
  const std::vector<FormPart> form = ReportForm("K", "k.dmp", "MDMP");
  ExpectCodeReply(Send(Upload{form, std::nullopt}), 401);
  ExpectCodeReply(Send(Upload{form, "WRONG"}), 401);
  ExpectCodeReply(Send(Upload{form, kApiKey, "/api/report/other"}), 404);
  EXPECT_TRUE(fs::is_empty(store_));
}

TEST_F(IngestServerTest, RefusesIncompleteFormOrUnsafeDumpId) {
  const std::vector<std::pair<std::string, std::vector<FormPart>>> cases = {
      {"no file part", {{"dump_id", "A", ""}}},
      {"no dump_id", {{"file", "MDMP", "a.dmp"}}},
      {"parent", ReportForm("../x", "a.dmp", "MDMP")},
      {"slash", ReportForm("a/b", "a.dmp", "MDMP")},
      {"empty", ReportForm("", "a.dmp", "MDMP")},
      {"65 characters", ReportForm(std::string(65, 'a'), "a.dmp", "MDMP")},
  };
  for (const auto& [label, parts] : cases) {
    SCOPED_TRACE(label);
    ExpectCodeReply(Send(Upload{parts}), 400);
  }
  EXPECT_TRUE(fs::is_empty(store_));
  EXPECT_TRUE(FilesUnder(temp_.path()).empty());
}

TEST_F(IngestServerTest, KeepsUploadedFileNameInsideTheDumpFolder) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"../../evil.dmp", "evil.dmp"}, {"a\\b.dmp", "b.dmp"},       {"..", "dump.dmp"},
      {"report.json", "dump.dmp"},    {"bell\a.dmp", "bell_.dmp"},
  };
  std::set<std::string> expected;
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string dump_id = "N" + std::to_string(i);
    ExpectCodeReply(Send(Upload{ReportForm(dump_id, cases[i].first, "MDMP")}), 200);
    expected.insert("store/" + dump_id + "/" + cases[i].second);
    expected.insert("store/" + dump_id + "/report.json");
  }
  EXPECT_EQ(FilesUnder(temp_.path()), expected);
}

TEST_F(IngestServerTest, StoresFiftyMiBSentWithExpectContinue) {
  const std::string dump = RandomBytes(kFiftyMiB);
  Upload upload{ReportForm("BIG", "big.dmp", dump)};
  upload.expect_continue = true;
  Reply reply = Send(upload);
  ExpectCodeReply(reply, 200);
  EXPECT_TRUE(Contains(reply.headers, "HTTP/1.1 100 Continue"));
  EXPECT_TRUE(ReadTestFile(store_ / "BIG" / "big.dmp") == dump);
}

TEST_F(IngestServerTest, RefusesDumpOverFiftyMiB) {
  ExpectCodeReply(Send(Upload{ReportForm("HUGE", "huge.dmp", std::string(kFiftyMiB + 1, 'x'))}),
                  413);
  EXPECT_TRUE(fs::is_empty(store_));
}

TEST_F(IngestServerTest, ExitsWithZeroOnSigterm) { EXPECT_EQ(server_->Stop(), 0); }

TEST(IngestServerCommandLine, HelpNamesEveryOptionAndBadOptionsExitWithTwo) {
  ProcessOutput help = RunProcess(FENNICK_INGEST_EXE, {"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* text : {"--address", "--port", "--store", "--help", "not the production"}) {
    EXPECT_TRUE(Contains(help.standard_output, text));
  }
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--bogus"}, {"--port", "70000"}, {"--store"}}) {
    ProcessOutput bad = RunProcess(FENNICK_INGEST_EXE, args);
    EXPECT_EQ(bad.exit_code, 2) << args[0];
    EXPECT_TRUE(Contains(bad.standard_error, "--store FOLDER"));
  }
}

}  // namespace
