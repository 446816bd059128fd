#include "platform/system_proxy.h"

// On POSIX the proxy environment variables are the system setting, and libcurl reads them.
std::string SystemProxyFor(const std::string&) { return std::string(); }
