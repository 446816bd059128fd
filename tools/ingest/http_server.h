#ifndef FENNICK_TOOLS_INGEST_HTTP_SERVER_H_
#define FENNICK_TOOLS_INGEST_HTTP_SERVER_H_

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <list>
#include <string>
#include <thread>

namespace fennick_ingest {

// What one client may hold. Connections beyond kMaxConnections are answered 503 at once.
inline constexpr size_t kMaxConnections = 256;
// A request's line and headers arrive in one packet from any real client.
inline constexpr std::chrono::seconds kHeaderDeadline{10};
// The client gives up on an upload after 60 seconds, and its clock starts before ours.
inline constexpr std::chrono::seconds kRequestDeadline{60};
// A client that sends nothing for this long, within a request or between two, is dropped.
inline constexpr std::chrono::seconds kIdleTimeout{5};
// A client that takes nothing of a reply for this long is dropped.
inline constexpr std::chrono::seconds kWriteTimeout{5};

// An httplib server that gives every connection a thread of its own, so that a slow or
// stalled client never keeps another waiting, and that holds each request to the limits
// above. Stopping the server ends every wait for a client at once.
//
// It takes httplib's pre-routing handler for itself and does not read httplib's timeout
// and keep-alive settings, apart from the number of requests per connection.
class IngestHttpServer : public httplib::Server {
 public:
  IngestHttpServer();
  // Waits for every connection's thread.
  ~IngestHttpServer() override;

  // Binds to `address` and `port` (0 picks a free port) and listens; returns the port, or
  // -1 when the address cannot be bound.
  int Bind(const std::string& address, int port);

  // True when the request this thread is handling ran out of time while it was read.
  static bool RequestOutOfTime();

 private:
  struct Connection {
    std::thread thread;
    std::atomic<bool> done = false;
  };

  // Called by httplib's accept loop for each new connection.
  bool process_and_close_socket(socket_t sock) override;
  void ServeConnection(socket_t sock);
  void JoinFinishedConnections();

  // Touched by the accept loop alone, and by the destructor once that loop has ended.
  std::list<Connection> connections_;
};

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_HTTP_SERVER_H_
