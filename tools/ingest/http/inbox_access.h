#ifndef FENNICK_TOOLS_INGEST_HTTP_INBOX_ACCESS_H_
#define FENNICK_TOOLS_INGEST_HTTP_INBOX_ACCESS_H_

#include <string>
#include <string_view>
#include <vector>

// Who may read the inbox. A dump holds the memory of the crashed process, so by default only
// clients on this machine may, and only under a name that stands for this machine: a web
// page whose own name an attacker points at 127.0.0.1 (DNS rebinding) sends its own name
// as Host and is refused.
namespace fennick_ingest {

class InboxAccess {
 public:
  // `open`: every client and every Host may read (--open-inbox). `listen_address` and
  // `allowed_hosts` (--allow-host) are accepted as Host names besides localhost, 127.0.0.1
  // and [::1].
  InboxAccess(bool open, std::string_view listen_address,
              const std::vector<std::string>& allowed_hosts);

  // True when a client at `peer` that sent `host` as its Host header (with or without a
  // port) may read the inbox.
  bool Allows(std::string_view peer, std::string_view host) const;

 private:
  bool open_;
  std::vector<std::string> host_names_;  // lower case, IPv6 addresses in brackets
};

// True for 127.0.0.0/8 and ::1, also in their IPv4-mapped form.
bool IsLoopbackAddress(std::string_view address);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_HTTP_INBOX_ACCESS_H_
