#ifndef FENNICK_TOOLS_INGEST_HTTP_TLS_CONTEXT_H_
#define FENNICK_TOOLS_INGEST_HTTP_TLS_CONTEXT_H_

#include <openssl/ssl.h>
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

// Serving HTTPS: the server's certificate and key, loaded once at start, and the TLS session
// of each connection, driven over a non-blocking socket so that its caller holds every wait
// to its own deadlines.
namespace fennick_ingest {

class TlsContext {
 public:
  // Loads `certificate` (a PEM chain, the server's own first) and its `key`; null, with
  // `error` set, when the key can be read by other users than its owner, when either
  // cannot be read or loaded, or when they do not belong together. TLS 1.2 at least.
  static std::unique_ptr<TlsContext> Load(const std::filesystem::path& certificate,
                                          const std::filesystem::path& key, std::string& error);

  SSL_CTX* get() const { return context_.get(); }

 private:
  struct Free {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  };
  explicit TlsContext(SSL_CTX* context) : context_(context) {}

  std::unique_ptr<SSL_CTX, Free> context_;
};

// One connection's TLS session; it makes the socket non-blocking. Each step returns at once:
// when it cannot go on until the socket is ready, it returns -1 and sets `wait` to the
// events (POLLIN or POLLOUT) to wait for before repeating it with the same arguments; on
// any other failure it returns -1 with `wait` 0.
class TlsSession {
 public:
  TlsSession(const TlsContext& context, int sock);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // The server's side of the handshake: 1 once done.
  int Accept(short& wait);
  // Bytes read (> 0), or 0 at the end of the client's stream.
  ssize_t Read(char* buffer, size_t size, short& wait);
  // Bytes written, all of `size`.
  ssize_t Write(const char* buffer, size_t size, short& wait);
  // True when data already received waits to be read, which the socket no longer shows.
  bool HasPending() const;
  // Tells the client that no more comes (close_notify), without waiting for its own.
  void Close();

 private:
  // -1 with `wait` set for `result`, a failed step's return value.
  int Failed(int result, short& wait);

  SSL* ssl_;
  bool broken_ = false;  // a fatal error: the session must not be shut down
};

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_HTTP_TLS_CONTEXT_H_
