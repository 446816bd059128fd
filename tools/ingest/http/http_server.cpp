#include "http_server.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "server_log.h"
#include "tls_context.h"

namespace fennick_ingest {
namespace {

using Clock = std::chrono::steady_clock;

// How often a wait for a client looks whether the server is stopping.
constexpr std::chrono::milliseconds kStopCheckInterval{100};
// Headers are read a byte at a time; reading ahead saves a system call per byte.
constexpr size_t kReadAheadBytes = 64 * 1024;

constexpr std::string_view kBusyReply =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
    "Content-Length: 12\r\nConnection: close\r\n\r\n{\"code\":503}";

// The numeric address and port of a socket's peer (`peer` true) or of its own end.
void AddressOf(int sock, bool peer, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if ((peer ? getpeername(sock, raw, &length) : getsockname(sock, raw, &length)) != 0) return;
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (getnameinfo(raw, length, host, sizeof host, service, sizeof service,
                  NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
    ip = host;
    port = std::atoi(service);
  }
}

constexpr int64_t kNotDroppable = std::numeric_limits<int64_t>::max();
// A reply given before the body was read is followed by this much of the body, read and
// dropped, at most: closing with unread bytes would reset the connection, and the client
// could lose the reply.
constexpr std::chrono::seconds kDrainTime{2};
constexpr size_t kMaxDrainBytes = 1024 * 1024;

int64_t Ticks(Clock::time_point time) { return time.time_since_epoch().count(); }

// One connection as httplib reads and writes it, through its TLS session when it has one,
// holding each request to its deadlines and its body to its pace.
class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(int sock, TlsSession* tls, const std::atomic<socket_t>& listener,
                   std::atomic<int64_t>& droppable_since, const std::atomic<bool>& dropped)
      : sock_(sock),
        tls_(tls),
        listener_(listener),
        droppable_since_(droppable_since),
        dropped_(dropped) {}

  // Completes the TLS handshake (true at once without TLS): within kHeaderDeadline of now,
  // and false after kIdleTimeout of silence, when the server stops or when the connection
  // is dropped, like the reading of headers.
  bool Handshake() {
    if (tls_ == nullptr) return true;
    const Clock::time_point deadline = Clock::now() + kHeaderDeadline;
    for (;;) {
      short wait = 0;
      if (tls_->Accept(wait) == 1) return true;
      if (wait == 0 || !Wait(wait, std::min(deadline, Clock::now() + kIdleTimeout))) {
        return false;
      }
    }
  }

  // Waits for the first byte of the next request (or the end of the connection, which
  // httplib then reads as no request) and starts its clock; false after kIdleTimeout of
  // silence, when the server stops or when the connection is dropped. Waiting, the
  // connection is droppable.
  bool WaitForRequest() {
    droppable_since_ = Ticks(Clock::now());
    in_body_ = false;
    if (buffer_begin_ == buffer_end_ && !Wait(POLLIN, Clock::now() + kIdleTimeout)) return false;
    const Clock::time_point start = Clock::now();
    read_deadline_ = start + kHeaderDeadline;
    request_deadline_ = start + kRequestDeadline;
    out_of_time_ = false;
    return true;
  }

  // The headers are in; the body may take until the request's own deadline, at its pace,
  // and up to its limit.
  void HeadersReceived(const RequestTerms& terms) {
    read_deadline_ = request_deadline_;
    in_body_ = true;
    body_bytes_left_ = terms.max_body_bytes;
    past_limit_ = false;
    pace_window_start_ = Clock::now() + kBodyGrace;
    pace_window_bytes_ = 0;
    if (terms.admission == Admission::kHeld) droppable_since_ = kNotDroppable;
    refused_ = terms.admission == Admission::kRefused;
  }

  bool out_of_time() const { return out_of_time_; }
  bool past_limit() const { return past_limit_; }

  // True when the connection must close after this request's reply: the body, or part of
  // it, was left unread.
  bool EndsWithReply() const { return refused_ || out_of_time_ || past_limit_; }

  // Closes the sending side and reads what still comes, for a moment, dropping it (as it
  // arrives: TLS records are not opened).
  void DrainBeforeClose() {
    if (tls_ != nullptr) tls_->Close();
    shutdown(sock_, SHUT_WR);
    const Clock::time_point end = Clock::now() + kDrainTime;
    for (size_t drained = 0; drained < kMaxDrainBytes && Wait(POLLIN, end);) {
      const ssize_t received = ReceiveFromSocket(buffer_, kReadAheadBytes);
      if (received <= 0) break;
      drained += static_cast<size_t>(received);
    }
  }

  bool is_readable() const override { return buffer_begin_ != buffer_end_ || ReadyToRead(POLLIN); }

  bool is_writable() const override { return Wait(POLLOUT, Clock::now() + kWriteTimeout); }

  ssize_t read(char* ptr, size_t size) override {
    if (in_body_) {
      // httplib asks for more of a body that has brought all its limit allows: the request
      // fails there, before one byte more is read, whatever the body's framing.
      if (body_bytes_left_ == 0) {
        past_limit_ = true;
        return -1;
      }
      size = static_cast<size_t>(std::min<uint64_t>(size, body_bytes_left_));
    }
    const ssize_t count = ReadBuffered(ptr, size);
    if (in_body_ && count > 0) body_bytes_left_ -= static_cast<uint64_t>(count);
    return count;
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    if (tls_ != nullptr) {
      short wait = 0;
      ssize_t sent;
      while ((sent = tls_->Write(ptr, size, wait)) < 0 && wait != 0 &&
             Wait(wait, Clock::now() + kWriteTimeout)) {
      }
      return sent;
    }
    ssize_t sent;
    do {
      sent = send(sock_, ptr, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    AddressOf(sock_, true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    AddressOf(sock_, false, ip, port);
  }
  socket_t socket() const override { return sock_; }

 private:
  bool Ending() const { return listener_ == INVALID_SOCKET || dropped_; }

  // Waits until the socket is ready for `events` on the way to a request's next bytes:
  // false when the body fell below its pace, at the read deadline (both out of time), after
  // kIdleTimeout of silence, when the server stops or when the connection is dropped.
  bool ReadyToRead(short events) const {
    if (!KeepsPace()) {
      out_of_time_ = true;
      return false;
    }
    const Clock::time_point idle_end = Clock::now() + kIdleTimeout;
    if (Wait(events, std::min(read_deadline_, idle_end))) return true;
    out_of_time_ = Clock::now() >= read_deadline_;
    return false;
  }

  // False once a body past its grace brought less than its due in a whole window; each
  // window that did starts the next.
  bool KeepsPace() const {
    if (!in_body_) return true;
    const Clock::time_point now = Clock::now();
    if (now - pace_window_start_ < kPaceWindow) return true;
    if (pace_window_bytes_ < kMinBodyBytesPerWindow) return false;
    pace_window_start_ = now;
    pace_window_bytes_ = 0;
    return true;
  }

  // Waits until the socket is ready for `events`; false at `deadline`, on an error, when
  // the server stops or when the connection is dropped.
  bool Wait(short events, Clock::time_point deadline) const {
    for (;;) {
      if (Ending()) return false;
      // Bytes a TLS record brought beyond those read are no longer on the socket.
      if ((events & POLLIN) != 0 && tls_ != nullptr && tls_->HasPending()) return true;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd descriptor{sock_, events, 0};
      const auto slice = std::min<std::chrono::milliseconds>(left, kStopCheckInterval);
      const int ready = poll(&descriptor, 1, static_cast<int>(slice.count()));
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return false;
    }
  }

  // Hands out what the read-ahead holds, reading ahead when it is empty.
  ssize_t ReadBuffered(char* ptr, size_t size) {
    if (buffer_begin_ == buffer_end_) {
      if (!is_readable()) return -1;
      if (size >= kReadAheadBytes) return Receive(ptr, size);
      const ssize_t received = Receive(buffer_, kReadAheadBytes);
      if (received <= 0) return received;
      buffer_begin_ = 0;
      buffer_end_ = static_cast<size_t>(received);
    }
    const size_t count = std::min(size, buffer_end_ - buffer_begin_);
    std::memcpy(ptr, buffer_ + buffer_begin_, count);
    buffer_begin_ += count;
    return static_cast<ssize_t>(count);
  }

  ssize_t ReceiveFromSocket(char* ptr, size_t size) {
    ssize_t received;
    do {
      received = recv(sock_, ptr, size, 0);
    } while (received < 0 && errno == EINTR);
    return received;
  }

  // Reads what the socket has (the stream is readable); through TLS, waits as a request's
  // reads do while a record is incomplete.
  ssize_t Receive(char* ptr, size_t size) {
    ssize_t received;
    if (tls_ == nullptr) {
      received = ReceiveFromSocket(ptr, size);
    } else {
      short wait = 0;
      while ((received = tls_->Read(ptr, size, wait)) < 0 && wait != 0 && ReadyToRead(wait)) {
      }
    }
    if (received > 0 && in_body_ && Clock::now() >= pace_window_start_) {
      pace_window_bytes_ += static_cast<size_t>(received);
    }
    return received;
  }

  int sock_;
  TlsSession* tls_;
  const std::atomic<socket_t>& listener_;
  std::atomic<int64_t>& droppable_since_;
  const std::atomic<bool>& dropped_;
  Clock::time_point read_deadline_;
  Clock::time_point request_deadline_;
  mutable bool out_of_time_ = false;
  bool refused_ = false;
  bool in_body_ = false;
  uint64_t body_bytes_left_ = 0;
  bool past_limit_ = false;
  mutable Clock::time_point pace_window_start_;
  mutable size_t pace_window_bytes_ = 0;
  char buffer_[kReadAheadBytes];
  size_t buffer_begin_ = 0;
  size_t buffer_end_ = 0;
};

// The connection this thread serves; httplib's handlers run on it.
thread_local ConnectionStream* current_connection = nullptr;

// httplib's accept loop hands each connection to its task queue; this one hands it straight
// back, to process_and_close_socket, which starts the connection's own thread.
class HandOver final : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> task) override { task(); }
  void shutdown() override {}
};

// Answers a connection that cannot be served now (over TLS, which would take a handshake,
// only closes it) and closes it.
void RefuseBusy(socket_t sock, bool answer) {
  if (answer) send(sock, kBusyReply.data(), kBusyReply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  shutdown(sock, SHUT_RDWR);
  close(sock);
}

}  // namespace

IngestHttpServer::IngestHttpServer() {
  new_task_queue = [] { return new HandOver; };
  // A reply after which the connection ends says so, whatever httplib made of the request.
  set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
    if (current_connection == nullptr || !current_connection->EndsWithReply()) return;
    res.headers.erase("Keep-Alive");
    res.headers.erase("Connection");
    res.set_header("Connection", "close");
  });
}

IngestHttpServer::~IngestHttpServer() {
  for (Connection& connection : connections_) connection.thread.join();
}

int IngestHttpServer::Bind(const std::string& address, int port) {
  if (port == 0) {
    port = bind_to_any_port(address);
  } else if (!bind_to_port(address, port)) {
    return -1;
  }
  // httplib listens with a backlog of 5: a burst of clients connecting at once would find
  // it full, and each would wait a second or more to try again.
  if (port >= 0 && ::listen(svr_sock_, SOMAXCONN) != 0) {
    LogLine(std::string("cannot widen the listening backlog, bursts of clients will wait: ") +
            std::strerror(errno));
  }
  return port;
}

void IngestHttpServer::set_tls(std::unique_ptr<TlsContext> tls) { tls_ = std::move(tls); }

void IngestHttpServer::set_terms(std::function<RequestTerms(const httplib::Request&)> terms) {
  terms_ = std::move(terms);
}

bool IngestHttpServer::RequestOutOfTime() {
  return current_connection != nullptr && current_connection->out_of_time();
}

bool IngestHttpServer::BodyPastLimit() {
  return current_connection != nullptr && current_connection->past_limit();
}

bool IngestHttpServer::process_and_close_socket(socket_t sock) {
  JoinFinishedConnections();
  if (!MakeRoom()) {
    RefuseBusy(sock, tls_ == nullptr);
    return false;
  }
  Connection& connection = connections_.emplace_back();
  connection.droppable_since = Ticks(Clock::now());
  try {
    connection.thread = std::thread([this, sock, &connection] {
      ServeConnection(sock, connection);
      connection.done = true;
    });
  } catch (const std::system_error&) {
    connections_.pop_back();
    RefuseBusy(sock, tls_ == nullptr);
    return false;
  }
  return true;
}

void IngestHttpServer::ServeConnection(socket_t sock, Connection& connection) {
  std::optional<TlsSession> tls;
  if (tls_) tls.emplace(*tls_, sock);
  ConnectionStream stream(sock, tls ? &*tls : nullptr, svr_sock_, connection.droppable_since,
                          connection.dropped);
  current_connection = &stream;
  const auto set_up = [this, &stream](httplib::Request& req) {
    stream.HeadersReceived(terms_ ? terms_(req) : RequestTerms{});
  };
  const bool secured = stream.Handshake();
  for (size_t left = secured ? keep_alive_max_count_ : 0; left > 0 && stream.WaitForRequest();
       --left) {
    bool connection_closed = false;
    if (!process_request(stream, left == 1, connection_closed, set_up) || connection_closed ||
        stream.EndsWithReply()) {
      break;
    }
  }
  current_connection = nullptr;
  if (stream.EndsWithReply()) {
    stream.DrainBeforeClose();
  } else if (tls) {
    tls->Close();
  }
  shutdown(sock, SHUT_RDWR);
  close(sock);
}

bool IngestHttpServer::MakeRoom() {
  size_t serving = 0;
  Connection* oldest = nullptr;
  int64_t oldest_since = kNotDroppable;
  for (Connection& connection : connections_) {
    if (connection.done || connection.dropped) continue;
    ++serving;
    const int64_t since = connection.droppable_since;
    if (since < oldest_since) {
      oldest = &connection;
      oldest_since = since;
    }
  }
  if (serving < kMaxConnections) return true;
  // A dropped connection's thread ends at its next look (kStopCheckInterval); a flood of
  // newcomers must not pile such threads up meanwhile.
  if (oldest == nullptr || connections_.size() >= 2 * kMaxConnections) return false;
  oldest->dropped = true;
  return true;
}

void IngestHttpServer::JoinFinishedConnections() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (it->done) {
      it->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace fennick_ingest
