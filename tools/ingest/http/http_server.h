#ifndef FENNICK_TOOLS_INGEST_HTTP_HTTP_SERVER_H_
#define FENNICK_TOOLS_INGEST_HTTP_HTTP_SERVER_H_

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace fennick_ingest {

class TlsContext;

// Connections served at once. When all are taken, a newcomer takes the place of the one
// that has gone longest without a held request (see Admission); only when every one carries
// a held request is it answered 503 at once.
inline constexpr size_t kMaxConnections = 256;
// A request's line and headers arrive in one packet from any real client.
inline constexpr std::chrono::seconds kHeaderDeadline{10};
// The client gives up on an upload after 60 seconds, and its clock starts before ours.
inline constexpr std::chrono::seconds kRequestDeadline{60};
// A client that sends nothing for this long, within a request or between two, is dropped.
inline constexpr std::chrono::seconds kIdleTimeout{5};
// A client that takes nothing of a reply for this long is dropped.
inline constexpr std::chrono::seconds kWriteTimeout{5};
// A body must keep a pace far below any real client's (which sends 50 MiB within 60
// seconds): from kBodyGrace after the headers on, every kPaceWindow must bring
// kMinBodyBytesPerWindow (4 KiB a second), or the request is cut as out of time.
inline constexpr std::chrono::seconds kBodyGrace{10};
inline constexpr std::chrono::seconds kPaceWindow{10};
inline constexpr size_t kMinBodyBytesPerWindow = 40 * 1024;

// What a request's line and headers make of its connection, decided before any of its body
// is read.
enum class Admission {
  kHeld,       // wanted (an upload with its key): never dropped to make room for another
  kDroppable,  // served, but dropped should a newcomer need its place
  kRefused,    // answered by its handler without its body being read; the connection closes
};

// What a request's line and headers make of it: its connection's place, and the most bytes
// of body (as sent, chunked framing included) that are read for it. A body that passes its
// limit is cut there, its read fails (BodyPastLimit), and the connection closes after the
// reply.
struct RequestTerms {
  Admission admission = Admission::kDroppable;
  uint64_t max_body_bytes = UINT64_MAX;
};

// An httplib server that gives every connection a thread of its own, so that a slow or
// stalled client never keeps another waiting, and that holds each request to the limits
// above. Stopping the server ends every wait for a client at once.
//
// With a TLS context it serves HTTPS: each connection's handshake is held to the header
// deadline and never waits kIdleTimeout for the client, and every request after it to the
// same limits as over plain HTTP.
//
// It takes httplib's request set-up and post-routing handler for itself (a reply after which
// the connection ends says "Connection: close"), and does not read httplib's timeout and
// keep-alive settings, apart from the number of requests per connection.
class IngestHttpServer : public httplib::Server {
 public:
  IngestHttpServer();
  // Waits for every connection's thread.
  ~IngestHttpServer() override;

  // Binds to `address` and `port` (0 picks a free port) and listens; returns the port, or
  // -1 when the address cannot be bound.
  int Bind(const std::string& address, int port);

  // Decides the terms of each request, once its headers are in; without it every request is
  // kDroppable, its body unlimited. Set before listening.
  void set_terms(std::function<RequestTerms(const httplib::Request&)> terms);

  // Serves HTTPS with `tls` (plain HTTP without it). Set before listening.
  void set_tls(std::unique_ptr<TlsContext> tls);
  // "https" with a TLS context, else "http": the scheme of the server's own origin.
  std::string_view scheme() const { return tls_ ? "https" : "http"; }

  // True when the request this thread is handling ran out of time while it was read.
  static bool RequestOutOfTime();
  // True when the body of the request this thread is handling passed its limit.
  static bool BodyPastLimit();

 private:
  struct Connection {
    std::thread thread;
    std::atomic<bool> done = false;
    // Since when (steady clock ticks) the connection has been droppable, or INT64_MAX while
    // it carries a held request: set by the accept loop, then by the connection's thread.
    std::atomic<int64_t> droppable_since;
    // Set by the accept loop: the thread ends the connection at its next wait.
    std::atomic<bool> dropped = false;
  };

  // Called by httplib's accept loop for each new connection.
  bool process_and_close_socket(socket_t sock) override;
  void ServeConnection(socket_t sock, Connection& connection);
  void JoinFinishedConnections();
  // Makes room for one more connection; false when every place is held.
  bool MakeRoom();

  std::function<RequestTerms(const httplib::Request&)> terms_;
  std::unique_ptr<TlsContext> tls_;
  // Touched by the accept loop alone, and by the destructor once that loop has ended.
  std::list<Connection> connections_;
};

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_HTTP_HTTP_SERVER_H_
