#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/file_io.h"
#include "support/child_process.h"
#include "support/environment.h"
#include "support/stderr_capture.h"
#include "support/temp_folder.h"
#include "upload/crash_upload.h"

namespace {

constexpr int kTlsPort = 5443;

// A pinned key is known only once the test has made the server's key, so pinning is shown
// here, against fennick-ingest over HTTPS; the certificate checks of a built client are
// shown by https_delivery_test.sh on both platforms.
TEST(CrashUploadTlsTest, OnlyThePinnedKeyIsAccepted) {
  ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK);
  TempFolder folder;
  const std::filesystem::path tls = folder / "tls";
  ASSERT_EQ(RunProcess("/bin/sh", {FENNICK_SOURCE_DIR "/tests/support/make_test_certs.sh", tls})
                .exit_code,
            0);
  const ScopedEnvironment environment(FolderEnvironment(folder / "data"));
  const BackgroundProcess server(
      FENNICK_INGEST_EXE, {"--port", std::to_string(kTlsPort), "--store", folder / "store",
                           "--tls-cert", tls / "server.pem", "--tls-key", tls / "server.key"});
  ASSERT_TRUE(WaitForPort(kTlsPort));
  const std::string url = "https://localhost:" + std::to_string(kTlsPort) + "/api/report/crash";
  const std::string pin = ReadTestFile(tls / "server.pin").substr(0, 52);
  for (const auto& [pinned_key, log] : std::vector<std::pair<std::string, std::string>>{
           {pin, ""},
           {pin + ";sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", ""},
           {"sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", "upload failed, curl=90"}}) {
    WriteTestFile(folder / "a.dmp", MinidumpBytes(1000));
    CrashMetadata record;
    record.dump_path = folder / "a.dmp";
    record.dump_id = "pinned";
    StderrCapture capture;
    const bool sent = UploadCrashReportTo(record, {url, pinned_key, (tls / "ca.pem").string()});
    EXPECT_EQ(sent, log.empty()) << pinned_key;
    EXPECT_TRUE(capture.Text().starts_with(log.empty() ? "" : "[Fennick] " + log))
        << capture.Text();
  }
}

}  // namespace
