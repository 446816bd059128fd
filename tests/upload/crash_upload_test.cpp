#include "upload/crash_upload.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host/host_facts.h"
#include "support/environment.h"
#include "support/stderr_capture.h"
#include "support/temp_folder.h"
#include "support/test_ingest_server.h"
#include "upload/reply_check.h"

namespace {

using Record = CrashMetadata;
std::string Repeat(size_t count, char c) { return std::string(count, c); }

// The content of the part `name`, or "(none)" when the upload has no such part.
std::string Sent(const ReceivedUpload& upload, const char* name) {
  return upload.Find(name) ? upload.Find(name)->content : "(none)";
}

// Every part of a full upload in body order. "os_version" is sent only where the host has
// an OS version text (Windows), and then with that text.
std::vector<std::string> AllPartNames() {
  std::vector<std::string> names = {"file",       "dump_id", "device_id", "app_version",
                                    "session_id", "uin",     "lum_id",    "pet_code"};
  if (!GetOsVersionText().empty()) names.push_back("os_version");
  for (const char* name : {"computer_name", "process_name", "client_ts"}) names.push_back(name);
  return names;
}

// The upload's result and what it logged.
std::pair<bool, std::string> Send(const CrashMetadata& record, const std::string& url) {
  StderrCapture capture;
  return {UploadCrashReportTo(record, {url, "", ""}), capture.Text()};
}

struct CrashUploadTest : ::testing::Test {
  static void SetUpTestSuite() { ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK); }

  CrashMetadata MakeRecord() {
    WriteTestFile(folder_ / "crash 01.dmp", dump_);
    // The texts in declaration order, dump_id to client_ts; no metadata file.
    return {"",           folder_ / "crash 01.dmp",
            "dump-1",     "3.2.1.0",
            "session-77", "100200300",
            "lum-9",      "PET-4",
            "Ortivo.exe", "1700000000123"};
  }

  TempFolder folder_;
  // The device id file is created under this folder rather than the user's own.
  ScopedEnvironment environment_{FolderEnvironment(folder_ / "data")};
  TestIngestServer server_;
  std::string dump_ = MinidumpBytes(300000);
};

TEST_F(CrashUploadTest, SendsTheDumpAndEveryFieldInOrder) {
  EXPECT_EQ(Send(MakeRecord(), server_.url()), std::make_pair(true, std::string()));
  ASSERT_EQ(server_.Uploads().size(), 1u);
  const ReceivedUpload upload = server_.Uploads()[0];
  EXPECT_EQ(upload.method + " " + upload.path, "POST /api/report/crash");
  httplib::Request headers;  // for its header lookup
  headers.headers = upload.headers;
  EXPECT_EQ(headers.get_header_value("X-Api-Key"), "QZVMTRA-PLKXNE-HDWQGS-5B1D7E9C03");
  EXPECT_EQ(headers.get_header_value("User-Agent"), "Fennick/1.0");
  EXPECT_EQ(upload.PartNames(), AllPartNames());
  EXPECT_EQ(Sent(upload, "os_version"), GetOsVersionText().empty() ? "(none)" : GetOsVersionText());
  EXPECT_EQ(upload.parts.at(0).filename, "crash 01.dmp");
  EXPECT_EQ(upload.parts.at(0).content_type, "application/octet-stream");
  EXPECT_TRUE(upload.parts.at(0).content == dump_) << "the dump arrived changed";
  for (size_t i = 1; i < upload.parts.size(); ++i) EXPECT_EQ(upload.parts[i].filename, "") << i;
  EXPECT_EQ(Sent(upload, "device_id").size(), 36u);
}

TEST_F(CrashUploadTest, AServerThatRepliesAfterTwelveSecondsIsWaitedFor) {
  // Longer than the 10-second connect limit, well within the 60 seconds of the transfer.
  server_.SetOnUpload(
      [](const ReceivedUpload&) { std::this_thread::sleep_for(std::chrono::seconds(12)); });
  EXPECT_EQ(Send(MakeRecord(), server_.url()), std::make_pair(true, std::string()));
}

