#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "http_server.h"
#include "ingest_test_server.h"
#include "support/temp_folder.h"

namespace {

std::string ToHex(size_t value) {
  char text[20];
  std::snprintf(text, sizeof text, "%zx", value);
  return text;
}

// A client that sends the start of a request and then only the bytes it is told to send.
class SlowClient {
 public:
  SlowClient(int port, std::string start) : socket_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 send(socket_, start.data(), start.size(), MSG_NOSIGNAL) ==
                     static_cast<ssize_t>(start.size());
    // No read or write waits for good, however slow the machine.
    const timeval limit{120, 0};
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  ~SlowClient() { close(socket_); }
  SlowClient(const SlowClient&) = delete;
  SlowClient& operator=(const SlowClient&) = delete;

  bool connected() const { return connected_; }
  void SendByte() const { Send("a"); }
  // False once the server has closed the connection.
  bool Send(std::string_view bytes) const {
    return send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  std::string Received() const {
    char buffer[256];
    const ssize_t count = recv(socket_, buffer, sizeof buffer, 0);
    return std::string(buffer, count > 0 ? static_cast<size_t>(count) : 0);
  }
  // Everything the server sends until it closes the connection.
  std::string ReceivedUntilClosed() const {
    std::string all;
    for (std::string part; !(part = Received()).empty();) all += part;
    return all;
  }
  // True once the server answered or closed the connection.
  bool Dropped() const {
    pollfd descriptor{socket_, POLLIN | POLLRDHUP, 0};
    return poll(&descriptor, 1, 0) > 0;
  }

 private:
  int socket_;
  bool connected_ = false;
};

TEST(IngestSlowClients, TricklingClientsKeepNoOneWaitingAndSlowHeadersAreCut) {
  TempFolder temp;
  IngestProcess server(temp / "store");
  std::vector<std::unique_ptr<SlowClient>> header_tricklers;
  std::vector<std::unique_ptr<SlowClient>> body_tricklers;
  // The bodies come first and would fill a pool of 16 threads by themselves; only the
  // request's deadline, far off, would free one.
  for (int i = 0; i < 16; ++i) {
    body_tricklers.push_back(std::make_unique<SlowClient>(
        server.port(), std::string("POST /api/report/crash HTTP/1.1\r\nX-Api-Key: ") +
                           kIngestApiKey +
                           "\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                           "Content-Length: 100000\r\n\r\n--b\r\n"));
    ASSERT_TRUE(body_tricklers.back()->connected());
  }
  for (int i = 0; i < 8; ++i) {
    header_tricklers.push_back(
        std::make_unique<SlowClient>(server.port(), "GET / HTTP/1.1\r\nX-Slow: "));
    ASSERT_TRUE(header_tricklers.back()->connected());
  }
  // A byte a second: never idle long enough to be dropped for silence, never done.
  std::atomic<bool> trickling = true;
  std::thread pump([&] {
    while (trickling) {
      for (auto& trickler : header_tricklers) trickler->SendByte();
      for (auto& trickler : body_tricklers) trickler->SendByte();
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  });

  httplib::Client client = server.Client();
  const httplib::Result upload =
      client.Post("/api/report/crash", {{"X-Api-Key", kIngestApiKey}}, ReportForm("IN-TIME"));
  const httplib::Result inbox = client.Get("/api/reports");
  ASSERT_TRUE(upload && inbox);
  EXPECT_EQ(upload->status, 200);
  EXPECT_NE(inbox->body.find("IN-TIME"), std::string::npos);
  // Both were answered while every trickled body was still held.
  for (auto& trickler : body_tricklers) EXPECT_FALSE(trickler->Dropped());

  // Headers that never end are cut at their deadline, long before this wait ends.
  const auto give_up = std::chrono::steady_clock::now() + kIngestPatience;
  auto cut = [&] {
    return std::count_if(header_tricklers.begin(), header_tricklers.end(),
                         [](const auto& trickler) { return trickler->Dropped(); });
  };
  while (cut() < 8 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(cut(), 8);
  trickling = false;
  pump.join();
}

// The start of an upload with the key whose body is still to come.
std::string KeyedUploadHeaders(size_t body_bytes, const std::string& more_headers = "") {
  return std::string("POST /api/report/crash HTTP/1.1\r\nX-Api-Key: ") + kIngestApiKey +
         "\r\nContent-Type: multipart/form-data; boundary=b\r\nContent-Length: " +
         std::to_string(body_bytes) + "\r\n" + more_headers + "\r\n";
}

TEST(IngestSlowClients, ConnectionsBeyondTheLimitOfHeldUploadsAreRefusedAtOnce) {
  TempFolder temp;
  IngestProcess server(temp / "store");
  // Uploads with the key hold their places from the moment their headers are in, which the
  // 100 Continue tells.
  std::vector<std::unique_ptr<SlowClient>> held;
  for (size_t i = 0; i < fennick_ingest::kMaxConnections; ++i) {
    held.push_back(std::make_unique<SlowClient>(
        server.port(), KeyedUploadHeaders(100000, "Expect: 100-continue\r\n")));
  }
  for (const auto& connection : held) {
    ASSERT_TRUE(connection->Received().starts_with("HTTP/1.1 100 "));
  }
  const SlowClient one_more(server.port(), "GET / HTTP/1.1\r\n");
  const std::string reply = one_more.Received();
  EXPECT_TRUE(reply.starts_with("HTTP/1.1 503 ")) << reply;
  EXPECT_TRUE(reply.ends_with("\r\n\r\n{\"code\":503}")) << reply;
  EXPECT_EQ(std::count_if(held.begin(), held.end(),
                          [](const auto& connection) { return connection->Dropped(); }),
            0);
}

TEST(IngestSlowClients, ClientsWithoutTheKeyCannotKeepAnUploadOut) {
  TempFolder temp;
  IngestProcess server(temp / "store");
  // Uploads without the key are answered before their bodies, which never come, and closed.
  for (const char* key_header : {"", "X-Api-Key: WRONG\r\n"}) {
    const SlowClient keyless(
        server.port(), std::string("POST /api/report/crash HTTP/1.1\r\n") + key_header +
                           "Content-Type: multipart/form-data; boundary=b\r\n"
                           "Content-Length: 100000\r\n\r\n--b\r\n");
    const std::string reply = keyless.ReceivedUntilClosed();
    EXPECT_TRUE(reply.starts_with("HTTP/1.1 401 ")) << reply;
    EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos) << reply;
    EXPECT_TRUE(reply.ends_with("{\"code\":401}")) << reply;
  }

  // Every place taken by clients whose headers never end, a byte a second.
  std::vector<std::unique_ptr<SlowClient>> tricklers;
  for (size_t i = 0; i < fennick_ingest::kMaxConnections; ++i) {
    tricklers.push_back(
        std::make_unique<SlowClient>(server.port(), "POST /api/report/crash HTTP/1.1\r\nX-S: "));
  }
  std::atomic<bool> trickling = true;
  std::thread pump([&] {
    while (trickling) {
      for (auto& trickler : tricklers) trickler->SendByte();
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  });
  httplib::Client client = server.Client();
  client.set_read_timeout(std::chrono::seconds(60));
  const httplib::Result upload =
      client.Post("/api/report/crash", {{"X-Api-Key", kIngestApiKey}}, ReportForm("AMID-THEM"));
  ASSERT_TRUE(upload) << httplib::to_string(upload.error());
  EXPECT_EQ(upload->status, 200);

  // Each trickler is dropped for a newcomer or cut at its header deadline.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  auto cut = [&] {
    return static_cast<size_t>(std::count_if(tricklers.begin(), tricklers.end(),
                                             [](const auto& trickler) { return trickler->Dropped(); }));
  };
  while (cut() < tricklers.size() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(cut(), tricklers.size());
  trickling = false;
  pump.join();
}

TEST(IngestSlowClients, ABodyBelowThePaceIsCutWith408) {
  TempFolder temp;
  IngestProcess server(temp / "store");
  const std::string body =
      "--b\r\nContent-Disposition: form-data; name=\"dump_id\"\r\n\r\nSLOW\r\n"
      "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.dmp\"\r\n\r\n" +
      std::string(640, 'x') + "\r\n--b--\r\n";
  const SlowClient slow(server.port(), KeyedUploadHeaders(body.size()));
  // 16 bytes a second: never silent, and whole in some 50 seconds, within the request's
  // deadline; but far below the pace a body must keep.
  for (size_t sent = 0; sent < body.size() && !slow.Dropped(); sent += 16) {
    slow.Send(std::string_view(body).substr(sent, 16));
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  const std::string reply = slow.ReceivedUntilClosed();
  EXPECT_TRUE(reply.starts_with("HTTP/1.1 408 ")) << reply;
  EXPECT_TRUE(reply.ends_with("{\"code\":408}")) << reply;
}

TEST(IngestSlowClients, AnUploadMayTakeLongerThanItsHeadersMay) {
  TempFolder temp;
  IngestProcess server(temp / "store");
  const std::string dump(1024 * 1024, 'd');
  const std::string body =
      "--b\r\nContent-Disposition: form-data; name=\"dump_id\"\r\n\r\nSLOW\r\n"
      "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"slow.dmp\"\r\n\r\n" +
      dump + "\r\n--b--\r\n";
  const SlowClient uploader(
      server.port(), std::string("POST /api/report/crash HTTP/1.1\r\nX-Api-Key: ") + kIngestApiKey +
                         "\r\nContent-Type: multipart/form-data; boundary=b\r\n"
                         "Content-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n");
  ASSERT_TRUE(uploader.connected());
  // 64 KiB a second, steadily: some 16 seconds, past the headers' deadline and well within
  // the request's.
  constexpr size_t kStep = 16 * 1024;
  for (size_t at = 0; at < body.size(); at += kStep) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    uploader.Send(std::string_view(body).substr(at, kStep));
  }
  const std::string reply = uploader.Received();
  EXPECT_TRUE(reply.starts_with("HTTP/1.1 200 ")) << reply;
  EXPECT_TRUE(ReadTestFile(temp / "store" / "SLOW" / "slow.dmp") == dump);
}

// Sends `start` and `body_bytes` more as a chunked body, 64 KiB a chunk, then its end; or
// as much of it as the server takes before it closes the connection.
void SendChunkedBody(const SlowClient& client, std::string_view start, size_t body_bytes) {
  const auto chunk = [](std::string_view bytes) {
    return ToHex(bytes.size()) + "\r\n" + std::string(bytes) + "\r\n";
  };
  const size_t chunk_bytes = std::min<size_t>(body_bytes, 64 * 1024);
  const std::string filler = chunk(std::string(chunk_bytes, 'x'));
  if (!start.empty() && !client.Send(chunk(start))) return;
  for (size_t sent = 0; sent < body_bytes; sent += chunk_bytes) {
    if (!client.Send(filler)) return;
  }
  client.Send("0\r\n\r\n");
}

// Requests whose bodies come chunked, which no Content-Length announces: to each route that
// takes its body whole, to addresses that take none, from a client the route refuses.
struct ChunkedRequest {
  const char* label;
  std::string headers;
  std::string body_start;
};

std::vector<ChunkedRequest> ChunkedRequests(const std::string& more_headers) {
  const std::string chunked = "Transfer-Encoding: chunked\r\n" + more_headers + "\r\n";
  const std::string form = "Content-Type: multipart/form-data; boundary=b\r\n" + chunked;
  const std::string dump_part =
      "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.dmp\"\r\n\r\nMDMP";
  return {
      {"no address", "POST /nowhere HTTP/1.1\r\nHost: 127.0.0.1\r\n" + chunked, ""},
      {"a GET", "GET /api/reports HTTP/1.1\r\nHost: 127.0.0.1\r\n" + chunked, ""},
      {"an upload without the key", "POST /api/report/crash HTTP/1.1\r\n" + form, dump_part},
      {"the state form from another host",
       "POST /groups/G/state HTTP/1.1\r\nHost: elsewhere.example\r\n" + chunked, "state="},
      {"the state form",
       "POST /groups/G/state HTTP/1.1\r\nHost: 127.0.0.1\r\n"
       "Content-Type: application/x-www-form-urlencoded\r\n" +
           chunked,
       "state="},
      {"an upload",
       std::string("POST /api/report/crash HTTP/1.1\r\nX-Api-Key: ") + kIngestApiKey + "\r\n" +
           form,
       dump_part},
  };
}

// The most memory the server held at once so far (VmHWM), in KiB.
size_t PeakMemoryKiB(int pid) {
  const std::string status = ReadTestFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmHWM:");
  return at == std::string::npos ? 0 : std::stoul(status.substr(at + 6));
}

TEST(IngestSlowClients, ChunkedBodiesTakeNoMoreMemoryThanSmallOnes) {
  TempFolder temp;
  IngestProcess server(temp / "store");
  // Each request once with a small body, so that whatever serving it takes is taken.
  for (const ChunkedRequest& request : ChunkedRequests("Connection: close\r\n")) {
    const SlowClient client(server.port(), request.headers);
    SendChunkedBody(client, request.body_start, 1024);
    EXPECT_FALSE(client.ReceivedUntilClosed().empty()) << request.label;
  }
  const size_t small_peak = PeakMemoryKiB(server.pid());
  ASSERT_GT(small_peak, 0u);

  // Then all at once with 300 MiB each: none may be held in memory, not even in part.
  constexpr size_t kHugeBody = size_t{300} << 20;
  std::vector<std::thread> senders;
  for (const ChunkedRequest& request : ChunkedRequests("")) {
    senders.emplace_back([&server, request] {
      const SlowClient client(server.port(), request.headers);
      SendChunkedBody(client, request.body_start, kHugeBody);
    });
  }
  for (std::thread& sender : senders) sender.join();
  // Connections' buffers and stacks, and the pages of the index: some MiB.
  constexpr size_t kAllowanceKiB = 32 * 1024;
  EXPECT_LE(PeakMemoryKiB(server.pid()), small_peak + kAllowanceKiB) << small_peak;
  PostReport(server, ReportForm("AFTER"), 200);
}

TEST(IngestSlowClients, ABodyPastItsRoutesLimitIsCutWith413AndItsConnectionClosed) {
  TempFolder temp;
  IngestProcess server(temp / "store");
  const std::vector<ChunkedRequest> requests = ChunkedRequests("");
  const std::pair<const ChunkedRequest&, size_t> cases[] = {
      {requests[4], 8 * 1024},           // the state form's limit
      {requests[5], 64 * 1024 * 1024}};  // a report's
  for (const auto& [request, limit] : cases) {
    SCOPED_TRACE(request.label);
    const SlowClient client(server.port(), request.headers);
    // Not much past it, so that the server has read the rest when it closes.
    SendChunkedBody(client, request.body_start, limit);
    const std::string reply = client.ReceivedUntilClosed();
    EXPECT_TRUE(reply.starts_with("HTTP/1.1 413 ")) << reply;
    EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos) << reply;
    EXPECT_TRUE(reply.ends_with("{\"code\":413}")) << reply;
  }
  EXPECT_TRUE(StoreEntries(temp / "store").empty());
}

}  // namespace
