#include "paging.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "store_layout.h"

namespace fennick_ingest {
namespace {

// The parameter `key` as a whole number from 1 on; `fallback` when it is absent, nullopt
// when it is anything else.
std::optional<size_t> PositiveParameter(const httplib::Request& req, const char* key,
                                        size_t fallback) {
  if (!req.has_param(key)) return fallback;
  const std::string text = req.get_param_value(key);
  size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value == 0) return std::nullopt;
  return value;
}

}  // namespace

size_t PageRequest::first() const {
  // A page far past the end is simply empty, never a position that wraps around.
  const size_t pages_before = page - 1;
  return pages_before > std::numeric_limits<size_t>::max() / per_page
             ? std::numeric_limits<size_t>::max()
             : pages_before * per_page;
}

std::optional<PageRequest> ParsePageRequest(const httplib::Request& req, size_t default_per_page,
                                            PageKeys keys, std::string* malformed) {
  const std::optional<size_t> page = PositiveParameter(req, keys.page, 1);
  const std::optional<size_t> per_page = PositiveParameter(req, keys.per_page, default_per_page);
  if (!page || !per_page) {
    if (malformed != nullptr) *malformed = page ? keys.per_page : keys.page;
    return std::nullopt;
  }
  return PageRequest{*page, std::min(*per_page, kMaxPerPage)};
}

bool HasNextPage(const PageRequest& request, size_t total) {
  return request.first() < total && total - request.first() > request.per_page;
}

std::string QueryUrl(const std::string& path,
                     const std::vector<std::pair<std::string, std::string>>& parameters) {
  std::string url = path;
  char separator = '?';
  for (const auto& [key, value] : parameters) {
    if (value.empty()) continue;
    url += separator + key + "=" + PercentEncoded(value);
    separator = '&';
  }
  return url;
}

void SetPageHeaders(httplib::Response& res, const std::string& path,
                    std::vector<std::pair<std::string, std::string>> parameters,
                    const PageRequest& request, size_t total) {
  res.set_header("X-Total-Count", std::to_string(total));
  if (!HasNextPage(request, total)) return;
  parameters.emplace_back("page", std::to_string(request.page + 1));
  parameters.emplace_back("per_page", std::to_string(request.per_page));
  std::string link = QueryUrl(path, parameters);
  link.insert(0, 1, '<');
  res.set_header("Link", link + ">; rel=\"next\"");
}

}  // namespace fennick_ingest
