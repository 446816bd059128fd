#ifndef FENNICK_PLATFORM_PROXY_SETTINGS_H_
#define FENNICK_PLATFORM_PROXY_SETTINGS_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The pure parts of the lookup of the user's proxy setting (system_proxy.h), free of any
// platform type so that every platform tests them.

// What of a URL chooses its proxy: the scheme and the host, both in lower case (an IPv6
// literal without its brackets).
struct UrlTarget {
  std::string scheme;
  std::string host;
};

// The target of "scheme://[user@]host[:port][/...]", or nothing when `url` has no scheme
// or no host.
std::optional<UrlTarget> ParseUrlTarget(std::string_view url);

// The environment variables through which libcurl names a proxy for `scheme`, in the order
// it reads them: "<scheme>_proxy", its upper-case form except for http (which libcurl never
// reads upper case), then all_proxy and ALL_PROXY.
std::vector<std::string> LibcurlProxyVariables(std::string_view scheme);

// The proxy that a manual proxy setting of Windows (WinINet's text: "host:port" for every
// scheme, or a list such as "http=h1:p1;https=h2:p2;socks=h3:p3", entries separated by ';'
// or white space) names for `scheme`, as libcurl takes it: the scheme's own entry, else an
// entry without a scheme, else the socks entry as "socks4://h3:p3", else empty text.
std::string ProxyForScheme(std::string_view proxy_list, std::string_view scheme);

// The first proxy of a list whose entries are separated by ';' or white space (the answer
// of an automatic configuration), or empty text.
std::string FirstProxyOf(std::string_view proxy_list);

// True when a Windows bypass list (entries separated by ';' or white space) names `host`.
// An entry is a host pattern, matched case-insensitively against the host alone, in which
// '*' stands for any run of characters; "<local>" names every host name without a dot
// (an IP literal is no such name). An entry with a scheme or a port is not understood and
// names no host. Loopback is not bypassed unless the list says so, as Windows does it.
bool IsBypassed(std::string_view bypass_list, std::string_view host);

#endif  // FENNICK_PLATFORM_PROXY_SETTINGS_H_
