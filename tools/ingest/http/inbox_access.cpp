#include "inbox_access.h"

#include <algorithm>
#include <optional>

namespace fennick_ingest {
namespace {

// `name` as it appears in a Host header: lower case, an IPv6 address in brackets.
std::string HostForm(std::string_view name) {
  std::string form(name);
  std::transform(form.begin(), form.end(), form.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  if (form.find(':') != std::string::npos && !form.starts_with('[')) form = "[" + form + "]";
  return form;
}

// The name part of a Host header value ("name", "name:port", "[v6]" or "[v6]:port"), or
// nullopt when the value has none of these forms.
std::optional<std::string_view> HostName(std::string_view host) {
  const size_t name_end = host.starts_with('[') ? host.find(']') + 1 : host.find(':');
  if (name_end == 0) return std::nullopt;  // no name, or '[' without ']'
  const std::string_view name = host.substr(0, name_end);
  std::string_view port = name_end < host.size() ? host.substr(name_end) : std::string_view();
  if (!port.empty()) {
    if (!port.starts_with(':') || port.size() == 1) return std::nullopt;
    port.remove_prefix(1);
    if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return std::nullopt;
    }
  }
  return name;
}

}  // namespace

InboxAccess::InboxAccess(bool open, std::string_view listen_address,
                         const std::vector<std::string>& allowed_hosts)
    : open_(open), host_names_{"localhost", "127.0.0.1", "[::1]", HostForm(listen_address)} {
  for (const std::string& name : allowed_hosts) host_names_.push_back(HostForm(name));
}

bool InboxAccess::Allows(std::string_view peer, std::string_view host) const {
  if (open_) return true;
  if (!IsLoopbackAddress(peer)) return false;
  const std::optional<std::string_view> name = HostName(host);
  return name &&
         std::find(host_names_.begin(), host_names_.end(), HostForm(*name)) != host_names_.end();
}

bool IsLoopbackAddress(std::string_view address) {
  constexpr std::string_view kMappedPrefix = "::ffff:";
  if (address.starts_with(kMappedPrefix)) address.remove_prefix(kMappedPrefix.size());
  return address == "::1" || address.starts_with("127.");
}

}  // namespace fennick_ingest
