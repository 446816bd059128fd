#ifndef FENNICK_PLATFORM_SYSTEM_PROXY_H_
#define FENNICK_PLATFORM_SYSTEM_PROXY_H_

#include <string>

// The proxy that the user's own system settings name for `url` (UTF-8), as libcurl takes it
// ("host:port", or with a scheme such as "socks4://host:port"), or empty text when the
// request goes direct or when libcurl's environment variables (http_proxy, https_proxy,
// all_proxy, no_proxy and their upper-case forms) decide. On POSIX the environment is the
// system setting, so this is always empty there; on Windows it is the user's proxy setting
// with its bypass list, or what the automatic-configuration script answers. Looked up once
// per process and URL: an automatic configuration can take seconds.
std::string SystemProxyFor(const std::string& url);

#endif  // FENNICK_PLATFORM_SYSTEM_PROXY_H_
