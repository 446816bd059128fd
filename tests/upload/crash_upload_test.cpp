#include "upload/crash_upload.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/host_facts.h"
#include "platform/host_name.h"
#include "platform/text_conversion.h"
#include "support/temp_folder.h"
#include "upload/reply_check.h"

namespace {

class CurlEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK); }
  void TearDown() override { curl_global_cleanup(); }
};

::testing::Environment* const kCurlEnvironment =
    ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

constexpr char kUploadPath[] = "/api/report/crash";
constexpr char kAcceptedReply[] = R"({"code":0})";

struct FormPart {
  std::string name;
  std::string filename;
  std::string content_type;
  std::string content;
};

struct ReceivedRequest {
  std::string method;
  std::string path;
  httplib::Headers headers;
  std::vector<FormPart> parts;
};

// An ingest server on a loopback port of the system's choosing. It answers every POST with
// the programmed reply and records each request's headers and form parts as they arrived.
class TestIngestServer {
 public:
  TestIngestServer() {
    server_.Post(".*", [this](const httplib::Request& request, httplib::Response& response,
                              const httplib::ContentReader& reader) {
      Record(request, reader);
      std::lock_guard lock(mutex_);
      response.status = reply_status_;
      response.headers = reply_headers_;
      response.body = reply_body_;
    });
    // A followed redirect would come back as a GET.
    server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard lock(mutex_);
      arrived_paths_.push_back(request.path);
      response.status = 404;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    EXPECT_GT(port_, 0);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~TestIngestServer() {
    server_.stop();
    thread_.join();
  }

  void SetReply(int status, std::string body, httplib::Headers headers = {}) {
    std::lock_guard lock(mutex_);
    reply_status_ = status;
    reply_body_ = std::move(body);
    reply_headers_ = std::move(headers);
  }
  int port() const { return port_; }
  std::string Url(const std::string& path = kUploadPath) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::vector<ReceivedRequest> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // The path of every request that reached the server, whatever its method.
  std::vector<std::string> arrived_paths() {
    std::lock_guard lock(mutex_);
    return arrived_paths_;
  }

 private:
  void Record(const httplib::Request& request, const httplib::ContentReader& reader) {
    ReceivedRequest received{request.method, request.path, request.headers, {}};
    reader(
        [&](const httplib::MultipartFormData& header) {
          received.parts.push_back({header.name, header.filename, header.content_type, ""});
          return true;
        },
        [&](const char* data, size_t size) {
          received.parts.back().content.append(data, size);
          return true;
        });
    std::lock_guard lock(mutex_);
    arrived_paths_.push_back(received.path);
    requests_.push_back(std::move(received));
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  std::mutex mutex_;
  int reply_status_ = 200;
  std::string reply_body_ = kAcceptedReply;
  httplib::Headers reply_headers_;
  std::vector<ReceivedRequest> requests_;
  std::vector<std::string> arrived_paths_;
};

std::vector<std::string> PartNames(const ReceivedRequest& request) {
  std::vector<std::string> names;
  for (const FormPart& part : request.parts) {
    names.push_back(part.name);
  }
  return names;
}

std::optional<FormPart> FindPart(const ReceivedRequest& request, const std::string& name) {
  for (const FormPart& part : request.parts) {
    if (part.name == name) {
      return part;
    }
  }
  return std::nullopt;
}

std::string Header(const ReceivedRequest& request, const std::string& name) {
  const auto found = request.headers.find(name);
  return found == request.headers.end() ? std::string() : found->second;
}

struct UploadRun {
  bool accepted;
  std::string log;  // What reached standard error during the upload.
};

class CrashUploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = getenv("XDG_DATA_HOME")) {
      saved_data_home_ = old;
    }
    setenv("XDG_DATA_HOME", (folder_ / "data").c_str(), 1);
  }
  void TearDown() override {
    if (saved_data_home_) {
      setenv("XDG_DATA_HOME", saved_data_home_->c_str(), 1);
    } else {
      unsetenv("XDG_DATA_HOME");
    }
  }

  // A record for a freshly written dump `file_name` holding `dump_bytes`.
  CrashMetadata MakeRecord(const std::string& file_name = "crash 01.dmp") {
    CrashMetadata record;
    record.dump_path = folder_ / file_name;
    record.metadata_path = folder_ / (file_name + ".crash.json");
    WriteTestFile(record.dump_path, dump_bytes_);
    record.dump_id = "5f0c2a9e-dump";
    record.app_version = "3.2.1.0";
    record.session_id = "session-77";
    record.uin = "100200300";
    record.lum_id = "lum-9";
    record.pet_code = "PET-4";
    record.process_name = "Ortivo.exe";
    record.client_ts = "1700000000123";
    return record;
  }

  // Runs the upload with standard error redirected into a file, to see the log lines.
  UploadRun Upload(const CrashMetadata& record, const std::string& url) {
    const std::filesystem::path log_file = folder_ / "stderr.txt";
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int redirected = open(log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(redirected, 0);
    dup2(redirected, STDERR_FILENO);
    close(redirected);
    const bool accepted = UploadCrashReportTo(record, url);
    dup2(saved, STDERR_FILENO);
    close(saved);
    return {accepted, ReadTestFile(log_file)};
  }

  // Uploads `record` to the test server; expects success and one request.
  ReceivedRequest UploadAccepted(const CrashMetadata& record) {
    const UploadRun run = Upload(record, server_.Url());
    EXPECT_TRUE(run.accepted);
    EXPECT_EQ(run.log, "");
    const std::vector<ReceivedRequest> requests = server_.requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? ReceivedRequest{} : requests.back();
  }

  static std::string UploadFailedLine(int curl_code, int status, const CrashMetadata& record) {
    return "[Fennick] upload failed, curl=" + std::to_string(curl_code) +
           ", http=" + std::to_string(status) + ", dump=" + record.dump_path.native() + "\n";
  }

  TempFolder folder_;
  TestIngestServer server_;
  std::string dump_bytes_ = MinidumpBytes(300000);
  std::optional<std::string> saved_data_home_;
};

