// The request on the wire, captured byte for byte from the built program, is the example in
// docs/protocol.md: the document cannot drift from what Fennick sends.
// FENNICK_UPDATE_PROTOCOL_DOC=1 writes a fresh capture into the document.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <thread>

#include "app/fennick_test.h"

namespace {

namespace fs = std::filesystem;

constexpr char kBeginMarker[] = "<!-- capture:begin -->\n```http\n";
constexpr char kEndMarker[] = "```\n<!-- capture:end -->";
constexpr size_t kDumpBytesShown = 16;

// A one-shot HTTP server on 127.0.0.1:5001 that keeps the raw bytes of the one request it
// takes, says "100 Continue" when asked, and accepts the report.
class CaptureServer {
 public:
  CaptureServer() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kIngestPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener_, 1), 0);
    thread_ = std::thread([this] { Serve(); });
  }
  ~CaptureServer() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  // The request, once the program has exited.
  std::string Request() const { return request_; }

 private:
  void Serve() {
    const int connection = accept(listener_, nullptr, nullptr);
    if (connection < 0) return;
    size_t header_end = std::string::npos;
    while ((header_end = request_.find("\r\n\r\n")) == std::string::npos && Receive(connection)) {
    }
    std::smatch length;
    const std::string headers = request_.substr(0, header_end);
    if (header_end == std::string::npos ||
        !std::regex_search(headers, length, std::regex("Content-Length: (\\d+)"))) {
      close(connection);
      return;
    }
    if (headers.find("Expect: 100-continue") != std::string::npos) {
      Send(connection, "HTTP/1.1 100 Continue\r\n\r\n");
    }
    const size_t total = header_end + 4 + std::stoul(length.str(1));
    while (request_.size() < total && Receive(connection)) {
    }
    Send(connection,
         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 10\r\n\r\n"
         "{\"code\":0}");
    close(connection);
  }
  bool Receive(int connection) {
    char buffer[65536];
    const ssize_t count = recv(connection, buffer, sizeof buffer, 0);
    if (count > 0) request_.append(buffer, static_cast<size_t>(count));
    return count > 0;
  }
  static void Send(int connection, const std::string& text) {
    send(connection, text.data(), text.size(), MSG_NOSIGNAL);
  }

  int listener_ = -1;
  std::thread thread_;
  std::string request_;
};

// The capture as the document shows it: lines end in a line feed, the random boundary and
// this machine's name are replaced by fixed texts (Content-Length follows the name), and
// the dump is cut after its first bytes.
std::string Normalize(std::string request, const std::string& dump) {
  request = std::regex_replace(request, std::regex("(-{24})[0-9a-f]{16}"), "$1a0b1c2d3e4f56789");
  std::smatch name;
  if (std::regex_search(request, name, std::regex("name=\"computer_name\"\r\n\r\n([^\r]*)\r\n"))) {
    const std::string host = name.str(1);
    const std::string shown = "BUILD-HOST";
    request.replace(static_cast<size_t>(name.position(1)), host.size(), shown);
    std::smatch length;
    std::regex_search(request, length, std::regex("Content-Length: (\\d+)"));
    const size_t fixed = std::stoul(length.str(1)) - host.size() + shown.size();
    request.replace(static_cast<size_t>(length.position(1)), length.length(1),
                    std::to_string(fixed));
  }
  const size_t at = request.find(dump);
  if (at != std::string::npos) {
    request.replace(at, dump.size(),
                    dump.substr(0, kDumpBytesShown) + "[... " +
                        std::to_string(dump.size() - kDumpBytesShown) +
                        " more bytes of the dump ...]");
  }
  return std::regex_replace(request, std::regex("\r\n"), "\n");
}

TEST_F(FennickTest, TheProtocolDocumentShowsTheRequestAsSent) {
  const std::string dump = "MDMP" + std::string(1020, '.');
  const std::string stem = "Ortivo_20261208_101530";
  WriteTestFile(dumps_ / (stem + ".dmp"), dump);
  WriteTestFile(
      Metadata(stem),
      R"({"schema_version":1,"dump_id":"0B5C9E2A-6D41-4F7E-A3C8-19D2E7F60B45",)"
      R"("dump_file":"Ortivo_20261208_101530.dmp","app_version":"3.2.1.45","session_id":"S-104",)"
      R"("uin":"20481937","lum_id":"7730142","pet_code":"P-0193","client_ts":1765188930123})");
  WriteTestFile(data_home_ / "Ortivo" / "Fennick" / "device_id.txt",
                "5F1C0B7E-2D44-4C1A-9E3B-8A6D2F917C30");
  std::string request;
  {
    CaptureServer server;
    ExpectRun({"--report", Metadata(stem)}, 0,
              Line("upload succeeded: ", dumps_ / (stem + ".dmp")));
    request = server.Request();
  }
  const std::string capture = Normalize(request, dump);

  const fs::path document = fs::path(FENNICK_SOURCE_DIR) / "docs" / "protocol.md";
  std::string text = ReadTestFile(document);
  const size_t begin = text.find(kBeginMarker);
  const size_t end = text.find(kEndMarker);
  ASSERT_NE(begin, std::string::npos) << document;
  ASSERT_NE(end, std::string::npos) << document;
  const size_t start = begin + std::string(kBeginMarker).size();
  if (std::getenv("FENNICK_UPDATE_PROTOCOL_DOC") != nullptr) {
    WriteTestFile(document, text.replace(start, end - start, capture));
    return;
  }
  EXPECT_EQ(text.substr(start, end - start), capture)
      << "docs/protocol.md no longer shows the request Fennick sends; rerun this test with "
         "FENNICK_UPDATE_PROTOCOL_DOC=1 to refresh it";
}

}  // namespace
