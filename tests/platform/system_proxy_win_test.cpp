#include <windows.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/system_proxy.h"
#include "support/environment.h"

// These tests change the user's proxy setting; they run in a Wine prefix of their own
// (tests/platform/CMakeLists.txt), so that no other test's upload follows it.

namespace {

// The flags of WinINet's per-connection settings.
constexpr DWORD kProxyTypeDirect = 1;
constexpr DWORD kProxyTypeProxy = 2;
constexpr DWORD kProxyTypeAutoProxyUrl = 4;

// The current user's proxy setting as Windows stores it: the value DefaultConnectionSettings
// under this key, WinINet's per-connection settings: the version 0x46, a change counter and
// the flags (DWORDs, little-endian), then the manual proxy, its bypass list and the
// automatic-configuration script's URL, each a DWORD length and that many bytes; the fields
// after those (the detection's state) are left zero.
const wchar_t kConnectionsKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
const wchar_t kSettingsValue[] = L"DefaultConnectionSettings";

std::string ConnectionSettingsBlob(DWORD flags, const std::string& proxy, const std::string& bypass,
                                   const std::string& script_url) {
  std::string blob;
  const auto add_dword = [&](DWORD value) {
    for (int shift = 0; shift < 32; shift += 8) blob.push_back(static_cast<char>(value >> shift));
  };
  add_dword(0x46);
  add_dword(0);
  add_dword(flags);
  for (const std::string& text : {proxy, bypass, script_url}) {
    add_dword(static_cast<DWORD>(text.size()));
    blob += text;
  }
  blob.append(32, '\0');
  return blob;
}

// Sets the current user's proxy setting while alive, then puts back what was there before
// (or removes the value when there was none).
class ScopedConnectionSettings {
 public:
  explicit ScopedConnectionSettings(const std::string& blob) {
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, nullptr, 0,
                              KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_, nullptr),
              ERROR_SUCCESS);
    DWORD size = 0;
    if (RegQueryValueExW(key_, kSettingsValue, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
      saved_.emplace(size, '\0');
      RegQueryValueExW(key_, kSettingsValue, nullptr, nullptr,
                       reinterpret_cast<BYTE*>(saved_->data()), &size);
    }
    Set(blob);
  }
  ~ScopedConnectionSettings() {
    if (saved_) {
      Set(*saved_);
    } else {
      RegDeleteValueW(key_, kSettingsValue);
    }
    RegCloseKey(key_);
  }
  ScopedConnectionSettings(const ScopedConnectionSettings&) = delete;
  ScopedConnectionSettings& operator=(const ScopedConnectionSettings&) = delete;

 private:
  void Set(const std::string& blob) {
    EXPECT_EQ(
        RegSetValueExW(key_, kSettingsValue, 0, REG_BINARY,
                       reinterpret_cast<const BYTE*>(blob.data()), static_cast<DWORD>(blob.size())),
        ERROR_SUCCESS);
  }

  HKEY key_ = nullptr;
  std::optional<std::string> saved_;
};

// No proxy variable of libcurl's, whatever the environment of the test run holds.
EnvironmentChanges NoProxyVariables() {
  return {{"http_proxy", std::nullopt},
          {"https_proxy", std::nullopt},
          {"all_proxy", std::nullopt},
          {"no_proxy", std::nullopt}};
}

struct ProxyRow {
  std::string url;  // distinct in every row: the answers are kept per URL
  std::string proxy;
};

void ExpectProxies(const std::vector<ProxyRow>& rows) {
  for (const ProxyRow& row : rows) EXPECT_EQ(SystemProxyFor(row.url), row.proxy) << row.url;
}

}  // namespace

TEST(SystemProxyWinTest, TheUsersManualProxyUnlessBypassedOrLeftToTheEnvironment) {
  const ScopedEnvironment no_variables(NoProxyVariables());
  const ScopedConnectionSettings settings(
      ConnectionSettingsBlob(kProxyTypeDirect | kProxyTypeProxy,
                             "http=127.0.0.1:3128;https=127.0.0.1:3129", "*.0.0.9;<local>", ""));
  ExpectProxies({
      {"http://127.0.0.2/manual", "127.0.0.1:3128"},
      {"https://127.0.0.2/manual", "127.0.0.1:3129"},
      // No implicit bypass of loopback.
      {"https://127.0.0.1:5001/manual", "127.0.0.1:3129"},
      {"https://127.0.0.9/manual", ""},
      {"https://localhost/manual", ""},
  });
  const ScopedEnvironment variable(EnvironmentChanges{{"https_proxy", "127.0.0.1:8888"}});
  ExpectProxies({
      {"https://127.0.0.3/environment", ""},
      {"http://127.0.0.3/environment", "127.0.0.1:3128"},
      // Asked before the variable was set: the answer kept for the process.
      {"https://127.0.0.2/manual", "127.0.0.1:3129"},
  });
}

namespace {

// Serves the automatic-configuration script on 127.0.0.1 while alive; any other path is 404.
class ScriptServer {
 public:
  explicit ScriptServer(const std::string& script) {
    server_.Get("/proxy.pac", [script](const httplib::Request&, httplib::Response& response) {
      response.set_content(script, "application/x-ns-proxy-autoconfig");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    EXPECT_GT(port_, 0);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (port_ > 0 && !server_.is_running()) std::this_thread::yield();
  }
  ~ScriptServer() {
    server_.stop();
    thread_.join();
  }
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
};

}  // namespace

TEST(SystemProxyWinTest, TheScriptAnswersAndOneThatCannotBeFetchedLeavesTheManualProxy) {
  const ScopedEnvironment no_variables(NoProxyVariables());
  const ScriptServer server(
      "function FindProxyForURL(url, host) {\n"
      "  return host == \"127.0.0.5\" ? \"DIRECT\" : \"PROXY 127.0.0.1:3128; PROXY "
      "127.0.0.1:3129\";\n"
      "}\n");
  const DWORD flags = kProxyTypeDirect | kProxyTypeProxy | kProxyTypeAutoProxyUrl;
  {
    const ScopedConnectionSettings settings(
        ConnectionSettingsBlob(flags, "127.0.0.1:3130", "", server.Url("/proxy.pac")));
    ExpectProxies(
        {{"https://127.0.0.4/script", "127.0.0.1:3128"}, {"https://127.0.0.5/script", ""}});
  }
  const ScopedConnectionSettings settings(
      ConnectionSettingsBlob(flags, "127.0.0.1:3130", "", server.Url("/missing.pac")));
  ExpectProxies({{"https://127.0.0.4/no-script", "127.0.0.1:3130"}});
}
