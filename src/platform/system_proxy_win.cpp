#include <windows.h>
#include <winhttp.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/proxy_settings.h"
#include "platform/system_proxy.h"
#include "platform/text_conversion.h"

namespace {

struct GlobalFreer {
  void operator()(wchar_t* text) const { GlobalFree(text); }
};
// A string that WinHTTP allocated for its caller.
using GlobalText = std::unique_ptr<wchar_t, GlobalFreer>;

struct WinHttpCloser {
  void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
using WinHttpHandle = std::unique_ptr<void, WinHttpCloser>;

std::string Utf8Of(const GlobalText& text) { return text ? WideToUtf8(text.get()) : std::string(); }

// True when libcurl takes its proxy for `scheme` from the environment: one of its variables
// holds non-empty text. Windows names variables case-insensitively, as libcurl's own
// reading of them there does.
bool EnvironmentDecides(const std::string& scheme) {
  for (const std::string& name : LibcurlProxyVariables(scheme)) {
    // With no buffer the length asked for counts the terminating NUL: 1 for empty text.
    if (GetEnvironmentVariableW(Utf8ToWide(name).c_str(), nullptr, 0) > 1) return true;
  }
  return false;
}

// The current user's proxy setting, as the Internet Options name it.
struct UserProxyConfig {
  bool auto_detect = false;
  std::wstring auto_config_url;
  std::string proxy;   // WinINet's manual proxy text
  std::string bypass;  // its bypass list
};

std::optional<UserProxyConfig> ReadUserProxyConfig() {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG raw = {};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&raw)) return std::nullopt;
  const GlobalText auto_config_url(raw.lpszAutoConfigUrl);
  const GlobalText proxy(raw.lpszProxy);
  const GlobalText bypass(raw.lpszProxyBypass);
  UserProxyConfig config;
  config.auto_detect = raw.fAutoDetect != FALSE;
  if (auto_config_url) config.auto_config_url = auto_config_url.get();
  config.proxy = Utf8Of(proxy);
  config.bypass = Utf8Of(bypass);
  return config;
}

bool UsesAutomaticConfiguration(const UserProxyConfig& config) {
  return config.auto_detect || !config.auto_config_url.empty();
}

// What the automatic configuration (detected, or the configured script) answers for `url`:
// the first proxy it names, empty text for direct, or nothing when no script could be
// found, fetched or run.
std::optional<std::string> AskAutomaticConfiguration(const std::string& url,
                                                     const UserProxyConfig& config) {
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (config.auto_detect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  if (!config.auto_config_url.empty()) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = config.auto_config_url.c_str();
  }
  options.fAutoLogonIfChallenged = TRUE;
  const WinHttpHandle session(WinHttpOpen(L"fennick", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  WINHTTP_PROXY_INFO info = {};
  if (!session || !WinHttpGetProxyForUrl(session.get(), Utf8ToWide(url).c_str(), &options, &info)) {
    return std::nullopt;
  }
  const GlobalText proxy(info.lpszProxy);
  const GlobalText bypass(info.lpszProxyBypass);
  if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) return std::string();
  return FirstProxyOf(Utf8Of(proxy));
}

// The manual setting's proxy for `target`. Only the configured bypass list counts: no
// implicit bypass of loopback is added, so a list without "127.0.0.1" proxies it too.
std::string ManualProxyFor(const UserProxyConfig& config, const UrlTarget& target) {
  if (IsBypassed(config.bypass, target.host)) return std::string();
  return ProxyForScheme(config.proxy, target.scheme);
}

std::string LookUpSystemProxy(const std::string& url) {
  const std::optional<UrlTarget> target = ParseUrlTarget(url);
  if (!target || EnvironmentDecides(target->scheme)) return std::string();
  const std::optional<UserProxyConfig> config = ReadUserProxyConfig();
  if (!config) return std::string();
  if (UsesAutomaticConfiguration(*config)) {
    if (std::optional<std::string> answer = AskAutomaticConfiguration(url, *config)) {
      return *answer;
    }
  }
  return ManualProxyFor(*config, *target);
}

}  // namespace

std::string SystemProxyFor(const std::string& url) {
  // One lookup at a time: a second caller for the same URL waits for the first answer
  // instead of running the automatic configuration again.
  static std::mutex mutex;
  static std::map<std::string, std::string> answers;
  const std::lock_guard lock(mutex);
  auto found = answers.find(url);
  if (found == answers.end()) found = answers.emplace(url, LookUpSystemProxy(url)).first;
  return found->second;
}