TEST_F(CrashUploadTest, SendsTheDumpAndEveryFieldInOrder) {
  const CrashMetadata record = MakeRecord();
  const ReceivedRequest request = UploadAccepted(record);

  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, kUploadPath);
  EXPECT_EQ(Header(request, "X-Api-Key"), "QZVMTRA-PLKXNE-HDWQGS-5B1D7E9C03");
  EXPECT_EQ(Header(request, "User-Agent"), "Fennick/1.0");
  EXPECT_EQ(Header(request, "Content-Type").rfind("multipart/form-data; boundary=", 0), 0u);
  // The dump's size is declared up front rather than sent in chunks.
  EXPECT_FALSE(Header(request, "Content-Length").empty());
  EXPECT_EQ(Header(request, "Transfer-Encoding"), "");
  // The API key is the one header of our own; the rest are libcurl's and the server's.
  const std::set<std::string> known_headers = {
      "Accept",     "Content-Length", "Content-Type", "Expect",     "Host",     "LOCAL_ADDR",
      "LOCAL_PORT", "REMOTE_ADDR",    "REMOTE_PORT",  "User-Agent", "X-Api-Key"};
  for (const auto& [name, value] : request.headers) {
    EXPECT_TRUE(known_headers.count(name)) << "unexpected header " << name << ": " << value;
  }

  const std::string computer_name = WideToUtf8(ComputerName()).substr(0, 128);
  const std::string os_version = GetOsVersionText();
  std::vector<std::string> expected_names = {"file",       "dump_id", "device_id", "app_version",
                                             "session_id", "uin",     "lum_id",    "pet_code"};
  if (!os_version.empty()) {
    expected_names.push_back("os_version");
  }
  if (!computer_name.empty()) {
    expected_names.push_back("computer_name");
  }
  expected_names.insert(expected_names.end(), {"process_name", "client_ts"});
  EXPECT_EQ(PartNames(request), expected_names);

  const FormPart file = request.parts.at(0);
  EXPECT_EQ(file.filename, "crash 01.dmp");
  EXPECT_EQ(file.content_type, "application/octet-stream");
  EXPECT_TRUE(file.content == dump_bytes_) << "dump of " << file.content.size() << " bytes";

  const std::vector<std::pair<std::string, std::string>> expected_values = {
      {"dump_id", record.dump_id},
      {"app_version", record.app_version},
      {"session_id", record.session_id},
      {"uin", record.uin},
      {"lum_id", record.lum_id},
      {"pet_code", record.pet_code},
      {"os_version", os_version},
      {"computer_name", computer_name},
      {"process_name", record.process_name},
      {"client_ts", record.client_ts}};
  for (const auto& [name, value] : expected_values) {
    if (value.empty()) {
      continue;
    }
    const std::optional<FormPart> part = FindPart(request, name);
    ASSERT_TRUE(part.has_value()) << name;
    EXPECT_EQ(part->content, value) << name;
    EXPECT_EQ(part->filename, "") << name;
    EXPECT_EQ(part->content_type, "") << name;
  }
  const std::optional<FormPart> device_id = FindPart(request, "device_id");
  ASSERT_TRUE(device_id.has_value());
  EXPECT_EQ(device_id->content.size(), 36u) << device_id->content;
}