TEST_F(CrashUploadTest, ABodyOverOneMebibyteAsksToContinue) {
  for (const auto& [dump_bytes, expect] :
       std::vector<std::pair<size_t, std::string>>{{300000, ""}, {2 << 20, "100-continue"}}) {
    dump_ = MinidumpBytes(dump_bytes);
    ASSERT_TRUE(Send(MakeRecord(), server_.url()).first);
    httplib::Request headers;  // for its header lookup
    headers.headers = server_.Uploads().back().headers;
    EXPECT_EQ(headers.get_header_value("Expect"), expect) << dump_bytes;
  }
}

TEST_F(CrashUploadTest, ValuesAreCutToTheirByteLimits) {
  // Each field is set alone to `value`, then to one byte more; the first `limit` bytes arrive,
  // and an empty value sends no part at all.
  for (const auto& [member, part, value, limit] :
       std::vector<std::tuple<std::string Record::*, const char*, std::string, size_t>>{
           {&Record::dump_id, "dump_id", Repeat(64, 'd'), 64},
           {&Record::app_version, "app_version", Repeat(32, 'a'), 32},
           {&Record::session_id, "session_id", Repeat(64, 's'), 64},
           {&Record::uin, "uin", Repeat(32, 'u'), 32},
           {&Record::lum_id, "lum_id", Repeat(32, 'l'), 32},
           {&Record::pet_code, "pet_code", Repeat(64, 'p'), 64},
           {&Record::pet_code, "pet_code", Repeat(63, 'p') + "\xC3\xA9", 64},
           {&Record::process_name, "process_name", Repeat(128, 'n'), 128},
           {&Record::client_ts, "client_ts", Repeat(700, '7'), std::string::npos},
           {&Record::uin, "uin", "", 32}}) {
    for (const std::string& tried : {value, value + "#"}) {
      SCOPED_TRACE(std::string(part) + " of " + std::to_string(tried.size()) + " bytes");
      CrashMetadata record = MakeRecord();
      record.*member = tried;
      ASSERT_TRUE(Send(record, server_.url()).first);
      const ReceivedUpload upload = server_.Uploads().back();
      EXPECT_EQ(upload.parts.size(), AllPartNames().size() - (tried.empty() ? 1 : 0));
      EXPECT_EQ(Sent(upload, part), tried.empty() ? "(none)" : tried.substr(0, limit));
    }
  }
}

TEST_F(CrashUploadTest, EachFailureLogsOneLine) {
  const std::string closed_url = "http://127.0.0.1:" + std::to_string(TestIngestServer().port());
  const std::string at_cap = R"({"code":0})" + Repeat(kMaxReplyBytes - 10, ' ');
  // Status 0: no server listens. An empty dump: the file is missing. The log line is the text
  // before the dump path, empty when the upload succeeds. Requests: how many reached the server
  // (a followed redirect would add one).
  for (const auto& [status, reply, dump, log, requests] :
       std::vector<std::tuple<int, std::string, std::string, std::string, size_t>>{
           {0, "", dump_, "upload failed, curl=7, http=0, dump=", 0},
           {201, R"({"code":0})", dump_, "upload failed, curl=0, http=201, dump=", 1},
           {204, "", dump_, "upload failed, curl=0, http=204, dump=", 1},
           {302, R"({"code":0})", dump_, "upload failed, curl=0, http=302, dump=", 1},
           {200, R"({"code":1})", dump_, "server returned invalid response for: ", 1},
           {200, at_cap + " ", dump_, "upload failed, curl=23, http=0, dump=", 1},
           {200, at_cap, dump_, "", 1},
           {200, R"({"code":0})", "", "invalid or oversized dump: ", 0},
           {200, R"({"code":0})", "MDMX" + Repeat(100, 'x'), "invalid or oversized dump: ", 0}}) {
    TestIngestServer server;
    server.SetReply(status, reply, {{"Location", server.url()}});
    CrashMetadata record = MakeRecord();
    std::filesystem::remove(record.dump_path);
    if (!dump.empty()) WriteTestFile(record.dump_path, dump);
    const std::string line = "[Fennick] " + log + Utf8(record.dump_path) + "\n";
    EXPECT_EQ(Send(record, status == 0 ? closed_url : server.url()),
              std::make_pair(log.empty(), log.empty() ? "" : line));
    EXPECT_EQ(server.Uploads().size(), requests) << status << " " << log;
  }
}

}  // namespace
