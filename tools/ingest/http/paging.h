#ifndef FENNICK_TOOLS_INGEST_HTTP_PAGING_H_
#define FENNICK_TOOLS_INGEST_HTTP_PAGING_H_

#include <httplib.h>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Lists are served a page at a time: ?page=N (from 1) and ?per_page=M.
namespace fennick_ingest {

inline constexpr size_t kDefaultPerPage = 50;
// A larger per_page is served as this many.
inline constexpr size_t kMaxPerPage = 1000;

struct PageRequest {
  size_t page = 1;
  size_t per_page = kDefaultPerPage;

  // The position of the page's first entry in the whole list.
  size_t first() const;
};

// The query parameters that name a page: "page" and "per_page" unless told otherwise.
struct PageKeys {
  const char* page = "page";
  const char* per_page = "per_page";
};

// The page `req` asks for, `default_per_page` entries unless it says; nullopt when a
// parameter is no whole number from 1 on, and `malformed` (when given) then names it.
std::optional<PageRequest> ParsePageRequest(const httplib::Request& req,
                                            size_t default_per_page = kDefaultPerPage,
                                            PageKeys keys = {}, std::string* malformed = nullptr);

// True when a list of `total` entries holds entries after `request`'s page.
bool HasNextPage(const PageRequest& request, size_t total);

// `path` with the query `parameters` (values percent-encoded; empty values left out).
std::string QueryUrl(const std::string& path,
                     const std::vector<std::pair<std::string, std::string>>& parameters);

// Says the list's length in X-Total-Count and, when there is a next page, its address in
// a Link header with rel="next": `path` with `parameters` and the next page's keys.
void SetPageHeaders(httplib::Response& res, const std::string& path,
                    std::vector<std::pair<std::string, std::string>> parameters,
                    const PageRequest& request, size_t total);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_HTTP_PAGING_H_