TEST_F(CrashUploadTest, NonAsciiDumpNameArrivesInUtf8) {
  const ReceivedRequest request = UploadAccepted(MakeRecord("crash \xC3\xA9t\xC3\xA9.dmp"));
  ASSERT_FALSE(request.parts.empty());
  EXPECT_EQ(request.parts[0].filename, "crash \xC3\xA9t\xC3\xA9.dmp");
}

struct LimitedField {
  const char* part_name;
  std::string CrashMetadata::*member;
  size_t limit;
};

const LimitedField kLimitedFields[] = {{"dump_id", &CrashMetadata::dump_id, 64},
                                       {"app_version", &CrashMetadata::app_version, 32},
                                       {"session_id", &CrashMetadata::session_id, 64},
                                       {"uin", &CrashMetadata::uin, 32},
                                       {"lum_id", &CrashMetadata::lum_id, 32},
                                       {"pet_code", &CrashMetadata::pet_code, 64},
                                       {"process_name", &CrashMetadata::process_name, 128}};

TEST_F(CrashUploadTest, ValuesAreCutToTheirByteLimits) {
  for (const size_t extra : {0u, 1u}) {
    SCOPED_TRACE("limit + " + std::to_string(extra));
    server_.SetReply(200, kAcceptedReply);
    CrashMetadata record = MakeRecord();
    char filler = 'a';
    for (const LimitedField& field : kLimitedFields) {
      // Each field gets its own letters, so a value sent under the wrong name shows.
      record.*field.member = std::string(field.limit, filler++) + std::string(extra, '#');
    }
    record.client_ts = std::string(700, '7');
    const std::vector<ReceivedRequest> before = server_.requests();
    const UploadRun run = Upload(record, server_.Url());
    EXPECT_TRUE(run.accepted);
    const std::vector<ReceivedRequest> requests = server_.requests();
    ASSERT_EQ(requests.size(), before.size() + 1);
    const ReceivedRequest& request = requests.back();
    filler = 'a';
    for (const LimitedField& field : kLimitedFields) {
      const std::optional<FormPart> part = FindPart(request, field.part_name);
      ASSERT_TRUE(part.has_value()) << field.part_name;
      EXPECT_EQ(part->content, std::string(field.limit, filler++)) << field.part_name;
    }
    const std::optional<FormPart> client_ts = FindPart(request, "client_ts");
    ASSERT_TRUE(client_ts.has_value());
    EXPECT_EQ(client_ts->content, record.client_ts);
  }
}

TEST_F(CrashUploadTest, CutMaySplitAMultiByteCharacter) {
  CrashMetadata record = MakeRecord();
  record.pet_code = std::string(63, 'p') + "\xC3\xA9";
  const ReceivedRequest request = UploadAccepted(record);
  const std::optional<FormPart> part = FindPart(request, "pet_code");
  ASSERT_TRUE(part.has_value());
  EXPECT_EQ(part->content, std::string(63, 'p') + "\xC3");
}

