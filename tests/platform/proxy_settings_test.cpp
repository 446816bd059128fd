#include "platform/proxy_settings.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

TEST(ProxySettingsTest, UrlTargetIsTheLowerCaseSchemeAndHost) {
  struct Row {
    std::string url;
    std::optional<UrlTarget> target;
  };
  const std::vector<Row> rows = {
      {"http://127.0.0.1:5001/api/report/crash", UrlTarget{"http", "127.0.0.1"}},
      {"HTTPS://User:pw@Ingest.Internal/x?y#z", UrlTarget{"https", "ingest.internal"}},
      {"https://[::1]:8443/", UrlTarget{"https", "::1"}},
      {"http://localhost", UrlTarget{"http", "localhost"}},
      {"ingest.internal/x", std::nullopt},
      {"http:///path", std::nullopt},
      {"://host", std::nullopt},
  };
  for (const Row& row : rows) {
    const std::optional<UrlTarget> target = ParseUrlTarget(row.url);
    ASSERT_EQ(target.has_value(), row.target.has_value()) << row.url;
    if (target) {
      EXPECT_EQ(target->scheme, row.target->scheme) << row.url;
      EXPECT_EQ(target->host, row.target->host) << row.url;
    }
  }
}

TEST(ProxySettingsTest, LibcurlReadsHttpProxyOnlyInLowerCase) {
  EXPECT_EQ(LibcurlProxyVariables("http"),
            (std::vector<std::string>{"http_proxy", "all_proxy", "ALL_PROXY"}));
  EXPECT_EQ(LibcurlProxyVariables("https"),
            (std::vector<std::string>{"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}));
}

TEST(ProxySettingsTest, TheManualSettingNamesTheSchemesEntry) {
  struct Row {
    std::string list;
    std::string scheme;
    std::string proxy;
  };
  const std::vector<Row> rows = {
      {"127.0.0.2:3128", "https", "127.0.0.2:3128"},
      {"127.0.0.2:3128", "http", "127.0.0.2:3128"},
      {"http=h1:81;https=h2:82;socks=h3:83", "http", "h1:81"},
      {"http=h1:81;https=h2:82;socks=h3:83", "https", "h2:82"},
      {"127.0.0.2:3128;https=h2:82", "https", "h2:82"},
      {" HTTP=h1:81  HTTPS=h2:82 ", "https", "h2:82"},
      {"http=h1:81;socks=h3:83", "https", "socks4://h3:83"},
      {"http=h1:81;socks=socks5://h3:83", "https", "socks5://h3:83"},
      {"http=h1:81;ftp=h4:21", "https", ""},
      {"https=;socks=h3:83", "https", "socks4://h3:83"},
      {"", "https", ""},
      {";; ", "http", ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ProxyForScheme(row.list, row.scheme), row.proxy) << row.list << " / " << row.scheme;
  }
  EXPECT_EQ(FirstProxyOf("127.0.0.1:3128; 127.0.0.2:8080"), "127.0.0.1:3128");
  EXPECT_EQ(FirstProxyOf(" 127.0.0.2:8080 127.0.0.1:3128"), "127.0.0.2:8080");
  EXPECT_EQ(FirstProxyOf(""), "");
}

TEST(ProxySettingsTest, TheBypassListNamesHostsByWildcardAndLocal) {
  struct Row {
    std::string list;
    std::string host;
    bool bypassed;
  };
  const std::vector<Row> rows = {
      {"*.internal", "ingest.corp.internal", true},
      {"*.internal", "internal", false},
      {"*.INTERNAL", "Ingest.Internal", true},
      {"*.corp.internal", "ingest.other.internal", false},
      {"127.*", "127.1.2.3", true},
      {"127.*", "1127.1.2.3", false},
      {"ingest*.internal", "ingest-eu.internal", true},
      {"ingest*", "ingest", true},
      {"ingest.internal", "ingest.internal.example", false},
      {"*", "anything.internal", true},
      {"<local>", "localhost", true},
      {"<LOCAL>", "ingest.internal", false},
      {"<local>", "::1", false},
      {"a.internal; <local>  127.*", "127.0.0.9", true},
      {"a.internal;<local>", "b.internal", false},
      {"127.0.0.1", "127.0.0.1", true},
      {"", "127.0.0.1", false},
      {"*.internal:8080", "ingest.internal", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsBypassed(row.list, row.host), row.bypassed) << row.list << " / " << row.host;
  }
}
