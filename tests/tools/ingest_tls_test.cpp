#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "http_server.h"
#include "ingest_test_server.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

// A fresh test CA, certificates and keys (see make_test_certs.sh) in a temporary folder.
class IngestTlsTest : public ::testing::Test {
 protected:
  IngestTlsTest() {
    // OpenSSL writes to a socket the server may have closed; that must fail the write, not
    // end the tests.
    signal(SIGPIPE, SIG_IGN);
    const ProcessOutput made = RunProcess(
        "/bin/sh", {fs::path(FENNICK_SOURCE_DIR) / "tests/support/make_test_certs.sh", certs_});
    EXPECT_EQ(made.exit_code, 0) << made.standard_error;
  }

  std::vector<std::string> TlsOptions(const std::string& certificate = "server.pem",
                                      const std::string& key = "server.key") const {
    return {"--tls-cert", certs_ / certificate, "--tls-key", certs_ / key};
  }
  // A client that trusts the test CA alone and checks that the certificate names 127.0.0.1.
  void Trust(httplib::SSLClient& client) const {
    client.set_ca_cert_path((certs_ / "ca.pem").string());
    client.enable_server_certificate_verification(true);
    client.set_read_timeout(kIngestPatience);
    client.set_write_timeout(kIngestPatience);
  }
  // The server started with `options` (the refusals exit before serving).
  ProcessOutput Run(std::vector<std::filesystem::path> options) const {
    options.insert(options.begin(), {"--port", "0", "--store", temp_ / "store"});
    return RunProcess(FENNICK_INGEST_EXE, options);
  }

  TempFolder temp_;
  const fs::path certs_ = temp_ / "certs";
};

TEST_F(IngestTlsTest, ServesUploadsAndTheInboxOverHttpsAndNothingOverPlainHttp) {
  IngestProcess server(temp_ / "store", TlsOptions());
  EXPECT_NE(server.Log().find("inbox at https://127.0.0.1:" + std::to_string(server.port()) + "/"),
            std::string::npos)
      << server.Log();
  httplib::SSLClient client("127.0.0.1", server.port());
  Trust(client);
  const httplib::Result upload =
      client.Post("/api/report/crash", {{"X-Api-Key", kIngestApiKey}}, ReportForm("OVER-TLS"));
  ASSERT_TRUE(upload) << httplib::to_string(upload.error());
  EXPECT_EQ(upload->status, 200);
  const httplib::Result reports = client.Get("/api/reports");
  const httplib::Result inbox = client.Get("/");
  ASSERT_TRUE(reports && inbox);
  EXPECT_NE(reports->body.find("OVER-TLS"), std::string::npos) << reports->body;
  EXPECT_EQ(inbox->status, 200);

  // The state form's own origin is https; the http one is another site's. Neither form
  // carries the token, so the request goes no further than that check.
  const auto refusal = [&](const std::string& scheme) {
    const httplib::Result res = client.Post(
        "/groups/X/state", {{"Origin", scheme + "://127.0.0.1:" + std::to_string(server.port())}},
        httplib::Params{{"state", "resolved"}});
    return res ? res->body : httplib::to_string(res.error());
  };
  EXPECT_NE(refusal("https").find("does not carry this server's token"), std::string::npos);
  EXPECT_NE(refusal("http").find("came from another origin"), std::string::npos);

  const httplib::Result plain = server.Client().Get("/api/reports");
  EXPECT_FALSE(plain) << plain->status;
}

TEST_F(IngestTlsTest, RefusesAnExposedOrMismatchedKeyAndOneOptionAlone) {
  const std::string key = (certs_ / "server.key").string();
  for (const fs::perms exposure : {fs::perms::group_read, fs::perms::others_read,
                                   fs::perms::group_read | fs::perms::others_read}) {
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | exposure;
    SCOPED_TRACE(testing::Message() << "mode " << std::oct << static_cast<int>(mode));
    fs::permissions(key, mode, fs::perm_options::replace);
    const ProcessOutput exposed = Run({"--tls-cert", certs_ / "server.pem", "--tls-key", key});
    EXPECT_EQ(exposed.exit_code, 1);
    EXPECT_NE(exposed.standard_error.find("the TLS key " + key +
                                          " can be read by other users; make it readable by its "
                                          "owner only (chmod 600 " +
                                          key + ")"),
              std::string::npos)
        << exposed.standard_error;
    EXPECT_EQ(exposed.standard_error.find("listening on"), std::string::npos);
  }
  fs::permissions(key, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);

  const ProcessOutput mismatched =
      Run({"--tls-cert", certs_ / "server.pem", "--tls-key", certs_ / "other-ca.key"});
  EXPECT_EQ(mismatched.exit_code, 1);
  EXPECT_NE(mismatched.standard_error.find("does not match the certificate"), std::string::npos)
      << mismatched.standard_error;
  const ProcessOutput missing = Run({"--tls-cert", certs_ / "none.pem", "--tls-key", key});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.standard_error.find("cannot load the TLS certificate"), std::string::npos)
      << missing.standard_error;

  for (const char* alone : {"--tls-cert", "--tls-key"}) {
    const ProcessOutput usage = Run({alone, key});
    EXPECT_EQ(usage.exit_code, 2) << alone;
    EXPECT_TRUE(usage.standard_error.starts_with("Usage: ")) << alone;
  }
}

// Opens a TCP connection and starts a TLS record of 512 bytes, which it never finishes.
int StartHandshakeRecord(int port) {
  const int sock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  constexpr char kRecordStart[] = "\x16\x03\x01\x02\x00\x01";
  if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      send(sock, kRecordStart, sizeof kRecordStart - 1, MSG_NOSIGNAL) < 0) {
    ADD_FAILURE() << "cannot connect to the server";
  }
  return sock;
}

TEST_F(IngestTlsTest, HandshakesThatNeverEndKeepNoUploadOutAndAreCut) {
  IngestProcess server(temp_ / "store", TlsOptions());
  // Every place taken by handshakes that trickle in a byte a second: never silent long
  // enough to be dropped for it.
  std::vector<int> tricklers;
  for (size_t i = 0; i < fennick_ingest::kMaxConnections; ++i) {
    tricklers.push_back(StartHandshakeRecord(server.port()));
  }
  std::atomic<bool> trickling = true;
  std::thread pump([&] {
    while (trickling) {
      for (int sock : tricklers) send(sock, "x", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  });
  httplib::SSLClient client("127.0.0.1", server.port());
  Trust(client);
  const httplib::Result upload =
      client.Post("/api/report/crash", {{"X-Api-Key", kIngestApiKey}}, ReportForm("AMID-THEM"));
  EXPECT_EQ(upload ? upload->status : 0, 200) << httplib::to_string(upload.error());

  // Each is dropped for a newcomer or cut at the header deadline.
  const auto give_up = std::chrono::steady_clock::now() + kIngestPatience;
  auto cut = [&] {
    return static_cast<size_t>(std::count_if(tricklers.begin(), tricklers.end(), [](int sock) {
      pollfd descriptor{sock, POLLIN | POLLRDHUP, 0};
      return poll(&descriptor, 1, 0) > 0;
    }));
  };
  while (cut() < tricklers.size() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(cut(), tricklers.size());
  trickling = false;
  pump.join();
  for (int sock : tricklers) close(sock);
}

}  // namespace