TEST_F(CrashUploadTest, EmptyValuesAreLeftOut) {
  CrashMetadata record = MakeRecord();
  record.uin.clear();
  record.app_version.clear();
  const ReceivedRequest request = UploadAccepted(record);
  const std::vector<std::string> names = PartNames(request);
  EXPECT_FALSE(FindPart(request, "uin").has_value());
  EXPECT_FALSE(FindPart(request, "app_version").has_value());
  const auto session = std::find(names.begin(), names.end(), "session_id");
  ASSERT_NE(session, names.end());
  ASSERT_NE(session + 1, names.end());
  EXPECT_EQ(*(session + 1), "lum_id");
  EXPECT_EQ(FindPart(request, "session_id")->content, record.session_id);
  EXPECT_EQ(FindPart(request, "lum_id")->content, record.lum_id);
}

TEST_F(CrashUploadTest, UnreachableServerFailsWithTheConnectError) {
  int closed_port = 0;
  {
    TestIngestServer gone;
    closed_port = gone.port();
  }
  const CrashMetadata record = MakeRecord();
  const UploadRun run =
      Upload(record, "http://127.0.0.1:" + std::to_string(closed_port) + kUploadPath);
  EXPECT_FALSE(run.accepted);
  EXPECT_EQ(run.log, UploadFailedLine(CURLE_COULDNT_CONNECT, 0, record));
}

TEST_F(CrashUploadTest, AnyStatusButOkFails) {
  const CrashMetadata record = MakeRecord();
  for (const int status : {201, 204, 302}) {
    SCOPED_TRACE(status);
    httplib::Headers headers;
    if (status == 302) {
      headers.emplace("Location", server_.Url("/elsewhere"));
    }
    server_.SetReply(status, kAcceptedReply, headers);
    const UploadRun run = Upload(record, server_.Url());
    EXPECT_FALSE(run.accepted);
    EXPECT_EQ(run.log, UploadFailedLine(0, status, record));
  }
  // The redirect was not followed.
  const std::vector<std::string> paths = server_.arrived_paths();
  EXPECT_EQ(paths, std::vector<std::string>(3, kUploadPath));
}

TEST_F(CrashUploadTest, RefusedReplyFails) {
  const CrashMetadata record = MakeRecord();
  for (const std::string body : {R"({"code":1})", "", R"({"code":4294967296})"}) {
    SCOPED_TRACE(body);
    server_.SetReply(200, body);
    const UploadRun run = Upload(record, server_.Url());
    EXPECT_FALSE(run.accepted);
    EXPECT_EQ(run.log, "[Fennick] server returned invalid response for: " +
                           record.dump_path.native() + "\n");
  }
}

TEST_F(CrashUploadTest, ReplyOfExactlyTheCapIsJudgedOneMoreByteFails) {
  const CrashMetadata record = MakeRecord();
  std::string reply = kAcceptedReply;
  reply.resize(kMaxReplyBytes, ' ');
  server_.SetReply(200, reply);
  const UploadRun whole = Upload(record, server_.Url());
  EXPECT_TRUE(whole.accepted);
  EXPECT_EQ(whole.log, "");

  server_.SetReply(200, reply + " ");
  const UploadRun run = Upload(record, server_.Url());
  EXPECT_FALSE(run.accepted);
  EXPECT_EQ(run.log, UploadFailedLine(CURLE_WRITE_ERROR, 0, record));
}

TEST_F(CrashUploadTest, DumpThatFailsItsCheckIsNotSent) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> dumps = {
      {"missing.dmp", std::nullopt},
      {"empty.dmp", ""},
      {"bad-signature.dmp", "MDMX" + std::string(100, 'x')},
      {"lower-case.dmp", "mdmp" + std::string(100, 'x')}};
  for (const auto& [name, content] : dumps) {
    SCOPED_TRACE(name);
    CrashMetadata record = MakeRecord();
    record.dump_path = folder_ / name;
    if (content) {
      WriteTestFile(record.dump_path, *content);
    }
    const UploadRun run = Upload(record, server_.Url());
    EXPECT_FALSE(run.accepted);
    EXPECT_EQ(run.log, "[Fennick] invalid or oversized dump: " + record.dump_path.native() + "\n");
  }
  EXPECT_TRUE(server_.arrived_paths().empty());
}

}  // namespace
