#include "platform/proxy_settings.h"

#include <algorithm>
#include <cctype>

namespace {

char LowerAscii(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
  return lower;
}

bool IsSeparator(char c) { return c == ';' || std::isspace(static_cast<unsigned char>(c)); }

// The non-empty entries of a list separated by ';' or white space.
std::vector<std::string_view> SplitList(std::string_view list) {
  std::vector<std::string_view> entries;
  size_t begin = 0;
  while (begin < list.size()) {
    size_t end = begin;
    while (end < list.size() && !IsSeparator(list[end])) ++end;
    if (end > begin) entries.push_back(list.substr(begin, end - begin));
    begin = end + 1;
  }
  return entries;
}

// Case-insensitive match of `text` against `pattern`, where '*' is any run of characters.
bool MatchesWildcard(std::string_view pattern, std::string_view text) {
  size_t p = 0, t = 0;
  size_t star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && LowerAscii(pattern[p]) == LowerAscii(text[t])) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool IsLocalName(std::string_view host) {
  return host.find('.') == std::string_view::npos && host.find(':') == std::string_view::npos;
}

}  // namespace

std::optional<UrlTarget> ParseUrlTarget(std::string_view url) {
  const size_t scheme_end = url.find("://");
  if (scheme_end == 0 || scheme_end == std::string_view::npos) return std::nullopt;
  std::string_view authority = url.substr(scheme_end + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  std::string_view host;
  if (authority.starts_with('[')) {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
  } else {
    host = authority.substr(0, authority.find(':'));
  }
  if (host.empty()) return std::nullopt;
  return UrlTarget{Lower(url.substr(0, scheme_end)), Lower(host)};
}

std::vector<std::string> LibcurlProxyVariables(std::string_view scheme) {
  const std::string lower = Lower(scheme) + "_proxy";
  std::vector<std::string> names = {lower};
  if (lower != "http_proxy") {
    std::string upper = lower;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) {
      return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    });
    names.push_back(upper);
  }
  names.insert(names.end(), {"all_proxy", "ALL_PROXY"});
  return names;
}

std::string ProxyForScheme(std::string_view proxy_list, std::string_view scheme) {
  const std::string wanted = Lower(scheme);
  std::string_view any_scheme, socks;
  for (const std::string_view entry : SplitList(proxy_list)) {
    const size_t equals = entry.find('=');
    if (equals == std::string_view::npos) {
      if (any_scheme.empty()) any_scheme = entry;
      continue;
    }
    const std::string key = Lower(entry.substr(0, equals));
    const std::string_view value = entry.substr(equals + 1);
    if (value.empty()) continue;
    if (key == wanted) return std::string(value);
    if (key == "socks" && socks.empty()) socks = value;
  }
  if (!any_scheme.empty()) return std::string(any_scheme);
  if (socks.empty()) return std::string();
  return socks.find("://") == std::string_view::npos ? "socks4://" + std::string(socks)
                                                     : std::string(socks);
}

std::string FirstProxyOf(std::string_view proxy_list) {
  const std::vector<std::string_view> entries = SplitList(proxy_list);
  return entries.empty() ? std::string() : std::string(entries.front());
}

bool IsBypassed(std::string_view bypass_list, std::string_view host) {
  for (const std::string_view entry : SplitList(bypass_list)) {
    if (Lower(entry) == "<local>" ? IsLocalName(host) : MatchesWildcard(entry, host)) {
      return true;
    }
  }
  return false;
}
