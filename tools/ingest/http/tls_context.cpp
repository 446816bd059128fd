#include "tls_context.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace fennick_ingest {
namespace {

// What OpenSSL said of the last failure, emptying its queue.
std::string OpenSslError() {
  std::string reason;
  for (unsigned long code; (code = ERR_get_error()) != 0;) {
    if (reason.empty()) {
      char text[256];
      ERR_error_string_n(code, text, sizeof text);
      reason = text;
    }
  }
  return reason.empty() ? "unknown error" : reason;
}

// An encrypted key would make OpenSSL ask for its passphrase on the terminal; it is refused
// instead.
int NoPassphrase(char*, int, int, void*) { return 0; }

}  // namespace

std::unique_ptr<TlsContext> TlsContext::Load(const std::filesystem::path& certificate,
                                             const std::filesystem::path& key, std::string& error) {
  const std::string key_name = key.string();
  const std::string certificate_name = certificate.string();
  struct stat key_status {};
  if (stat(key.c_str(), &key_status) != 0) {
    error = "cannot read the TLS key " + key_name + ": " + std::strerror(errno);
    return nullptr;
  }
  if ((key_status.st_mode & 0077) != 0) {
    error = "the TLS key " + key_name +
            " can be read by other users; make it readable by its owner only (chmod 600 " +
            key_name + ")";
    return nullptr;
  }
  ERR_clear_error();
  std::unique_ptr<TlsContext> tls(new TlsContext(SSL_CTX_new(TLS_server_method())));
  SSL_CTX* context = tls->get();
  if (context == nullptr || SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1) {
    error = "cannot set up TLS: " + OpenSslError();
    return nullptr;
  }
  // No renegotiation a client could start at will; a client that closes without
  // close_notify ends its stream like a plain connection's end.
  SSL_CTX_set_options(
      context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_default_passwd_cb(context, NoPassphrase);
  if (SSL_CTX_use_certificate_chain_file(context, certificate.c_str()) != 1) {
    error = "cannot load the TLS certificate " + certificate_name + ": " + OpenSslError();
    return nullptr;
  }
  const std::string mismatch =
      "the TLS key " + key_name + " does not match the certificate " + certificate_name;
  // Loading the key already compares it with the certificate.
  if (SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    const bool mismatched = ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
    error = mismatched ? mismatch : "cannot load the TLS key " + key_name + ": " + OpenSslError();
    ERR_clear_error();
    return nullptr;
  }
  if (SSL_CTX_check_private_key(context) != 1) {
    error = mismatch;
    ERR_clear_error();
    return nullptr;
  }
  return tls;
}

TlsSession::TlsSession(const TlsContext& context, int sock) : ssl_(SSL_new(context.get())) {
  const int flags = fcntl(sock, F_GETFL);
  if (ssl_ == nullptr || flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0 ||
      SSL_set_fd(ssl_, sock) != 1) {
    broken_ = true;
  }
  ERR_clear_error();
}

TlsSession::~TlsSession() {
  SSL_free(ssl_);
  // The queue is this thread's, and the thread ends with its connection.
  ERR_clear_error();
}

int TlsSession::Failed(int result, short& wait) {
  wait = 0;
  switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
      wait = POLLIN;
      break;
    case SSL_ERROR_WANT_WRITE:
      wait = POLLOUT;
      break;
    case SSL_ERROR_ZERO_RETURN:
      break;
    default:
      broken_ = true;
  }
  ERR_clear_error();
  return -1;
}

int TlsSession::Accept(short& wait) {
  wait = 0;
  if (broken_) return -1;
  const int result = SSL_accept(ssl_);
  return result == 1 ? 1 : Failed(result, wait);
}

ssize_t TlsSession::Read(char* buffer, size_t size, short& wait) {
  wait = 0;
  if (broken_) return -1;
  const int result = SSL_read(ssl_, buffer, static_cast<int>(std::min<size_t>(size, INT_MAX)));
  if (result > 0) return result;
  if (SSL_get_error(ssl_, result) == SSL_ERROR_ZERO_RETURN) return 0;
  return Failed(result, wait);
}

ssize_t TlsSession::Write(const char* buffer, size_t size, short& wait) {
  wait = 0;
  if (broken_) return -1;
  const int result = SSL_write(ssl_, buffer, static_cast<int>(std::min<size_t>(size, INT_MAX)));
  return result > 0 ? result : Failed(result, wait);
}

bool TlsSession::HasPending() const { return !broken_ && SSL_pending(ssl_) > 0; }

void TlsSession::Close() {
  if (broken_ || SSL_is_init_finished(ssl_) != 1) return;
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

}  // namespace fennick_ingest
