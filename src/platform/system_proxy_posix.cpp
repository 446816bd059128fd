#include "platform/system_proxy.h"

// On POSIX the proxy settings are the environment, which libcurl reads by itself.
std::string SystemProxyFor(const std::string&) { return {}; }
